// items.cpp: element access with the interpreter's rules and messages.
#include "items.hpp"

namespace calvoro::boundary {

namespace {

// An exact list or tuple, read directly when `i` is in range; else nullptr.
PyObject *
direct_item(PyObject *sequence, Py_ssize_t i)
{
    if (PyList_CheckExact(sequence) && i < PyList_GET_SIZE(sequence)) {
        return PyList_GET_ITEM(sequence, i);
    }
    if (PyTuple_CheckExact(sequence) && i < PyTuple_GET_SIZE(sequence)) {
        return PyTuple_GET_ITEM(sequence, i);
    }
    return nullptr;
}

bool
exact_list_or_tuple(PyObject *obj)
{
    return PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

Ref
subscript_with_index(PyObject *sequence, Py_ssize_t i)
{
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) {
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(sequence, index.get()));
}

}  // namespace

Ref
item_at_index(PyObject *sequence, Py_ssize_t i)
{
    // another thread may shrink the list between a test and a read
    if (CALVORO_FREE_THREADED && PyList_CheckExact(sequence)) {
        return Ref::steal(PyList_GetItemRef(sequence, i));
    }
    if (PyObject *item = direct_item(sequence, i)) {
        return Ref::new_ref(item);
    }
    PySequenceMethods *methods = Py_TYPE(sequence)->tp_as_sequence;
    if (!exact_list_or_tuple(sequence) && methods && methods->sq_item) {
        return Ref::steal(methods->sq_item(sequence, i));
    }
    return subscript_with_index(sequence, i);
}

Ref
item_for_key(PyObject *obj, PyObject *key)
{
    PyMappingMethods *mapping = Py_TYPE(obj)->tp_as_mapping;
    if (mapping && mapping->mp_subscript) {
        return Ref::steal(mapping->mp_subscript(obj, key));
    }
    PySequenceMethods *methods = Py_TYPE(obj)->tp_as_sequence;
    if (!methods || !methods->sq_item) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable",
                     Py_TYPE(obj)->tp_name);
        return Ref();
    }
    if (!PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError,
                     "sequence index must be integer, not '%.200s'",
                     Py_TYPE(key)->tp_name);
        return Ref();
    }
    // __index__ and __len__ may assign obj.__class__ and free the type that
    // `methods` points into: the slots are read again after each, as the
    // interpreter's own subscription does
    Ref held = Ref::new_ref(obj);
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) {
        return Ref();
    }
    methods = Py_TYPE(obj)->tp_as_sequence;
    if (i < 0 && methods && methods->sq_length) {
        Py_ssize_t length = methods->sq_length(obj);
        if (length >= 0) {
            i += length;
        }
        else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
        }
        else {
            return Ref();
        }
        methods = Py_TYPE(obj)->tp_as_sequence;
    }
    if (!methods || !methods->sq_item) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support indexing",
                     Py_TYPE(obj)->tp_name);
        return Ref();
    }
    return Ref::steal(methods->sq_item(obj, i));
}

Ref
dict_item(PyObject *dictionary, PyObject *key)
{
    PyObject *value;
    if (PyDict_GetItemRef(dictionary, key, &value) == 0) {
        // wrapped, so that a tuple key is not spread into several args
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return Ref::steal(value);
}

}  // namespace calvoro::boundary
