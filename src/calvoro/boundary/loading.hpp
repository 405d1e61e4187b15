// loading.hpp: the create step and the frame of the exec step, shared by
// both modules.
#pragma once

#include "identity.hpp"

namespace calvoro::boundary {

struct ModuleHooks {
    // Process-wide set-up of the module's own kind, before the module is
    // taken. Returns false with an exception set.
    bool (*prepare)();
    // The module's interned names and string constants. Returns false with
    // an exception set.
    bool (*make_names)();
    // The module's own statements, run on its namespace. Returns 0, or the
    // source line of the failing statement with an exception set.
    int (*body)(PyObject *globals);
};

// Create step: the initialised module again, or a new module made from
// the module spec. New reference, or nullptr with an exception set.
PyObject *create_module(ModuleIdentity &module, PyObject *spec,
                        PyModuleDef *def);

// Exec step: 0 on success, -1 with an exception set. A failure once the
// module is taken adds an "init ..." traceback entry and forgets the module.
int exec_module(ModuleIdentity &module, PyObject *module_object,
                const ModuleHooks &hooks);

}  // namespace calvoro::boundary

namespace calvoro::boundary {

// A module statement `from <module> import <names...>`, absolute, with the
// module's namespace as globals: binds each name there, in order. A name
// the module lacks fails with ImportError "cannot import name ...".
// The names must be str. Returns false with an exception set.
bool import_from(ModuleIdentity &module, const char *module_name,
                 PyObject *const *names, int count);

}  // namespace calvoro::boundary
