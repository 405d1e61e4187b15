// copier.cpp: the native copy's state machine: deepcopy's recursion
// through the copiers of dicts, lists and tuples, kept as a stack of levels
// on the heap.
#include "copier.hpp"

#include <utility>

#include "../merge/level_stack.hpp"
#include "atomic_runs.hpp"
#include "memo.hpp"

namespace calvoro::boundary::native_copy {

namespace {

// A container whose copy waits for that of one of its items: what
// deepcopy's copier of its type keeps on its frame meanwhile. The original
// is held, since a finalizer that an allocation's collection runs could
// take it out of its container.
struct Level {
    Level(Ref x, Ref copy, Py_ssize_t length, Py_ssize_t position) noexcept
        : x(std::move(x)),
          copy(std::move(copy)),
          length(length),
          position(position)
    {
    }

    Ref x;
    Ref copy;             // y, or for a tuple the new one once changed
    Py_ssize_t length;    // x's size when its copy began
    Py_ssize_t position;  // PyDict_Next's past the item, or its index
    Ref key;              // a dict's key of that item
    Ref value_copy;       // its value's copy, made before the key's
    Runs::Kept item;      // what is kept of the item waited for
};

class PlainCopier {
  public:
    explicit PlainCopier(int max_depth)
        : max_depth_(static_cast<size_t>(max_depth))
    {
    }

    Memo memo;

    // What deepcopy(x, memo) returns, into *result; nesting deeper than
    // max_depth, an object of any other type, or a container changed while
    // it was copied (by a finalizer that a collection ran) falls back.
    Outcome
    copy(PyObject *x, Ref *result)
    {
        if (is_atomic(x)) {
            *result = Ref::new_ref(x);
            return Outcome::copied;
        }
        Outcome outcome = begin(x, result);
        while (outcome == Outcome::copied && !levels_.empty()) {
            Level &level = levels_.top();
            PyTypeObject *type = Py_TYPE(level.x.get());
            if (type == &PyDict_Type) {
                outcome = copy_dict(level, result);
            }
            else if (type == &PyList_Type) {
                outcome = copy_list(level, result);
            }
            else {
                outcome = copy_tuple(level, result);
            }
        }
        if (outcome != Outcome::copied) {
            // what the levels hold goes first, before the memo empties the
            // copies that a given-up copy made
            *result = Ref();
            while (!levels_.empty()) {
                levels_.pop();
            }
        }
        return outcome;
    }

  private:
    // Begins the copy of x, not atomic: its items are copied in order up
    // to one that is not atomic, which a level for x then waits for while
    // its copy is begun the same way. Returns with *result the first copy
    // completed: x's own when it needed no level, else the one that the
    // top level waits for.
    Outcome
    begin(PyObject *x, Ref *result)
    {
        for (;;) {
            PyTypeObject *type = Py_TYPE(x);
            if (type != &PyDict_Type && type != &PyList_Type &&
                type != &PyTuple_Type) {
                return Outcome::fall_back;
            }
            if (PyObject *found = memo.find(x)) {
                *result = Ref::new_ref(found);
                return Outcome::copied;
            }
            if (levels_.depth() >= max_depth_) {
                return Outcome::fall_back;
            }
            Ref held = Ref::new_ref(x);
            Outcome outcome;
            if (type == &PyDict_Type) {
                outcome = begin_dict(std::move(held), result, &x);
            }
            else if (type == &PyList_Type) {
                outcome = begin_list(std::move(held), result, &x);
            }
            else {
                outcome = begin_tuple(std::move(held), result, &x);
            }
            if (outcome != Outcome::copied || *result) {
                return outcome;
            }
        }
    }

    // Each of these makes x's copy into *result, or a level for x and the
    // item whose copy it waits for into *next. Dicts and lists are
    // remembered before their items are copied.
    Outcome
    begin_dict(Ref x, Ref *result, PyObject **next)
    {
        Ref y = Ref::steal(PyDict_New());
        if (!y || !memo.add(x.get(), y.get())) {
            return Outcome::error;
        }
        const Py_ssize_t length = PyDict_GET_SIZE(x.get());
        Py_ssize_t position = 0;
        Item key;
        Item value;
        Outcome outcome =
            Runs::put_items(x.get(), y.get(), length, &position, &key, &value);
        if (outcome != Outcome::copied) {
            return outcome;
        }
        if (!key) {
            *result = std::move(y);
            return outcome;
        }
        Level *level =
            levels_.push(std::move(x), std::move(y), length, position);
        if (!level) {
            return Outcome::error;
        }
        *next = wait_for(*level, std::move(key), std::move(value));
        return Outcome::copied;
    }

    Outcome
    begin_list(Ref x, Ref *result, PyObject **next)
    {
        Ref y = Ref::steal(PyList_New(0));
        if (!y || !memo.add(x.get(), y.get())) {
            return Outcome::error;
        }
        const Py_ssize_t length = PyList_GET_SIZE(x.get());
        Py_ssize_t i = 0;
        Item item{};
        Outcome outcome =
            Runs::append_items(x.get(), y.get(), length, &i, &item);
        if (outcome != Outcome::copied) {
            return outcome;
        }
        if (i == length) {
            *result = std::move(y);
            return outcome;
        }
        Level *level = levels_.push(std::move(x), std::move(y), length, i);
        if (!level) {
            return Outcome::error;
        }
        *next = wait_for(*level, std::move(item));
        return Outcome::copied;
    }

    // Unchanged with atomic elements only: no cycle can have gone through
    // it, and it is not remembered.
    Outcome
    begin_tuple(Ref x, Ref *result, PyObject **next)
    {
        const Py_ssize_t length = PyTuple_GET_SIZE(x.get());
        Py_ssize_t i = put_atomic_elements(x.get(), nullptr, 0);
        if (i == length) {
            *result = std::move(x);
            return Outcome::copied;
        }
        *next = PyTuple_GET_ITEM(x.get(), i);
        if (!levels_.push(std::move(x), Ref(), length, i)) {
            return Outcome::error;
        }
        return Outcome::copied;
    }

    // The item of a dict's level to copy first: the value, as deepcopy's
    // assignment evaluates it, unless it is atomic. Returned borrowed, and
    // kept by the level as Runs::Kept says.
    static PyObject *
    wait_for(Level &level, Item key, Item value)
    {
        level.key = Runs::own(std::move(key));
        if (is_atomic(Runs::object(value))) {
            level.value_copy = Runs::own(std::move(value));
            return level.key.get();
        }
        return wait_for(level, std::move(value));
    }

    // A list's item to copy next.
    static PyObject *
    wait_for(Level &level, Item item)
    {
        return Runs::keep(&level.item, std::move(item));
    }

    // Pops a level done with, its copy into *result.
    Outcome
    finish(Ref copy, Ref *result)
    {
        *result = std::move(copy);
        levels_.pop();
        return Outcome::copied;
    }

    // Each of these takes *result, the copy that the top level waits for,
    // and goes on to the end of the container or to the next item that is
    // not atomic.

    // y[copy of key] = copy of value, in x's order.
    Outcome
    copy_dict(Level &level, Ref *result)
    {
        Ref value_copy;
        Ref key_copy;
        if (level.value_copy) {
            value_copy = std::move(level.value_copy);
            key_copy = std::move(*result);
        }
        else if (is_atomic(level.key.get())) {
            value_copy = std::move(*result);
            key_copy = Ref::new_ref(level.key.get());
        }
        else {
            level.value_copy = std::move(*result);
            return begin(level.key.get(), result);
        }
        PyObject *x = level.x.get();
        if (PyDict_GET_SIZE(x) != level.length) {
            return Outcome::fall_back;
        }
        if (PyDict_SetItem(level.copy.get(), key_copy.get(),
                           value_copy.get()) < 0) {
            return Outcome::error;
        }
        level.key = Ref();
        Item key;
        Item value;
        Outcome outcome = Runs::put_items(x, level.copy.get(), level.length,
                                          &level.position, &key, &value);
        if (outcome != Outcome::copied) {
            return outcome;
        }
        if (!key) {
            return finish(std::move(level.copy), result);
        }
        return begin(wait_for(level, std::move(key), std::move(value)),
                     result);
    }

    // Appended to, as the list grows that way.
    Outcome
    copy_list(Level &level, Ref *result)
    {
        PyObject *x = level.x.get();
        if (PyList_Append(level.copy.get(), result->get()) < 0) {
            return Outcome::error;
        }
        *result = Ref();
        level.position++;
        Item item{};
        Outcome outcome = Runs::append_items(x, level.copy.get(), level.length,
                                             &level.position, &item);
        if (outcome != Outcome::copied) {
            return outcome;
        }
        if (level.position == level.length) {
            return finish(std::move(level.copy), result);
        }
        return begin(wait_for(level, std::move(item)), result);
    }

    // Every element copied; then the memo's copy if a cycle through the
    // tuple made one, else x itself when no element changed, else the new
    // tuple, remembered.
    Outcome
    copy_tuple(Level &level, Ref *result)
    {
        PyObject *x = level.x.get();
        const Py_ssize_t i = level.position;
        if (!level.copy && result->get() != PyTuple_GET_ITEM(x, i)) {
            level.copy = Ref::steal(PyTuple_New(level.length));
            if (!level.copy) {
                return Outcome::error;
            }
            for (Py_ssize_t j = 0; j < i; j++) {
                PyTuple_SET_ITEM(level.copy.get(), j,
                                 Py_NewRef(PyTuple_GET_ITEM(x, j)));
            }
        }
        if (level.copy) {
            PyTuple_SET_ITEM(level.copy.get(), i, result->release());
        }
        else {
            *result = Ref();
        }
        level.position = put_atomic_elements(x, level.copy.get(), i + 1);
        if (level.position < level.length) {
            return begin(PyTuple_GET_ITEM(x, level.position), result);
        }
        if (PyObject *found = memo.find(x)) {
            return finish(Ref::new_ref(found), result);
        }
        if (!level.copy) {
            return finish(std::move(level.x), result);
        }
        if (!memo.add(x, level.copy.get())) {
            return Outcome::error;
        }
        return finish(std::move(level.copy), result);
    }

    size_t max_depth_;
    LevelStack<Level> levels_;
};

}  // namespace

Outcome
copy_plain_data(PyObject *original, int max_depth, Ref *copy)
{
    PlainCopier copier(max_depth);
    Outcome outcome = copier.copy(original, copy);
    if (outcome == Outcome::copied) {
        return outcome;
    }
    copier.memo.discard_copies();
    // the real call starts afresh, and meets the shortage itself if any
    if (outcome == Outcome::error &&
        PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return Outcome::fall_back;
    }
    return outcome;
}

}  // namespace calvoro::boundary::native_copy
