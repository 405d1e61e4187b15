// shims.hpp: the C API's modern names, backfilled for the interpreters that
// lack them, so that callers are written against today's API. Each shim is
// guarded by the exact version that added the real one, which its comment
// names.
#pragma once

#include "python.hpp"

// Py_SET_REFCNT: added in 3.9 (bpo-39573).
#if PY_VERSION_HEX < 0x030900A4
static inline void
Py_SET_REFCNT(PyObject *obj, Py_ssize_t refcnt)
{
    obj->ob_refcnt = refcnt;
}
#endif

// PyDict_GET_SIZE: added in 3.7 (bpo-28959).
#if PY_VERSION_HEX < 0x030700A1
#define PyDict_GET_SIZE(dict) (((PyDictObject *)(dict))->ma_used)
#endif

// PyObject_CallOneArg: added in 3.9 (bpo-37483).
#if PY_VERSION_HEX < 0x030900A4
static inline PyObject *
PyObject_CallOneArg(PyObject *callable, PyObject *arg)
{
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

// Py_NewRef, Py_XNewRef: added in 3.10 (bpo-42262).
#if PY_VERSION_HEX < 0x030A00A3
static inline PyObject *
Py_NewRef(PyObject *obj)
{
    Py_INCREF(obj);
    return obj;
}

static inline PyObject *
Py_XNewRef(PyObject *obj)
{
    Py_XINCREF(obj);
    return obj;
}
#endif

// PyErr_GetRaisedException, PyErr_SetRaisedException: added in 3.12
// (gh-101578). Before, the pending exception is three objects, normalized
// here into the one.
#if PY_VERSION_HEX < 0x030C00A6
static inline PyObject *
PyErr_GetRaisedException(void)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value && PyException_SetTraceback(value, traceback) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

static inline void
PyErr_SetRaisedException(PyObject *exc)
{
    PyObject *type = nullptr;
    PyObject *traceback = nullptr;
    if (exc) {
        type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc)));
        traceback = PyException_GetTraceback(exc);
    }
    PyErr_Restore(type, exc, traceback);
}
#endif

// PyDict_GetItemRef: added in 3.13 (gh-106004).
#if PY_VERSION_HEX < 0x030D00A1
static inline int
PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result)
{
    PyObject *item = PyDict_GetItemWithError(dict, key);
    if (item) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

// PyList_GetItemRef: added in 3.13 (gh-114329).
#if PY_VERSION_HEX < 0x030D00A4
static inline PyObject *
PyList_GetItemRef(PyObject *list, Py_ssize_t index)
{
    return Py_XNewRef(PyList_GetItem(list, index));
}
#endif
