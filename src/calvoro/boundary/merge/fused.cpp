// fused.cpp: which releases close the window, and the walk that finds a
// dict's keys plain.
#include "fused.hpp"

namespace calvoro::boundary {

namespace {

// Freed, these release nothing and have no weak references or finalizers.
bool
inert(PyObject *obj)
{
    return PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) ||
           PyFloat_CheckExact(obj) || PyBool_Check(obj) || obj == Py_None ||
           PyBytes_CheckExact(obj) || PyComplex_CheckExact(obj);
}

}  // namespace

// A list or tuple of inert items (leaf lists of a configuration) counts;
// their items' counts do not, since one item may appear several times.
bool
frees_quietly(PyObject *obj)
{
    if (inert(obj)) {
        return true;
    }
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
        return false;
    }
    PyObject **items = PySequence_Fast_ITEMS(obj);
    for (Py_ssize_t i = 0, n = Py_SIZE(obj); i < n; i++) {
        if (!inert(items[i])) {
            return false;
        }
    }
    return true;
}

bool
scan_plain_keys(PyObject *dictionary)
{
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dictionary, &position, &key, &value)) {
        if (!is_plain_key(key)) {
            return false;
        }
    }
    return true;
}

}  // namespace calvoro::boundary
