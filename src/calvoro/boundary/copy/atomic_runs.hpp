// atomic_runs.hpp: the runs of atomic items that the native copy puts into
// a container's copy as they are, read under the container's lock where
// there is no GIL.
#pragma once

#include <type_traits>
#include <utility>

#include "../api/ref.hpp"
#include "../platform/compiler.hpp"
#include "../sync/locks.hpp"
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

// The readers of a build kind: each copies a dict's or list's items from a
// position on for as long as they are atomic, each its own copy, made where
// nothing can run, going in as it is.
//
// Item: what a reader hands on of the item that ends its run. With the GIL
// nothing runs between the read and its use but the copier's own steps,
// and the container's reference serves. Without it another thread may take
// the item out, and free it, the moment the container's lock is let go: a
// run is read and put in under that lock, and the item that ends it is
// held before the lock goes. The only other lock taken within is the
// copy's, which no other thread can hold: nothing waits there. A size
// alone is read atomically, without the lock.
//
// One order of checks serves both builds: the size first, at every step,
// the end's too, as the dict's iterator tests it. Without the GIL another
// thread may change the container whenever its lock is let go, between
// two runs, and a test before every read sees the change and leaves the
// container to the real call. With the GIL nothing can change it during a
// run, so only a run's first test can fail: a list's run makes that test
// before its first read in any order, and a dict's run begins just after
// its size was read or tested, where it passes. Both builds copy alike.
template <bool free_threaded>
struct AtomicRuns {
    using Item = std::conditional_t<free_threaded, Ref, PyObject *>;

    // What a level keeps of the item whose copy it waits for, made while
    // the container's lock is let go: without the GIL the item itself, which
    // the container may lose meanwhile; with it nothing, since the copy of
    // the item takes a reference to it before anything can run.
    struct Nothing {};
    using Kept = std::conditional_t<free_threaded, Ref, Nothing>;

    // Keeps the item in *kept; returns the object it is, borrowed.
    static PyObject *
    keep(Kept *kept, Item item)
    {
        if constexpr (free_threaded) {
            *kept = std::move(item);
            return kept->get();
        }
        else {
            return item;
        }
    }

    // The object that an item is.
    static PyObject *
    object(const Item &item)
    {
        if constexpr (free_threaded) {
            return item.get();
        }
        else {
            return item;
        }
    }

    // A reference of one's own to an item.
    static Ref
    own(Item item)
    {
        if constexpr (free_threaded) {
            return item;
        }
        else {
            return Ref::new_ref(item);
        }
    }

    // Into y, while key and value are atomic; then *key and *value are the
    // next other item, *position past it, or *key is empty at the end.
    static Outcome
    put_items(PyObject *x, PyObject *y, Py_ssize_t length,
              Py_ssize_t *position, Item *key, Item *value)
    {
        sync::ObjectGuard guard(x);
        PyObject *k;
        PyObject *v;
        for (;;) {
            if (CALVORO_UNLIKELY(PyDict_GET_SIZE(x) != length)) {
                return Outcome::fall_back;
            }
            if (!PyDict_Next(x, position, &k, &v)) {
                *key = Item();
                return Outcome::copied;
            }
            if (!is_atomic(v) || !is_atomic(k)) {
                *key = hold(k);
                *value = hold(v);
                return Outcome::copied;
            }
            if (PyDict_SetItem(y, k, v) < 0) {
                return Outcome::error;
            }
        }
    }

    // Onto y; *index stops at the next other item, in *next, or at the
    // end.
    static Outcome
    append_items(PyObject *x, PyObject *y, Py_ssize_t length,
                 Py_ssize_t *index, Item *next)
    {
        sync::ObjectGuard guard(x);
        for (Py_ssize_t i = *index; i < length; i++) {
            if (CALVORO_UNLIKELY(PyList_GET_SIZE(x) != length)) {
                return Outcome::fall_back;
            }
            PyObject *read = PyList_GET_ITEM(x, i);
            if (!is_atomic(read)) {
                *index = i;
                *next = hold(read);
                return Outcome::copied;
            }
            if (PyList_Append(y, read) < 0) {
                return Outcome::error;
            }
        }
        *index = length;
        return Outcome::copied;
    }

  private:
    // An item read under the lock, made to outlast it.
    static Item
    hold(PyObject *read)
    {
        if constexpr (free_threaded) {
            return Ref::new_ref(read);
        }
        else {
            return read;
        }
    }
};

// The readers of this build.
using Runs = AtomicRuns<CALVORO_FREE_THREADED != 0>;
using Item = Runs::Item;

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
