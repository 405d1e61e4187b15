// items.hpp: fetching elements of sequences, mappings and dictionaries.
#pragma once

#include "../api/ref.hpp"

namespace calvoro::boundary {

// Element `i` (not negative) of a sequence: exact lists and tuples are read
// directly while `i` is within their current length; other types get their
// sequence item slot, and everything else the interpreter's subscription
// with the int `i`. New reference, or an empty Ref with an exception set.
Ref item_at_index(PyObject *sequence, Py_ssize_t i);

// obj[key] through the generic protocols: mapping subscription, else the
// sequence item slot with the key taken as an index, else TypeError.
Ref item_for_key(PyObject *obj, PyObject *key);

// dictionary[key] of an exact dict, without __missing__: KeyError with
// args (key,) when absent; errors of hashing or comparison are passed on.
Ref dict_item(PyObject *dictionary, PyObject *key);

}  // namespace calvoro::boundary
