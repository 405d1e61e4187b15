// merger_values.hpp: what a Merger does to the values under one key: the
// mapping test, the lookups and stores of any mapping, the joins of lists,
// sets and tuples, and the values it adds, rebuilt without the delete
// marker's keys or deep-copied as its options say.
//
// Every function takes borrowed arguments and may run Python code; a new
// reference is returned as a Ref, empty with an exception set on failure.
#pragma once

#include "merger_options.hpp"

namespace calvoro::merger {

enum class Found { error, no, yes };

// Whether `obj` counts as a mapping: the dict-subclass flag, or isinstance
// of the options' classes.
inline Found
is_mapping(const Options &options, PyObject *obj)
{
    if (!options.mappings) {
        return PyDict_Check(obj) ? Found::yes : Found::no;
    }
    const int is = PyObject_IsInstance(obj, options.mappings);
    return is < 0 ? Found::error : is ? Found::yes : Found::no;
}

// lookup() of anything but an exact dict.
Found lookup_generic(PyObject *mapping, PyObject *key, Ref *value);

// mapping[key] where `key in mapping`: one lookup of an exact dict, the
// test and the subscription of anything else. *value is set on yes.
// Inline, as every step the options decide makes one.
inline Found
lookup(PyObject *mapping, PyObject *key, Ref *value)
{
    if (!PyDict_CheckExact(mapping)) {
        return lookup_generic(mapping, key, value);
    }
    PyObject *found;
    const int in = PyDict_GetItemRef(mapping, key, &found);
    *value = Ref::steal(found);
    return in < 0 ? Found::error : in ? Found::yes : Found::no;
}

// mapping[key] = value; false with an exception set.
inline bool
store(PyObject *mapping, PyObject *key, PyObject *value)
{
    return (PyDict_CheckExact(mapping)
                ? PyDict_SetItem(mapping, key, value)
                : PyObject_SetItem(mapping, key, value)) == 0;
}

// del mapping[key] where `key in mapping`; false with an exception set.
bool discard(PyObject *mapping, PyObject *key);

// A deep copy of `value` by the module's deepcopy: natively for plain
// data; atomic values are their own copies.
Ref deep_copy(PyObject *value);

// The value that adding `value` (from a later mapping) stores: a mapping
// rebuilt as a new dict without the marker's keys, at every level, where a
// marker is set; deep-copied where the options copy; else `value` itself.
Ref added(const Options &options, PyObject *value);

// A copy of a mapping, one level deep: dict.copy() of an exact dict, else
// the module's copy.copy.
Ref shallow_copy(PyObject *mapping);

// The conflict that conflict_type(message, path, first, second) makes of
// the pair at `path`, its message naming the path and both types.
Ref conflict_error(PyObject *conflict_type, bool of_types, PyObject *path,
                   PyObject *first, PyObject *second);

// Whether `a + b` is the plain concatenation of two exact lists or two
// exact tuples: no overloaded `+` to look for, no item compared.
inline bool
concatenates_plainly(PyObject *a, PyObject *b)
{
    return Py_TYPE(a) == Py_TYPE(b) &&
           (PyList_CheckExact(a) || PyTuple_CheckExact(a));
}

// The new list, set or tuple that `join` (append ... intersect) makes of
// first_value and second_value, the latter copied first where the options
// copy.
Ref joined(const Options &options, Join join, PyObject *first_value,
           PyObject *second_value);

}  // namespace calvoro::merger
