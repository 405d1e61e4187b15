// code_object.hpp: code objects made for introspection, whose constructor
// changed in 3.8, 3.11 and 3.12.
#pragma once

#include "python.hpp"

namespace calvoro::compat {

// A code object for introspection only: empty bytecode and tables.
// Returns a new reference, or nullptr with an exception set.
PyObject *new_code_object(int argcount, PyObject *varnames, PyObject *filename,
                          PyObject *name, int firstlineno);

}  // namespace calvoro::compat
