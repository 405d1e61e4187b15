// dict_keys.cpp: what the lookup kinds mean, learned from dicts of known
// keys, and the check of the direct reads against the calls.
#include "dict_keys.hpp"

#include "../api/ref.hpp"

namespace calvoro::internals {

bool lookup_kinds_known = false;
uintptr_t general_lookup_kind = 0;

namespace {

// A dict of `key` and, unless null, `removed` under it and removed again.
Ref
probe_dict(PyObject *key, PyObject *removed)
{
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), key, Py_None) != 0 ||
        (removed && (PyDict_SetItem(dict.get(), removed, Py_None) != 0 ||
                     PyDict_DelItem(dict.get(), removed) != 0))) {
        return Ref();
    }
    return dict;
}

// Whether dict_next_unicode gives what PyDict_Next gives, item by item and
// position by position, on a unicode table of `count` str keys with every
// third removed, and dict_get_unicode what PyDict_GetItemWithError does.
bool
reads_like_the_calls(Py_ssize_t count, uintptr_t general)
{
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref key = Ref::steal(PyUnicode_FromFormat("k%zd", i));
        if (!key || PyDict_SetItem(dict.get(), key.get(), Py_None) != 0 ||
            (i % 3 == 0 && PyDict_DelItem(dict.get(), key.get()) != 0)) {
            return false;
        }
    }
    if (dict_lookup_kind(dict.get()) == general) {
        return false;
    }
    Py_ssize_t expected = 0;
    Py_ssize_t position = 0;
    for (;;) {
        PyObject *key;
        PyObject *value;
        PyObject *expected_key;
        PyObject *expected_value;
        const int more =
            PyDict_Next(dict.get(), &expected, &expected_key, &expected_value);
        if (dict_next_unicode(dict.get(), &position, &key, &value, general) !=
                more ||
            position != expected) {
            return false;
        }
        if (!more) {
            break;
        }
        if (key != expected_key || value != expected_value) {
            return false;
        }
    }
    if (!has_dict_get_unicode) {
        return true;
    }
    // and dict_get_unicode what PyDict_GetItemWithError gives, for keys of
    // the dict, removed and never there, each as another object
    for (Py_ssize_t i = 0; i < count + count / 2; i++) {
        Ref key = Ref::steal(PyUnicode_FromFormat("k%zd", i));
        if (!key) {
            return false;
        }
        PyObject *expected = PyDict_GetItemWithError(dict.get(), key.get());
        if (PyErr_Occurred() ||
            dict_get_unicode(dict.get(), key.get(), general) != expected ||
            PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

}  // namespace

void
learn_lookup_kinds()
{
    if (!has_dict_lookup_kind || lookup_kinds_known) {
        return;
    }
    Ref text = Ref::steal(PyUnicode_FromString("calvoro"));
    Ref number = Ref::steal(PyLong_FromLong(7));
    Ref number_text = Ref::steal(PyUnicode_FromString("7"));
    if (!text || !number || !number_text) {
        PyErr_Clear();
        return;
    }
    // subclasses of str, tuples and the like switch like an int does
    Ref general = probe_dict(number.get(), nullptr);
    Ref str_only = probe_dict(text.get(), nullptr);
    Ref str_deleted = probe_dict(text.get(), number_text.get());
    Ref general_left = probe_dict(text.get(), number.get());
    if (!general || !str_only || !str_deleted || !general_left) {
        PyErr_Clear();
        return;
    }
    const uintptr_t general_kind = dict_lookup_kind(general.get());
    // of 5 keys, a hash index of a byte a slot; of 400, two bytes
    const bool known = dict_lookup_kind(str_only.get()) != general_kind &&
                       dict_lookup_kind(str_deleted.get()) != general_kind &&
                       dict_lookup_kind(general_left.get()) == general_kind &&
                       reads_like_the_calls(5, general_kind) &&
                       reads_like_the_calls(400, general_kind);
    PyErr_Clear();
    // the kind before the flag that vouches for it: on a free-threaded
    // build another thread may read them while they are set
    general_lookup_kind = general_kind;
    lookup_kinds_known = known;
}

}  // namespace calvoro::internals
