// copy_checks.cpp: the checks that decide, at every call, between the
// native copy and the real deepcopy.
//
// An audit hook sees the real call too: every id() it makes raises
// builtins.id (3.8 on). Raising the same events here would let a hook run
// any code between two steps of the copy, which then would have to behave
// as the real one does on data changed under it; with a hook installed the
// real call is made instead, at the price of the hook's own cost anyway.
#include "copy_checks.hpp"

#include "../internals/dict_version.hpp"
#include "../internals/observers.hpp"
#include "standard_deepcopy.hpp"

namespace calvoro::boundary::native_copy {

namespace {

// The versions of the dicts that the lookups read, when they last found
// them as learned; only with the GIL, whose holder alone changes a dict.
struct Versions {
    uint64_t globals;
    uint64_t builtins;
    uint64_t dispatch;

    static Versions
    now() noexcept
    {
        const Standard &s = standard;
        return {internals::dict_version(s.globals),
                internals::dict_version(s.builtins),
                internals::dict_version(s.dispatch)};
    }
    bool
    operator==(const Versions &other) const noexcept
    {
        return globals == other.globals && builtins == other.builtins &&
               dispatch == other.dispatch;
    }
};

bool by_version = false;
bool checked = false;
Versions checked_at;

bool
lookups_unchanged()
{
    const Standard &s = standard;
    for (int i = 0; i < s.global_count; i++) {
        const Entry &e = s.global_entries[i];
        if (!holds(s.globals, e.name, e.value)) {
            return false;
        }
    }
    for (const Entry &e : s.builtin_entries) {
        if (!holds(s.builtins, e.name, e.value)) {
            return false;
        }
    }
    auto copies = [](PyTypeObject *type, PyObject *copier) {
        return holds(standard.dispatch, reinterpret_cast<PyObject *>(type),
                     copier);
    };
    return copies(&PyDict_Type, s.dict_copier) &&
           copies(&PyList_Type, s.list_copier) &&
           copies(&PyTuple_Type, s.tuple_copier);
}

}  // namespace

void
keep_checks_by_version()
{
    const Standard &s = standard;
    by_version = !CALVORO_FREE_THREADED && s.known &&
                 internals::watch_dict(s.globals) &&
                 internals::watch_dict(s.builtins) &&
                 internals::watch_dict(s.dispatch);
}

bool
standard_unchanged()
{
    const Standard &s = standard;
    // a function's code and defaults are replaced with every other thread
    // stopped, so reading them needs no lock
    for (int i = 0; i < s.function_count; i++) {
        const Function &f = s.functions[i];
        if (PyFunction_GET_CODE(f.function) != f.code ||
            PyFunction_GET_DEFAULTS(f.function) != f.defaults) {
            return false;
        }
    }
    // a set of atomic types can change without any dict's version
    const bool atomics_in_set =
        s.atomic_types && !PyFrozenSet_CheckExact(s.atomic_types);
    if (by_version) {
        const Versions now = Versions::now();
        if (checked && now == checked_at) {
            return !atomics_in_set || returns_atomics_as_they_are();
        }
        checked = lookups_unchanged() && returns_atomics_as_they_are();
        checked_at = now;
        return checked;
    }
    return lookups_unchanged() && returns_atomics_as_they_are();
}

Found
watched()
{
    if (internals::thread_traced()) {
        return Found::yes;
    }
    switch (internals::audit_hooks_installed()) {
    case internals::AuditHooks::none:
        break;
    case internals::AuditHooks::installed:
        return Found::yes;
    case internals::AuditHooks::error:
        return Found::error;
    }
    const Standard &s = standard;
    for (int i = 0; s.get_tool && i < tool_count; i++) {
        // a copy that takes values one by one asks for every value: the
        // builtin's own function spares the call's dispatch
        PyObject *id = s.tool_ids[i];
        Ref tool = Ref::steal(
            s.get_tool_function
                ? s.get_tool_function(PyCFunction_GET_SELF(s.get_tool), id)
                : PyObject_CallOneArg(s.get_tool, id));
        if (!tool) {
            return Found::error;
        }
        if (tool.get() != Py_None) {
            return Found::yes;
        }
    }
    return Found::no;
}

}  // namespace calvoro::boundary::native_copy
