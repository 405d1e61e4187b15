// binding.hpp: the two ways a public function takes its arguments.
#pragma once

#include "compat.hpp"

namespace calvoro::boundary {

struct PairArguments {
    PyObject *first = nullptr;   // borrowed from the call's tuple or mapping
    PyObject *second = nullptr;
};

// Pair binding: two required parameters, each by position or by keyword.
// `kwargs` may be nullptr. `name` is the bare function name of the messages;
// the parameter names must be interned str. Returns false with TypeError
// set; runs no Python code.
bool bind_pair_arguments(PyObject *args, PyObject *kwargs, const char *name,
                         PyObject *first_name, PyObject *second_name,
                         PairArguments *bound);

// Single binding: exactly one positional argument and no keyword (an empty
// keyword mapping is accepted). Returns the argument (borrowed), or nullptr
// with TypeError set.
PyObject *bind_single_argument(PyObject *args, PyObject *kwargs,
                               const char *name);

}  // namespace calvoro::boundary

namespace calvoro::boundary {

// Exact-type test of an argument: its type is `expected` itself, or it is
// None. Otherwise TypeError naming the parameter; returns false.
bool check_exact_argument(PyObject *argument, PyTypeObject *expected,
                          const char *parameter);

// Sets TypeError "Expected dict, got ..." for a value of the wrong type;
// returns false.
bool refuse_value(PyObject *value, PyTypeObject *expected);

// Exact-type test of a value obtained at run time, same rule. Returns false
// with TypeError "Expected dict, got ..." set. Inline: merges test every
// nested dict.
inline bool
check_exact_value(PyObject *value, PyTypeObject *expected)
{
    return Py_TYPE(value) == expected || value == Py_None ||
           refuse_value(value, expected);
}

}  // namespace calvoro::boundary
