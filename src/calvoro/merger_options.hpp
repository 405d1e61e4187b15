// merger_options.hpp: a Merger's options, as its merges read them.
//
// calvoro.Merger validates the options once, in Python; what reaches this
// file is their codes, and the objects the options name. Each decision that
// a key's merge makes reads one field here, and the fused steps ask
// stores() whether a value may be stored as the merge rule stores it.
#pragma once

#include "boundary/api/ref.hpp"

namespace calvoro::merger {

// What becomes of a pair of lists, sets or tuples, or of any other pair
// (conflicts, type_conflicts); `none` leaves the pair to the next option.
// The codes are the positions of the option's values in calvoro.Merger.
enum class Join {
    none,
    replace,
    keep,
    append,
    prepend,
    append_unique,
    append_rp,
    prepend_rp,
    union_,
    intersect,
    error,
};

// How the levels of a merge may fuse their lookups: as the merge rule's
// (the options are its own), with the values the options decide screened
// out of the fused steps, or not at all (the mapping test is isinstance,
// which may run code).
enum class Fusing { plain, screened, none };

struct Options {
    // the classes of isinstance, or nullptr for the dict-subclass flag
    PyObject *mappings;
    // the delete marker, or nullptr
    PyObject *marker;
    Join lists;
    Join sets;
    Join tuples;
    Join conflicts;
    Join type_conflicts;
    bool copy;
    // whether a value that is not merged may be stored without looking at
    // what the key holds, where the type of the value allows it
    bool blind;
    // whether a pair may raise a conflict
    bool raises;
    Fusing fusing;

    // Derives `blind` and `fusing` from the options.
    void
    settle() noexcept
    {
        blind =
            !copy && conflicts == Join::replace &&
            (type_conflicts == Join::none || type_conflicts == Join::replace);
        raises = conflicts == Join::error || type_conflicts == Join::error;
        const bool rule = blind && !marker && type_conflicts == Join::none &&
                          lists == Join::none && sets == Join::none &&
                          tuples == Join::none;
        fusing = mappings ? Fusing::none
                 : rule   ? Fusing::plain
                          : Fusing::screened;
    }

    // Whether `value`, not merged, is stored under its key whatever the
    // key holds, or is absent: the merge rule's store. Runs no code.
    bool
    stores(PyObject *value) const noexcept
    {
        if (!blind || value == marker) {
            return false;
        }
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type || type == &PyLong_Type ||
            type == &PyFloat_Type || type == &PyBool_Type ||
            value == Py_None) {
            return true;
        }
        // an added dict is rebuilt without the marker's keys
        if (PyDict_Check(value)) {
            return !marker;
        }
        if (PyList_Check(value)) {
            return lists == Join::none;
        }
        if (PyAnySet_Check(value)) {
            return sets == Join::none;
        }
        if (PyTuple_Check(value)) {
            return tuples == Join::none;
        }
        return true;
    }

    // What the options do with a pair of values, neither merged deeper nor
    // of types that type_conflicts decides.
    Join
    join_of(PyObject *first_value, PyObject *second_value) const noexcept
    {
        if (PyList_Check(first_value) && PyList_Check(second_value) &&
            lists != Join::none) {
            return lists;
        }
        if (PyAnySet_Check(first_value) && PyAnySet_Check(second_value) &&
            sets != Join::none) {
            return sets;
        }
        if (PyTuple_Check(first_value) && PyTuple_Check(second_value) &&
            tuples != Join::none) {
            return tuples;
        }
        return conflicts;
    }
};

}  // namespace calvoro::merger
