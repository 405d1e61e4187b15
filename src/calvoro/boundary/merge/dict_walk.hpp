// dict_walk.hpp: the walk of an exact dict by position, with the checks
// that iterating it makes, but no iterator object.
#pragma once

#include "../api/ref.hpp"
#include "../api/versions.hpp"
#include "../platform/compiler.hpp"
#include "../sync/held.hpp"
#include "../sync/locks.hpp"

#include <utility>

namespace calvoro::boundary {

// Where a walk is: what a walk needs to go on from there, in another loop.
struct DictPlace {
    Py_ssize_t length;     // the size the walk started with
    Py_ssize_t remaining;  // the keys it may still yield (next_counted)
    Py_ssize_t position;   // PyDict_Next's

    static DictPlace
    start(PyObject *dictionary) noexcept
    {
        const Py_ssize_t length = dictionary ? PyDict_GET_SIZE(dictionary) : 0;
        return {length, length, 0};
    }
};

class DictWalk {
  public:
    enum class Step { error, end, item };

    // `dictionary` is borrowed and must outlive the walk; null makes a
    // walk that is never stepped.
    explicit DictWalk(PyObject *dictionary) noexcept
        : dictionary_(dictionary), place_(DictPlace::start(dictionary))
    {
        assert(!dictionary || PyDict_CheckExact(dictionary));
    }
    DictWalk(const DictWalk &) = delete;
    DictWalk &operator=(const DictWalk &) = delete;

    DictPlace &
    place() noexcept
    {
        return place_;
    }

    // The next entry (*key and *value borrowed), with the test that every
    // version's iterator makes before each step: RuntimeError when the
    // size is no longer the starting one. Code run since the last step may
    // have changed the dict. Inline: it is the merge loops' every step.
    //
    // On a free-threaded build the step is made under the dict's lock, and
    // the walk holds the entry until its next step, since another thread
    // may remove it from the dict at any moment.
    Step
    next(PyObject **key, PyObject **value)
    {
        Step step;
        sync::HeldRef held_key;
        sync::HeldRef held_value;
        {
            sync::ObjectGuard locked(dictionary_);
            step = next_entry(key, value);
            if (step == Step::item) {
                held_key = sync::HeldRef::new_ref(*key);
                held_value = sync::HeldRef::new_ref(*value);
            }
        }
        // the entry the last step held is released outside the lock
        held_key_ = std::move(held_key);
        held_value_ = std::move(held_value);
        if (step == Step::error) {
            size_changed();
        }
        return step;
    }

    // next() with the iterator's count of the keys it yields, where the
    // interpreter keeps one: a dict whose keys were replaced by as many
    // others fails when more turn up than it had.
    Step
    next_counted(PyObject **key, PyObject **value)
    {
        Step step = next(key, value);
        if (compat::dict_iterator_counts_keys && step == Step::item) {
            if (place_.remaining == 0) {
                PyErr_SetString(PyExc_RuntimeError,
                                "dictionary keys changed during iteration");
                return Step::error;
            }
            place_.remaining--;
        }
        return step;
    }

  private:
    Step
    next_entry(PyObject **key, PyObject **value)
    {
        if (PyDict_GET_SIZE(dictionary_) != place_.length) {
            return Step::error;
        }
        return PyDict_Next(dictionary_, &place_.position, key, value)
                   ? Step::item
                   : Step::end;
    }
    static void
    size_changed()
    {
        PyErr_SetString(PyExc_RuntimeError,
                        "dictionary changed size during iteration");
    }

    CALVORO_NO_UNIQUE_ADDRESS sync::HeldRef held_key_;
    CALVORO_NO_UNIQUE_ADDRESS sync::HeldRef held_value_;
    PyObject *dictionary_;
    DictPlace place_;
};

}  // namespace calvoro::boundary
