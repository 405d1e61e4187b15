// atomic_runs.hpp: the runs of atomic items that the native copy puts into
// a container's copy as they are, read under the container's lock where
// there is no GIL.
#pragma once

#include "../api/ref.hpp"
#include "outcome.hpp"

namespace calvoro::boundary::native_copy {

// Whether deepcopy returns obj as it is: str, int, float, bool and None.
inline bool
is_atomic(PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type ||
           type == &PyFloat_Type || obj == Py_None || type == &PyBool_Type;
}

// Each of these copies a container's items from a position on for as long
// as they are atomic: each its own copy, made where nothing can run, goes
// in as it is.
//
// Item: what a read of a dict or list yields. With the GIL nothing runs
// between the read and its use but the copier's own steps, and the
// container's reference serves. Without it another thread may take the
// item out, and free it, the moment the container's lock is let go: a run
// of atomic items is read and put in under that lock, and the item that
// ends it is held before the lock goes. The only other lock taken within
// is the copy's, which no other thread can hold: nothing waits there. A
// size alone is read atomically, without the lock.
#if CALVORO_FREE_THREADED
using Item = Ref;

// Into y, while key and value are atomic; then *key and *value are the
// next other item, *position past it, or *key is empty at the end. The
// size is tested at every step, the end's too, as the dict's iterator does.
inline Outcome
put_atomic_items(PyObject *x, PyObject *y, Py_ssize_t length,
                 Py_ssize_t *position, Ref *key, Ref *value)
{
    Outcome outcome = Outcome::copied;
    PyObject *held_key = nullptr;
    PyObject *held_value = nullptr;
    Py_BEGIN_CRITICAL_SECTION(x);
    PyObject *k;
    PyObject *v;
    for (;;) {
        if (PyDict_GET_SIZE(x) != length) {
            outcome = Outcome::fall_back;
            break;
        }
        if (!PyDict_Next(x, position, &k, &v)) {
            break;
        }
        if (!is_atomic(v) || !is_atomic(k)) {
            held_key = Py_NewRef(k);
            held_value = Py_NewRef(v);
            break;
        }
        if (PyDict_SetItem(y, k, v) < 0) {
            outcome = Outcome::error;
            break;
        }
    }
    Py_END_CRITICAL_SECTION();
    *key = Ref::steal(held_key);
    *value = Ref::steal(held_value);
    return outcome;
}

// Onto y; *index stops at the next other item, held in *next, or at the
// end.
inline Outcome
append_atomic_items(PyObject *x, PyObject *y, Py_ssize_t length,
                    Py_ssize_t *index, Ref *next)
{
    Outcome outcome = Outcome::copied;
    PyObject *held = nullptr;
    Py_ssize_t i = *index;
    Py_BEGIN_CRITICAL_SECTION(x);
    for (; i < length; i++) {
        if (PyList_GET_SIZE(x) != length) {
            outcome = Outcome::fall_back;
            break;
        }
        PyObject *read = PyList_GET_ITEM(x, i);
        if (!is_atomic(read)) {
            held = Py_NewRef(read);
            break;
        }
        if (PyList_Append(y, read) < 0) {
            outcome = Outcome::error;
            break;
        }
    }
    Py_END_CRITICAL_SECTION();
    *index = i;
    *next = Ref::steal(held);
    return outcome;
}
#else
using Item = PyObject *;

// Into y, while key and value are atomic; then *key and *value are the
// next other item, *position past it, or *key is null at the end.
inline Outcome
put_atomic_items(PyObject *x, PyObject *y, Py_ssize_t length,
                 Py_ssize_t *position, PyObject **key, PyObject **value)
{
    while (PyDict_Next(x, position, key, value)) {
        if (!is_atomic(*value) || !is_atomic(*key)) {
            return Outcome::copied;
        }
        if (PyDict_GET_SIZE(x) != length) {
            return Outcome::fall_back;
        }
        if (PyDict_SetItem(y, *key, *value) < 0) {
            return Outcome::error;
        }
    }
    *key = nullptr;
    return Outcome::copied;
}

// Onto y; *index stops at the next other item, in *next, or at the end.
inline Outcome
append_atomic_items(PyObject *x, PyObject *y, Py_ssize_t length,
                    Py_ssize_t *index, PyObject **next)
{
    for (Py_ssize_t i = *index; i < length; i++) {
        if (PyList_GET_SIZE(x) != length) {
            return Outcome::fall_back;
        }
        PyObject *item = PyList_GET_ITEM(x, i);
        if (!is_atomic(item)) {
            *index = i;
            *next = item;
            return Outcome::copied;
        }
        if (PyList_Append(y, item) < 0) {
            return Outcome::error;
        }
    }
    *index = length;
    return Outcome::copied;
}
#endif

// Into `changed` once there is one; returns the index of the next other
// element, or the length.
inline Py_ssize_t
put_atomic_elements(PyObject *x, PyObject *changed, Py_ssize_t i)
{
    const Py_ssize_t length = PyTuple_GET_SIZE(x);
    for (; i < length; i++) {
        PyObject *item = PyTuple_GET_ITEM(x, i);
        if (!is_atomic(item)) {
            break;
        }
        if (changed) {
            PyTuple_SET_ITEM(changed, i, Py_NewRef(item));
        }
    }
    return i;
}

}  // namespace calvoro::boundary::native_copy
