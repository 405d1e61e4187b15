// loading.hpp: the create step and the frame of the exec step, shared by
// both modules.
#pragma once

#include "module_record.hpp"
#include "../platform/compiler.hpp"
#include "../sync/gil_slot.hpp"

namespace calvoro::boundary {

// Makes the interned str `text` the process-lifetime constant in *slot,
// unless an earlier import has: for the make_names hook below. Returns
// false with an exception set.
bool intern(PyObject **slot, const char *text);

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
PyObject *create_module(ModuleRecord &module, PyObject *spec,
                        PyModuleDef *def);

// Exec step: 0 on success, -1 with an exception set. A failure once the
// module is taken adds an "init ..." traceback entry and forgets the module.
int exec_module(ModuleRecord &module, PyObject *module_object,
                const ModuleHooks &hooks);

// What PyInit_<name> hands the interpreter: the module's definition record,
// whose create and exec steps run over its record and hooks.
template <ModuleRecord &module, const ModuleHooks &hooks, PyMethodDef *methods>
class ModuleDefinition {
  public:
    static PyObject *
    init()
    {
        return PyModuleDef_Init(&def_);
    }

  private:
    static PyObject *
    create(PyObject *spec, PyModuleDef *def)
    {
        return create_module(module, spec, def);
    }
    static int
    exec(PyObject *module_object)
    {
        return exec_module(module, module_object, hooks);
    }

    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_create, reinterpret_cast<void *>(create)},
        {Py_mod_exec, reinterpret_cast<void *>(exec)},
        // last: with the global lock it ends the table itself
        sync::gil_not_used_slot,
        {},
    };
    static inline PyModuleDef def_ = {
        PyModuleDef_HEAD_INIT,
        module.names.short_name, /* m_name */
        nullptr,                 /* m_doc */
        0,                       /* m_size */
        methods,                 /* m_methods */
        slots_,                  /* m_slots */
        nullptr,                 /* m_traverse */
        nullptr,                 /* m_clear */
        nullptr,                 /* m_free */
    };
};

}  // namespace calvoro::boundary

namespace calvoro::boundary {

// A module statement `from <module> import <names...>`, absolute, with the
// module's namespace as globals: binds each name there, in order. A name
// the module lacks fails with ImportError "cannot import name ...".
// The names must be str. Returns false with an exception set.
bool import_from(ModuleRecord &module, const char *module_name,
                 PyObject *const *names, int count);

}  // namespace calvoro::boundary
