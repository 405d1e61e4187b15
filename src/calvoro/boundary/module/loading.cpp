// loading.cpp: one initialisation per process, owned by one interpreter.
#include "loading.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "calls.hpp"
#include "../api/versions.hpp"
#include "../internals/dict_keys.hpp"
#include "../merge/fused.hpp"
#include "traceback.hpp"

namespace calvoro::boundary {

namespace {

// Copies a module spec attribute into the namespace; a missing one is skipped.
bool
copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from,
                    const char *to, bool skip_none)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

// The names in the method table, and what the namespace holds under each.
bool
save_table_functions(ModuleRecord &module, PyModuleDef *def)
{
    module.state.saved_count = 0;
    for (PyMethodDef *m = def->m_methods; m && m->ml_name; m++) {
        if (module.state.saved_count == max_table_functions) {
            break;
        }
        Ref name = Ref::steal(PyUnicode_InternFromString(m->ml_name));
        if (!name) {
            return false;
        }
        PyObject *value;
        if (PyDict_GetItemRef(module.state.globals, name.get(), &value) < 0) {
            return false;
        }
        int i = module.state.saved_count++;
        module.state.saved_names[i] = name.release();
        module.state.saved_values[i] = value;
    }
    return true;
}

// A re-import re-adds the method table over the caller's bindings: undo it.
bool
restore_table_functions(ModuleRecord &module)
{
    bool ok = true;
    for (int i = 0; i < module.state.saved_count; i++) {
        Ref name = Ref::steal(module.state.saved_names[i]);
        Ref value = Ref::steal(module.state.saved_values[i]);
        if (!ok) {
            continue;
        }
        if (value) {
            ok = PyDict_SetItem(module.state.globals, name.get(),
                                value.get()) == 0;
        }
        else if (PyDict_DelItem(module.state.globals, name.get()) != 0) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
            }
            else {
                ok = false;
            }
        }
    }
    module.state.saved_count = 0;
    return ok;
}

// Fails with RuntimeWarning's exception when a filter makes it an error.
bool
check_version(ModuleRecord &module)
{
    char built[16];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    const char *running = Py_GetVersion();
    size_t n = std::strlen(built);
    bool agree = std::strncmp(built, running, n) == 0 &&
                 !std::isdigit(static_cast<unsigned char>(running[n]));
    if (agree) {
        return true;
    }
    char running_version[5] = {};
    bool dot = false;
    for (size_t i = 0; i < 4; i++) {
        char c = running[i];
        if (c == '.' && !dot) {
            dot = true;
        }
        else if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        running_version[i] = c;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match "
                  "runtime version %s",
                  built, module.names.qualified_name, running_version);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

void
forget(ModuleRecord &module)
{
    Py_CLEAR(module.state.module);
    Py_CLEAR(module.state.globals);
    Py_CLEAR(module.state.builtins);
}

// The module frame: what the namespace holds besides the body's names, then
// the body. Returns 0, or the line of the failure's traceback entry.
int
run_frame(ModuleRecord &module, PyObject *module_object,
          const ModuleHooks &hooks, bool *added_to_sys_modules)
{
    constexpr int frame_line = 1;
    module.state.module = Py_NewRef(module_object);
    module.state.globals = Py_NewRef(PyModule_GetDict(module_object));
    module.state.builtins = Py_XNewRef(PyImport_AddModule("builtins"));
    if (!module.state.builtins ||
        PyDict_SetItemString(module.state.globals, "__builtins__",
                             module.state.builtins) != 0) {
        return frame_line;
    }
    if (!module.state.filename) {
        module.state.filename =
            PyUnicode_InternFromString(module.names.source_path);
        if (!module.state.filename) {
            return frame_line;
        }
    }
    if (!hooks.make_names()) {
        return frame_line;
    }

    Ref key =
        Ref::steal(PyUnicode_InternFromString(module.names.qualified_name));
    if (!key) {
        return frame_line;
    }
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *entry = PyDict_GetItemWithError(modules, key.get());
    if (!entry) {
        if (PyErr_Occurred() ||
            PyDict_SetItem(modules, key.get(), module_object) != 0) {
            return frame_line;
        }
        *added_to_sys_modules = true;
    }

    // the folds' loops are range() loops, whose builtin is bound at import:
    // without it the import fails, not a later call
    Ref range_name = Ref::steal(PyUnicode_InternFromString("range"));
    if (!range_name || !lookup_builtin(module, range_name.get())) {
        return frame_line;
    }

    if (int line = hooks.body(module.state.globals)) {
        return line;
    }

    // the doctest table of a compiled module: empty, there are none to run
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(module.state.globals, "__test__",
                                      test.get()) != 0) {
        return frame_line;
    }
    return 0;
}

// sys.modules forgets a failed module that only we had entered.
void
remove_from_sys_modules(ModuleRecord &module, PyObject *module_object)
{
    SavedError saved;
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *entry =
        PyDict_GetItemString(modules, module.names.qualified_name);
    if (entry == module_object) {
        PyDict_DelItemString(modules, module.names.qualified_name);
    }
    PyErr_Clear();
}

}  // namespace

PyObject *
create_module(ModuleRecord &module, PyObject *spec, PyModuleDef *def)
{
    long long interpreter = compat::current_interpreter_id();
    if (!module.state.owner_known) {
        module.state.owner = interpreter;
        module.state.owner_known = true;
    }
    else if (module.state.owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module.state.module) {
        if (!save_table_functions(module, def)) {
            return nullptr;
        }
        return Py_NewRef(module.state.module);
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref created = Ref::steal(PyModule_NewObject(name.get()));
    if (!created) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(created.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations",
                             "__path__", true)) {
        return nullptr;
    }
    return created.release();
}

int
exec_module(ModuleRecord &module, PyObject *module_object,
            const ModuleHooks &hooks)
{
    if (module.state.module) {
        if (module.state.module == module_object) {
            return restore_table_functions(module) ? 0 : -1;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. "
                     "Re-initialisation is not supported.",
                     module.names.short_name);
        return -1;
    }
    if (!check_version(module) || !hooks.prepare()) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, module.names.init_name);
        }
        return -1;
    }
    internals::learn_lookup_kinds();
    bool added_to_sys_modules = false;
    int line = run_frame(module, module_object, hooks, &added_to_sys_modules);
    if (line == 0) {
        return 0;
    }
    add_traceback_entry(module, module.names.init_name, line);
    if (added_to_sys_modules) {
        remove_from_sys_modules(module, module_object);
    }
    forget(module);
    return -1;
}

}  // namespace calvoro::boundary

namespace calvoro::boundary {

bool
import_from(ModuleRecord &module, const char *module_name,
            PyObject *const *names, int count)
{
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    Ref locals = Ref::steal(PyDict_New());
    Ref fromlist = Ref::steal(PyList_New(count));
    if (!name || !locals || !fromlist) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        PyList_SET_ITEM(fromlist.get(), i, Py_NewRef(names[i]));
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        name.get(), module.state.globals, locals.get(), fromlist.get(), 0));
    if (!imported) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), names[i]));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S",
                             names[i]);
            }
            return false;
        }
        if (PyDict_SetItem(module.state.globals, names[i], value.get()) != 0) {
            return false;
        }
    }
    return true;
}

bool
intern(PyObject **slot, const char *text)
{
    if (!*slot) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr;
}

}  // namespace calvoro::boundary
