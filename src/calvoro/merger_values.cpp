// merger_values.cpp: the values under one key, as a Merger's options
// decide them.
#include "merger_values.hpp"

#include "boundary/copy/plain_copy.hpp"
#include "boundary/merge/key_source.hpp"
#include "boundary/merge/level_stack.hpp"
#include "boundary/merge/recursion.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/module/items.hpp"
#include "merger_keys.hpp"
#include "merger_module.hpp"

#include <utility>

namespace calvoro::merger {

Found
lookup_generic(PyObject *mapping, PyObject *key, Ref *value)
{
    // a subscription alone would reach __missing__
    const int in = PySequence_Contains(mapping, key);
    if (in <= 0) {
        return in < 0 ? Found::error : Found::no;
    }
    *value = boundary::item_for_key(mapping, key);
    return *value ? Found::yes : Found::error;
}

bool
discard(PyObject *mapping, PyObject *key)
{
    const bool exact = PyDict_CheckExact(mapping);
    const int in = exact ? PyDict_Contains(mapping, key)
                         : PySequence_Contains(mapping, key);
    if (in <= 0) {
        return in == 0;
    }
    return (exact ? PyDict_DelItem(mapping, key)
                  : PyObject_DelItem(mapping, key)) == 0;
}

namespace {

// What deepcopy returns as it is.
bool
atomic(PyObject *value)
{
    PyTypeObject *type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || value == Py_None;
}

// One mapping being rebuilt: its keys walked, the new dict filled.
struct RebuiltLevel {
    RebuiltLevel(LevelCount::Entry counted, Ref &&source_mapping,
                 Ref &&target_dict)
        : count(counted),
          source(std::move(source_mapping)),
          target(std::move(target_dict)),
          keys(source.get())
    {
    }

    LevelCount count;  // first, so that it is given back last
    Ref source;
    Ref target;
    boundary::KeySource keys;
};

// `mapping` as a new dict without the keys whose value is the marker, each
// nested mapping rebuilt so too; the levels on the heap, counted against
// the recursion limit as a merge's are.
Ref
without_marker(const Options &options, PyObject *mapping)
{
    using Step = boundary::KeySource::Step;
    Ref top = Ref::steal(PyDict_New());
    if (!top) {
        return Ref();
    }
    boundary::LevelStack<RebuiltLevel> levels;
    PyThreadState *ts = internals::recursion_state();
    levels.push(LevelCount::not_counted(), Ref::new_ref(mapping),
                Ref::new_ref(top.get()));
    if (!levels.top().keys.start()) {
        return Ref();
    }
    for (;;) {
        RebuiltLevel &level = levels.top();
        PyObject *key;
        Ref held;
        PyObject *walked = nullptr;
        switch (level.keys.next(&key, &held, &walked)) {
        case Step::error:
            return Ref();
        case Step::end:
            if (levels.depth() == 1) {
                return top;
            }
            levels.pop();
            continue;
        case Step::item:
            break;
        }
        Ref value = walked_value(level.source.get(), key, held, walked);
        if (!value) {
            return Ref();
        }
        if (value.get() == options.marker) {
            continue;
        }
        const Found nested = is_mapping(options, value.get());
        if (nested == Found::error) {
            return Ref();
        }
        if (nested == Found::no) {
            if (PyDict_SetItem(level.target.get(), held.get(), value.get()) !=
                0) {
                return Ref();
            }
            continue;
        }
        Ref target = Ref::steal(PyDict_New());
        if (!target || PyDict_SetItem(level.target.get(), held.get(),
                                      target.get()) != 0) {
            return Ref();
        }
        RebuiltLevel *inner = push_counted_level(
            levels, too_deep_where, ts, std::move(value), std::move(target));
        if (!inner || !inner->keys.start()) {
            return Ref();
        }
    }
}

// list(first_value), then each item of second_value not already in it.
Ref
appended_unique(PyObject *first_value, PyObject *second_value)
{
    Ref result = Ref::steal(PySequence_List(first_value));
    Ref items = result ? Ref::steal(PyObject_GetIter(second_value)) : Ref();
    if (!items) {
        return Ref();
    }
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        const int in = PySequence_Contains(result.get(), item.get());
        if (in < 0 || (in == 0 && PyList_Append(result.get(), item.get()))) {
            return Ref();
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

// [x for x in first_value if x not in second_value]
Ref
without_items_of(PyObject *first_value, PyObject *second_value)
{
    Ref result = Ref::steal(PyList_New(0));
    Ref items = result ? Ref::steal(PyObject_GetIter(first_value)) : Ref();
    if (!items) {
        return Ref();
    }
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        const int in = PySequence_Contains(second_value, item.get());
        if (in < 0 || (in == 0 && PyList_Append(result.get(), item.get()))) {
            return Ref();
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

}  // namespace

Ref
deep_copy(PyObject *value)
{
    if (atomic(value)) {
        return Ref::new_ref(value);
    }
    Ref deepcopy = boundary::lookup_global(record, constants.deepcopy);
    if (!deepcopy) {
        return Ref();
    }
    return boundary::call_deepcopy(deepcopy.get(), value);
}

Ref
shallow_copy(PyObject *mapping)
{
    if (PyDict_CheckExact(mapping)) {
        return Ref::steal(PyDict_Copy(mapping));
    }
    Ref copy = boundary::lookup_global(record, constants.copy);
    if (!copy) {
        return Ref();
    }
    return Ref::steal(PyObject_CallOneArg(copy.get(), mapping));
}

Ref
conflict_error(PyObject *conflict_type, bool of_types, PyObject *path,
               PyObject *first, PyObject *second)
{
    Ref message = Ref::steal(
        PyUnicode_FromFormat("conflicting %s at %R: %.200s and %.200s",
                             of_types ? "types" : "values", path,
                             type_name(first), type_name(second)));
    if (!message) {
        return Ref();
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(
        conflict_type, message.get(), path, first, second, nullptr));
}

Ref
added(const Options &options, PyObject *value)
{
    Ref result = Ref::new_ref(value);
    if (options.marker) {
        const Found found = is_mapping(options, value);
        if (found == Found::error) {
            return Ref();
        }
        if (found == Found::yes) {
            result = without_marker(options, value);
            if (!result) {
                return Ref();
            }
        }
    }
    if (options.copy) {
        result = deep_copy(result.get());
    }
    return result;
}

Ref
joined(const Options &options, Join join, PyObject *first_value,
       PyObject *second_value)
{
    const Ref source =
        options.copy ? deep_copy(second_value) : Ref::new_ref(second_value);
    if (!source) {
        return Ref();
    }
    PyObject *a = first_value;
    PyObject *b = source.get();
    Ref rest;
    const bool exact = concatenates_plainly(a, b);
    switch (join) {
    case Join::append:
        return Ref::steal(exact ? PySequence_Concat(a, b)
                                : PyNumber_Add(a, b));
    case Join::prepend:
        return Ref::steal(exact ? PySequence_Concat(b, a)
                                : PyNumber_Add(b, a));
    case Join::append_unique:
        return appended_unique(a, b);
    case Join::append_rp:
        rest = without_items_of(a, b);
        return rest ? Ref::steal(PyNumber_Add(rest.get(), b)) : Ref();
    case Join::prepend_rp:
        rest = without_items_of(a, b);
        return rest ? Ref::steal(PyNumber_Add(b, rest.get())) : Ref();
    case Join::union_:
        return Ref::steal(PyNumber_Or(a, b));
    case Join::intersect:
        return Ref::steal(PyNumber_And(a, b));
    case Join::none:
    case Join::replace:
    case Join::keep:
    case Join::error:
        break;
    }
    assert(!"not a join");
    return Ref();
}

}  // namespace calvoro::merger
