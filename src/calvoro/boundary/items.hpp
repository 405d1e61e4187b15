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

// store_unless_both_dicts when the key holds `old`, which is not to be
// merged with `value`: stores `value`, and clears *quiet when freeing `old`
// may run Python code. Returns 1, or -1 with an exception set.
int replace_existing(PyObject *dictionary, PyObject *key, PyObject *value,
                     PyObject *old, bool *quiet);

// The fused step of a merge for a plain key of exact dicts, `value` being
// second_dict[key]: stores it under `key` unless the key holds a dict and
// `value` is one too. Returns -1 on error, 1 when it stored the value, 0
// when both are dicts, with the first one in *existing (borrowed). Clears
// *quiet when freeing the value it replaced may have run Python code.
// Inline, so that storing a new key, the common case, costs no more than
// the lookup.
inline int
store_unless_both_dicts(PyObject *dictionary, PyObject *key, PyObject *value,
                        PyObject **existing, bool *quiet)
{
    Py_ssize_t before = PyDict_GET_SIZE(dictionary);
    // one lookup where contains, fetch and store would take three
    *existing = PyDict_SetDefault(dictionary, key, value);
    if (!*existing) {
        return -1;
    }
    if (PyDict_GET_SIZE(dictionary) != before) {
        return 1;
    }
    if (PyDict_Check(*existing) && PyDict_Check(value)) {
        return 0;
    }
    return replace_existing(dictionary, key, value, *existing, quiet);
}

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
