// calls.hpp: global names, guarded calls and the modules' own exception.
#pragma once

#include "module_record.hpp"
#include "../api/ref.hpp"

namespace calvoro::boundary {

// The object bound to a module-level name: the module's namespace first,
// then the builtins module. NameError "name '%U' is not defined" when
// neither has it; other errors of either lookup are passed on.
// `name` must be a str. Returns a new reference or an empty Ref.
Ref lookup_global(ModuleRecord &module, PyObject *name);

// The same lookup in the builtins module alone.
Ref lookup_builtin(ModuleRecord &module, PyObject *name);

// Calls `callable` with positional arguments only, inside the recursion
// guard (one level per call); a bound method is called as its function with
// its instance first. The arguments are borrowed. Returns the result or an
// empty Ref with an exception set.
Ref call_guarded(PyObject *callable, PyObject *const *args, Py_ssize_t nargs);

inline Ref
call_guarded(PyObject *callable, PyObject *arg)
{
    return call_guarded(callable, &arg, 1);
}

inline Ref
call_guarded(PyObject *callable, PyObject *first, PyObject *second)
{
    PyObject *args[] = {first, second};
    return call_guarded(callable, args, 2);
}

// Raises the built-in Exception made from the constant argument tuple
// `args`. Always returns nullptr.
PyObject *raise_own_exception(PyObject *args);

// The folds' Exception for a list of fewer than two dicts. Its argument
// tuple is made once per process, by make_length_error at import (false
// with an exception set); raise_length_error always returns nullptr.
bool make_length_error();
PyObject *raise_length_error();

// The context text of guarded calls and of the recursion errors.
inline constexpr const char *calling_where = " while calling a Python object";

}  // namespace calvoro::boundary
