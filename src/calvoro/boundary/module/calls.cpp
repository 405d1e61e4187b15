// calls.cpp: lookups and calls that may run Python code.
#include "calls.hpp"

#include "../merge/recursion.hpp"

namespace calvoro::boundary {

namespace {

PyObject *
fail_name(PyObject *name)
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

// A result of nothing must come with an exception, as PyObject_Call checks.
Ref
checked_result(PyObject *result)
{
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    }
    return Ref::steal(result);
}

}  // namespace

Ref
lookup_builtin(ModuleRecord &module, PyObject *name)
{
    Ref value = Ref::steal(PyObject_GetAttr(module.state.builtins, name));
    // a module __getattr__ of builtins may raise anything; only "no such
    // attribute" means the name is not defined
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        fail_name(name);
    }
    return value;
}

Ref
lookup_global(ModuleRecord &module, PyObject *name)
{
    PyObject *value;
    int found = PyDict_GetItemRef(module.state.globals, name, &value);
    if (found != 0) {
        return Ref::steal(value);
    }
    return lookup_builtin(module, name);
}

Ref
call_guarded(PyObject *callable, PyObject *const *args, Py_ssize_t nargs)
{
    assert(!PyErr_Occurred());
    PyObject *function = callable;
    PyObject *self = nullptr;
    if (PyMethod_Check(callable)) {
        function = PyMethod_GET_FUNCTION(callable);
        self = PyMethod_GET_SELF(callable);
    }
    Py_ssize_t offset = self ? 1 : 0;
    Ref tuple = Ref::steal(PyTuple_New(nargs + offset));
    if (!tuple) {
        return Ref();
    }
    if (self) {
        PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(self));
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        PyTuple_SET_ITEM(tuple.get(), i + offset, Py_NewRef(args[i]));
    }
    // the method object holds the function; keep it for the whole call
    Ref hold = Ref::new_ref(function);

    if (PyCFunction_Check(function) &&
        (PyCFunction_GET_FLAGS(function) & METH_FASTCALL)) {
        return checked_result(PyObject_Call(function, tuple.get(), nullptr));
    }
    ternaryfunc call = Py_TYPE(function)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable",
                     Py_TYPE(function)->tp_name);
        return Ref();
    }
    RecursionGuard guard(calling_where);
    if (!guard) {
        return Ref();
    }
    return checked_result(call(function, tuple.get(), nullptr));
}

namespace {
PyObject *length_error_args = nullptr;
}  // namespace

bool
make_length_error()
{
    if (!length_error_args) {
        length_error_args =
            Py_BuildValue("(s)", "List len should be at least 2");
    }
    return length_error_args != nullptr;
}

PyObject *
raise_length_error()
{
    assert(length_error_args);
    return raise_own_exception(length_error_args);
}

PyObject *
raise_own_exception(PyObject *args)
{
    PyObject *type = PyExc_Exception;
    Ref instance;
    {
        RecursionGuard guard(calling_where);
        if (!guard) {
            return nullptr;
        }
        instance = checked_result(Py_TYPE(type)->tp_call(type, args, nullptr));
    }
    if (instance) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(instance.get())),
                        instance.get());
    }
    return nullptr;
}

}  // namespace calvoro::boundary
