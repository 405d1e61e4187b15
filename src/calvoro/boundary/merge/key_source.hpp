// key_source.hpp: the keys of a mapping as iterating it yields them, for a
// core that merges any mapping through the generic protocols.
#pragma once

#include "../module/items.hpp"
#include "../sync/locks.hpp"
#include "dict_walk.hpp"

namespace calvoro::boundary {

// The keys of second_dict as iterating it yields them; the dict walk also
// gives its value, which the fused step needs.
class KeySource {
  public:
    using Step = DictWalk::Step;
    enum class Kind { dict, sequence, iterator };

    explicit KeySource(PyObject *second_dict) noexcept
        : kind_(kind_of(second_dict)),
          container_(second_dict),
          walk_(kind_ == Kind::dict ? second_dict : nullptr)
    {
    }
    Kind
    kind() const noexcept
    {
        return kind_;
    }
    // where a dict's walk is
    DictPlace &
    place() noexcept
    {
        return walk_.place();
    }
    // iter() of anything but an exact dict, list or tuple; may run code.
    bool
    start()
    {
        if (kind_ != Kind::iterator) {
            return true;
        }
        iterator_ = Ref::steal(PyObject_GetIter(container_));
        return bool(iterator_);
    }
    // The next key into *key; a new reference into *held, but for a dict
    // walk's key, which is borrowed from the dict.
    Step
    next(PyObject **key, Ref *held, PyObject **value)
    {
        switch (kind_) {
        case Kind::dict:
            return walk_.next_counted(key, value);
        case Kind::sequence:
            if (CALVORO_FREE_THREADED && PyList_CheckExact(container_)) {
                if (!next_list_item(held)) {
                    return Step::end;
                }
                break;
            }
            // the length read again before each step
            if (i_ >= Py_SIZE(container_)) {
                return Step::end;
            }
            *held = item_at_index(container_, i_++);
            break;
        case Kind::iterator:
            *held = Ref::steal(PyIter_Next(iterator_.get()));
            if (!*held && !PyErr_Occurred()) {
                return Step::end;
            }
            break;
        }
        *key = held->get();
        return *key ? Step::item : Step::error;
    }

  private:
    // The length test and the read as one step of a list's iterator, which
    // another thread may not split.
    bool
    next_list_item(Ref *held)
    {
        sync::ObjectGuard guard(container_);
        if (i_ >= PyList_GET_SIZE(container_)) {
            return false;
        }
        *held = Ref::new_ref(PyList_GET_ITEM(container_, i_++));
        return true;
    }

    static Kind
    kind_of(PyObject *second_dict) noexcept
    {
        if (PyDict_CheckExact(second_dict)) {
            return Kind::dict;
        }
        if (PyList_CheckExact(second_dict) ||
            PyTuple_CheckExact(second_dict)) {
            return Kind::sequence;
        }
        return Kind::iterator;
    }

    const Kind kind_;
    PyObject *container_;  // the level's second_dict, which it holds
    DictWalk walk_;
    Py_ssize_t i_ = 0;
    Ref iterator_;
};

}  // namespace calvoro::boundary
