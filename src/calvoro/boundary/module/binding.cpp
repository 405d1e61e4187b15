// binding.cpp: argument binding with the messages of the function table.
#include "binding.hpp"

#include "traceback.hpp"

namespace calvoro::boundary {

namespace {

// Keyword names match parameters by identity first, then by string
// equality; the keys' own __eq__ is never called.
bool
same_name(PyObject *key, PyObject *parameter)
{
    if (key == parameter) {
        return true;
    }
    return PyUnicode_Check(key) &&
           PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(parameter) &&
           PyUnicode_Compare(key, parameter) == 0;
}

bool
has_keyword(PyObject *kwargs, PyObject *parameter, PyObject **value)
{
    Py_ssize_t pos = 0;
    PyObject *key;
    while (PyDict_Next(kwargs, &pos, &key, value)) {
        if (same_name(key, parameter)) {
            return true;
        }
    }
    return false;
}

bool
fail_count(const char *name, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 name, "exactly", static_cast<Py_ssize_t>(2), "s", given);
    return false;
}

// Visits the keywords in their own order; the first offending one decides.
bool
check_left_over(PyObject *kwargs, const char *name, PyObject *first_name,
                PyObject *second_name, Py_ssize_t positional)
{
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        bool is_first = same_name(key, first_name);
        bool is_second = !is_first && same_name(key, second_name);
        if ((is_first && positional < 1) || (is_second && positional < 2)) {
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         name);
        }
        else if (is_first || is_second) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         name, key);
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'", name,
                         key);
        }
        return false;
    }
    return true;
}

}  // namespace

bool
bind_pair_arguments(PyObject *args, PyObject *kwargs, const char *name,
                    PyObject *first_name, PyObject *second_name,
                    PairArguments *bound)
{
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (!kwargs) {
        if (n != 2) {
            return fail_count(name, n);
        }
        bound->first = PyTuple_GET_ITEM(args, 0);
        bound->second = PyTuple_GET_ITEM(args, 1);
        return true;
    }
    if (n > 2) {
        return fail_count(name, n);
    }
    Py_ssize_t left_over = PyDict_GET_SIZE(kwargs);
    if (n >= 1) {
        bound->first = PyTuple_GET_ITEM(args, 0);
    }
    else if (!has_keyword(kwargs, first_name, &bound->first)) {
        return fail_count(name, 0);
    }
    else {
        left_over--;
    }
    if (n == 2) {
        bound->second = PyTuple_GET_ITEM(args, 1);
    }
    else if (!has_keyword(kwargs, second_name, &bound->second)) {
        return fail_count(name, 1);
    }
    else {
        left_over--;
    }
    if (left_over > 0) {
        return check_left_over(kwargs, name, first_name, second_name, n);
    }
    return true;
}

PyObject *
bind_single_argument(PyObject *args, PyObject *kwargs, const char *name)
{
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                     name);
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n != 1) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() takes exactly one argument (%zd given)", name,
                     n);
        return nullptr;
    }
    return PyTuple_GET_ITEM(args, 0);
}

bool
bind_held_pair(ModuleRecord &module, const FunctionIdentity &function,
               PyObject *args, PyObject *kwargs, PyObject *first_name,
               PyObject *second_name, HeldPair *held)
{
    PairArguments bound;
    if (!bind_pair_arguments(args, kwargs, function.name, first_name,
                             second_name, &bound)) {
        add_traceback_entry(module, function.qualified_name,
                            function.binding_line);
        return false;
    }
    held->first = Ref::new_ref(bound.first);
    held->second = Ref::new_ref(bound.second);
    return true;
}

}  // namespace calvoro::boundary

namespace calvoro::boundary {

bool
check_exact_argument(PyObject *argument, PyTypeObject *expected,
                     const char *parameter)
{
    if (Py_TYPE(argument) == expected || argument == Py_None) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got "
                 "%.200s)",
                 parameter, expected->tp_name, Py_TYPE(argument)->tp_name);
    return false;
}

bool
refuse_value(PyObject *value, PyTypeObject *expected)
{
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s",
                 expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace calvoro::boundary
