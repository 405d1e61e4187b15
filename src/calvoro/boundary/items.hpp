// items.hpp: fetching elements of sequences, mappings and dictionaries.
#pragma once

#include "ref.hpp"

namespace calvoro::boundary {

// Element `i` (not negative) of a sequence: exact lists and tuples are read
// directly while `i` is within their current length; other types get their
// sequence item slot, and everything else the interpreter's subscription
// with the int `i`. New reference, or an empty Ref with an exception set.
Ref item_at_index(PyObject *sequence, Py_ssize_t i);

// obj[key] through the generic protocols: mapping subscription, else the
// sequence item slot with the key taken as an index, else TypeError.
Ref item_for_key(PyObject *obj, PyObject *key);

// Whether hashing and comparing `key` can run no Python code, so that
// dictionary lookups of it are invisible to Python and may be fused.
inline bool
is_plain_key(PyObject *key)
{
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);
}

// Whether every key of an exact dict is plain, so that looking up a plain
// key in it compares built-in objects only.
bool has_only_plain_keys(PyObject *dictionary);

// Whether the plain-key lookups of one merge level may be fused: both are
// exact dicts holding plain keys only. A first dict much larger than the
// second is not scanned (the merge would cost its size, not the second's).
bool lookups_invisible(PyObject *first_dict, PyObject *second_dict);

// Fused lookups stay invisible only while no Python code runs, since code
// may put a key with its own __eq__ into either dict. The merge loops carry
// a flag `quiet`, true on entry and cleared when code may have run.

// For exact dicts and a plain key: stores `value` under `key` unless the key
// is present. Returns -1 on error, 1 when it stored the value, 0 when the
// key was present, with its value in *existing (borrowed).
int set_if_absent(PyObject *dictionary, PyObject *key, PyObject *value,
                  PyObject **existing);

// dictionary[key] = value for an exact dict whose value under `key` is now
// `old` (borrowed). Clears *quiet when freeing `old` may run Python code.
// Returns false with an exception set on failure.
bool replace_value(PyObject *dictionary, PyObject *key, PyObject *value,
                   PyObject *old, bool *quiet);

// Releases `held`; clears *quiet when that may free an object whose release
// runs Python code. The fused paths release what they hold with this.
void drop(Ref &held, bool *quiet);

// One step of a walk of an exact dict by position, with the length test
// that its iterator makes before every step: -1 with RuntimeError when the
// size is no longer `length`, 0 at the end, 1 with *key and *value
// (borrowed) of the next entry. Inline: it is the merge loops' every step.
inline int
dict_step(PyObject *dictionary, Py_ssize_t length, Py_ssize_t *position,
          PyObject **key, PyObject **value)
{
    if (PyDict_GET_SIZE(dictionary) != length) {
        PyErr_SetString(PyExc_RuntimeError,
                        "dictionary changed size during iteration");
        return -1;
    }
    return PyDict_Next(dictionary, position, key, value) ? 1 : 0;
}

// dictionary[key] of an exact dict, without __missing__: KeyError with
// args (key,) when absent; errors of hashing or comparison are passed on.
Ref dict_item(PyObject *dictionary, PyObject *key);

}  // namespace calvoro::boundary
