// anyfold_function.hpp: anyfold's own function type, which answers the
// introspection protocol of functions written in Python.
#pragma once

#include "boundary/ref.hpp"

namespace calvoro::anyfold {

enum class CallForm { pair, single };

// What a function object is made from; static, for the life of the process.
struct FunctionDef {
    const char *name;
    CallForm form;
    // pair: the positional tuple and the keyword mapping (or nullptr)
    PyObject *(*call_pair)(PyObject *args, PyObject *kwargs);
    // single: the one argument, already bound
    PyObject *(*call_single)(PyObject *arg);
    const char *doc;
};

// Makes the type ready, the first time in the process. False with an
// exception set.
bool function_type_ready();

// A new function object. The arguments are borrowed; `annotations` is a
// dict. New reference, or an empty Ref with an exception set.
Ref function_new(const FunctionDef *def, PyObject *module_name,
                 PyObject *globals, PyObject *code, PyObject *annotations);

// Whether `obj` is a function object made from `def`.
bool function_has_def(PyObject *obj, const FunctionDef *def);

}  // namespace calvoro::anyfold
