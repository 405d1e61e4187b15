// copy_checks.cpp: the checks that decide, at every call, between the
// native copy and the real deepcopy.
//
// An audit hook sees the real call too: every id() it makes raises
// builtins.id (3.8 on). Raising the same events here would let a hook run
// any code between two steps of the copy, which then would have to behave
// as the real one does on data changed under it; with a hook installed the
// real call is made instead, at the price of the hook's own cost anyway.
#include "copy_checks.hpp"

#include "../internals/observers.hpp"
#include "standard_deepcopy.hpp"

namespace calvoro::boundary::native_copy {

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
    if (!copies(&PyDict_Type, s.dict_copier) ||
        !copies(&PyList_Type, s.list_copier) ||
        !copies(&PyTuple_Type, s.tuple_copier)) {
        return false;
    }
    return returns_atomics_as_they_are();
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
        Ref tool = Ref::steal(PyObject_CallOneArg(s.get_tool, s.tool_ids[i]));
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
