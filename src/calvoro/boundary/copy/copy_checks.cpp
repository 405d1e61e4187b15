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
#include "../sync/locks.hpp"
#include "standard_deepcopy.hpp"

namespace calvoro::boundary::native_copy {

namespace {

// The versions of the dicts that the lookups read.
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
// the versions at which the lookups last passed, under checked_lock
sync::Mutex checked_lock;
bool checked = false;
Versions checked_at;

// Whether each entry of `dict` is as learned, and the dict's version then.
// A thread that changes a dict counts the change and makes it under the
// dict's lock: read under it too, the version is the one the lookups saw.
bool
holds_all(PyObject *dict, const Entry *entries, int count, uint64_t *version)
{
    sync::ObjectGuard guard(dict);
    *version = internals::dict_version(dict);
    for (int i = 0; i < count; i++) {
        if (!holds(dict, entries[i].name, entries[i].value)) {
            return false;
        }
    }
    return true;
}

bool
lookups_unchanged(Versions *seen)
{
    const Standard &s = standard;
    const Entry copiers[] = {
        {reinterpret_cast<PyObject *>(&PyDict_Type), s.dict_copier},
        {reinterpret_cast<PyObject *>(&PyList_Type), s.list_copier},
        {reinterpret_cast<PyObject *>(&PyTuple_Type), s.tuple_copier},
    };
    return holds_all(s.globals, s.global_entries, s.global_count,
                     &seen->globals) &&
           holds_all(s.builtins, s.builtin_entries, builtin_count,
                     &seen->builtins) &&
           holds_all(s.dispatch, copiers, 3, &seen->dispatch);
}

}  // namespace

void
keep_checks_by_version()
{
    const Standard &s = standard;
    by_version = s.known && internals::watch_dict(s.globals) &&
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
        bool kept;
        {
            sync::MutexGuard held(checked_lock);
            kept = checked && now == checked_at;
        }
        if (kept) {
            return !atomics_in_set || returns_atomics_as_they_are();
        }
    }
    Versions seen;
    if (!lookups_unchanged(&seen) || !returns_atomics_as_they_are()) {
        return false;
    }
    if (by_version) {
        sync::MutexGuard held(checked_lock);
        checked = true;
        checked_at = seen;
    }
    return true;
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
