// binding.hpp: the two ways a public function takes its arguments.
#pragma once

#include "module_record.hpp"
#include "../api/ref.hpp"
#include "../api/versions.hpp"

namespace calvoro::boundary {

struct PairArguments {
    PyObject *first = nullptr;  // borrowed from the call's tuple or mapping
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

// Both arguments of a public function bound by pair, held for the call: the
// keyword mapping may be the caller's, and change during it.
struct HeldPair {
    Ref first;
    Ref second;
};

// bind_pair_arguments for a public function of `module`, whose failure gets
// the function's traceback entry at its binding line.
bool bind_held_pair(ModuleRecord &module, const FunctionIdentity &function,
                    PyObject *args, PyObject *kwargs, PyObject *first_name,
                    PyObject *second_name, HeldPair *held);

// A one-argument function of a method table, as the table calls it.
using SingleFunction = PyObject *(*)(PyObject *self, PyObject *arg);

template <SingleFunction function, const char *name>
PyObject *
call_single(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *arg = bind_single_argument(args, kwargs, name);
    return arg ? function(self, arg) : nullptr;
}

// The method table entry of a one-argument function. Where the host's own
// convention (METH_O) refuses bad calls with the bare name, it binds;
// elsewhere the single binding does, with the same messages.
template <SingleFunction function, const char *name>
PyMethodDef
single_argument_method(const char *doc)
{
    if constexpr (compat::host_binds_single) {
        return {name, compat::as_cfunction(function), METH_O, doc};
    }
    else {
        return {name, compat::as_cfunction(call_single<function, name>),
                METH_VARARGS | METH_KEYWORDS, doc};
    }
}

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
