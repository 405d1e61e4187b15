// anyfold_function.hpp: anyfold's own function type, which answers the
// introspection protocol of functions written in Python, and the definition
// statements that make its objects at import.
#pragma once

#include "boundary/module/module_record.hpp"
#include "boundary/api/ref.hpp"

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

// An annotation as the definition line writes it: None, a name, or a
// generic subscripted with one name or a pair of names. The names are
// slots of the module's constants, filled at import.
struct Annotation {
    PyObject *const *key;
    PyObject *const *generic;  // nullptr: the None constant
    PyObject *const *args[2];
    int nargs;                 // 0: the generic name alone
};

// A definition statement of the module's source.
struct Definition {
    const FunctionDef *def;
    int line;  // of the `def`
    int argcount;
    PyObject *const *varnames[3];
    int nvarnames;
    Annotation annotations[3];
    int nannotations;
    PyObject *code;  // made once, held for the life of the process
};

// Makes the definition's code object, unless an earlier import has. False
// with an exception set.
bool make_code(boundary::ModuleRecord &module, Definition &definition);

// Runs the statement in the module's namespace: evaluates the annotations,
// their names looked up as globals in order, makes the function object
// (`module_name` is its __module__) and binds it. False with an exception
// set.
bool define(boundary::ModuleRecord &module, const Definition &definition,
            PyObject *module_name);

}  // namespace calvoro::anyfold
