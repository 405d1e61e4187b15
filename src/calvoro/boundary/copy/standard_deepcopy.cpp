// standard_deepcopy.cpp: learning the standard library's deepcopy, once,
// from the object that the module's import bound.
#include "standard_deepcopy.hpp"

#include "../internals/observers.hpp"

namespace calvoro::boundary::native_copy {

Standard standard;

namespace {

PyTypeObject *const plain_atomic_types[] = {
    &PyUnicode_Type, &PyLong_Type,     &PyFloat_Type,
    &PyBool_Type,    Py_TYPE(Py_None),
};

// The builtins that the copiers look up, and the objects they must be.
const char *const builtin_names[builtin_count] = {"id", "type", "zip", "tuple",
                                                  "KeyError"};

// Kept for the life of the process.
PyObject *
keep(PyObject *obj)
{
    return Py_XNewRef(obj);
}

bool
named(PyObject *function, const char *name)
{
    Ref found = Ref::steal(
        PyObject_GetAttrString(PyFunction_GET_CODE(function), "co_name"));
    return found && PyUnicode_Check(found.get()) &&
           PyUnicode_CompareWithASCIIString(found.get(), name) == 0;
}

// The function `name` of the copy module, or null; `value` as found under
// that name or in the dispatch table.
PyObject *
copy_function(PyObject *value, const char *name)
{
    Standard &s = standard;
    if (!value || !PyFunction_Check(value) ||
        PyFunction_GET_GLOBALS(value) != s.globals || !named(value, name) ||
        s.function_count == max_functions) {
        return nullptr;
    }
    s.functions[s.function_count++] = {keep(value),
                                       keep(PyFunction_GET_CODE(value)),
                                       keep(PyFunction_GET_DEFAULTS(value))};
    return value;
}

bool
watch_global(const char *name, PyObject *value)
{
    Standard &s = standard;
    PyObject *key = PyUnicode_InternFromString(name);
    if (!key || s.global_count == max_global_entries) {
        return false;
    }
    s.global_entries[s.global_count++] = {key, value ? keep(value) : nullptr};
    return true;
}

// A copier of the dispatch table: recursing through deepcopy itself, the
// only default of its signature.
PyObject *
container_copier(PyTypeObject *type, const char *name)
{
    PyObject *entry =
        PyDict_GetItem(standard.dispatch, reinterpret_cast<PyObject *>(type));
    PyObject *copier = copy_function(entry, name);
    if (!copier) {
        return nullptr;
    }
    PyObject *defaults = PyFunction_GET_DEFAULTS(copier);
    bool recurses = defaults && PyTuple_GET_SIZE(defaults) == 1 &&
                    PyTuple_GET_ITEM(defaults, 0) == standard.deepcopy;
    return recurses ? copier : nullptr;
}

bool
is_atomic_in_copy(PyTypeObject *type)
{
    const Standard &s = standard;
    auto *key = reinterpret_cast<PyObject *>(type);
    if (s.atomic_types && PySet_Contains(s.atomic_types, key) > 0) {
        return true;
    }
    return s.atomic_copier && holds(s.dispatch, key, s.atomic_copier);
}

bool
learn_builtins()
{
    Standard &s = standard;
    PyObject *entry = PyDict_GetItemString(s.globals, "__builtins__");
    if (!entry || !watch_global("__builtins__", entry)) {
        return false;
    }
    PyObject *builtins =
        PyModule_Check(entry) ? PyModule_GetDict(entry) : entry;
    if (!builtins || !PyDict_Check(builtins)) {
        return false;
    }
    s.builtins = keep(builtins);
    PyObject *const expected[builtin_count] = {
        nullptr, reinterpret_cast<PyObject *>(&PyType_Type),
        reinterpret_cast<PyObject *>(&PyZip_Type),
        reinterpret_cast<PyObject *>(&PyTuple_Type), PyExc_KeyError};
    for (int i = 0; i < builtin_count; i++) {
        PyObject *value = PyDict_GetItemString(builtins, builtin_names[i]);
        bool as_expected = expected[i] ? value == expected[i]
                                       : value && PyCFunction_Check(value);
        // a module global of the same name would hide the builtin
        if (!as_expected || !watch_global(builtin_names[i], nullptr)) {
            return false;
        }
        s.builtin_entries[i] = {s.global_entries[s.global_count - 1].name,
                                keep(value)};
    }
    return true;
}

bool
learn_monitoring()
{
    Standard &s = standard;
    if (!internals::has_monitoring) {
        return true;
    }
    PyObject *monitoring = PySys_GetObject("monitoring");
    if (!monitoring) {
        return false;
    }
    // asked at every call, so it must be the builtin, which runs no code
    s.get_tool = PyObject_GetAttrString(monitoring, "get_tool");
    if (s.get_tool && !PyCFunction_Check(s.get_tool)) {
        return false;
    }
    if (s.get_tool && PyCFunction_GET_FLAGS(s.get_tool) == METH_O) {
        s.get_tool_function = PyCFunction_GET_FUNCTION(s.get_tool);
    }
    for (int i = 0; s.get_tool && i < tool_count; i++) {
        s.tool_ids[i] = PyLong_FromLong(i);
        if (!s.tool_ids[i]) {
            return false;
        }
    }
    return s.get_tool != nullptr;
}

}  // namespace

bool
learn_standard(PyObject *deepcopy)
{
    Standard &s = standard;
    if (!deepcopy || !PyFunction_Check(deepcopy)) {
        return false;
    }
    s.globals = PyFunction_GET_GLOBALS(deepcopy);
    PyObject *module_name = PyDict_GetItemString(s.globals, "__name__");
    if (!module_name || !PyUnicode_Check(module_name) ||
        PyUnicode_CompareWithASCIIString(module_name, "copy") != 0) {
        return false;
    }
    s.globals = keep(s.globals);
    s.deepcopy = copy_function(deepcopy, "deepcopy");
    // (memo=None, _nil=[]), or from 3.15 (memo=None)
    PyObject *defaults =
        s.deepcopy ? PyFunction_GET_DEFAULTS(s.deepcopy) : nullptr;
    if (!defaults || PyTuple_GET_SIZE(defaults) < 1 ||
        PyTuple_GET_SIZE(defaults) > 2 ||
        PyTuple_GET_ITEM(defaults, 0) != Py_None) {
        return false;
    }
    s.dispatch = PyDict_GetItemString(s.globals, "_deepcopy_dispatch");
    if (!s.dispatch || !PyDict_CheckExact(s.dispatch) ||
        !watch_global("_deepcopy_dispatch", s.dispatch)) {
        return false;
    }
    s.dispatch = keep(s.dispatch);
    PyObject *keep_alive = copy_function(
        PyDict_GetItemString(s.globals, "_keep_alive"), "_keep_alive");
    if (!keep_alive || !watch_global("_keep_alive", keep_alive)) {
        return false;
    }
    s.dict_copier = container_copier(&PyDict_Type, "_deepcopy_dict");
    s.list_copier = container_copier(&PyList_Type, "_deepcopy_list");
    s.tuple_copier = container_copier(&PyTuple_Type, "_deepcopy_tuple");
    if (!s.dict_copier || !s.list_copier || !s.tuple_copier) {
        return false;
    }
    // atomic types are a set (frozen from 3.15) tested before the memo
    // from 3.14, a dispatch entry before
    PyObject *atomic_types = PyDict_GetItemString(s.globals, "_atomic_types");
    if (atomic_types && PyAnySet_CheckExact(atomic_types)) {
        s.atomic_types = keep(atomic_types);
    }
    if (!watch_global("_atomic_types", s.atomic_types)) {
        return false;
    }
    PyObject *atomic_copier =
        PyDict_GetItemString(s.globals, "_deepcopy_atomic");
    if (atomic_copier) {
        s.atomic_copier = copy_function(atomic_copier, "_deepcopy_atomic");
    }
    if (!returns_atomics_as_they_are()) {
        return false;
    }
    return learn_builtins() && learn_monitoring();
}

bool
returns_atomics_as_they_are()
{
    for (PyTypeObject *type : plain_atomic_types) {
        if (!is_atomic_in_copy(type)) {
            return false;
        }
    }
    return true;
}

}  // namespace calvoro::boundary::native_copy
