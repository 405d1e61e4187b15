// loading.cpp: one initialisation per process, owned by one interpreter.
#include "loading.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "calls.hpp"
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
save_table_functions(ModuleIdentity &module, PyModuleDef *def)
{
    module.saved_count = 0;
    for (PyMethodDef *m = def->m_methods; m && m->ml_name; m++) {
        if (module.saved_count == max_table_functions) {
            break;
        }
        Ref name = Ref::steal(PyUnicode_InternFromString(m->ml_name));
        if (!name) {
            return false;
        }
        PyObject *value = PyDict_GetItemWithError(module.globals, name.get());
        if (!value && PyErr_Occurred()) {
            return false;
        }
        Py_XINCREF(value);
        int i = module.saved_count++;
        module.saved_names[i] = name.release();
        module.saved_values[i] = value;
    }
    return true;
}

// A re-import re-adds the method table over the caller's bindings: undo it.
bool
restore_table_functions(ModuleIdentity &module)
{
    bool ok = true;
    for (int i = 0; i < module.saved_count; i++) {
        Ref name = Ref::steal(module.saved_names[i]);
        Ref value = Ref::steal(module.saved_values[i]);
        if (!ok) {
            continue;
        }
        if (value) {
            ok = PyDict_SetItem(module.globals, name.get(), value.get()) == 0;
        }
        else if (PyDict_DelItem(module.globals, name.get()) != 0) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
            }
            else {
                ok = false;
            }
        }
    }
    module.saved_count = 0;
    return ok;
}

// Fails with RuntimeWarning's exception when a filter makes it an error.
bool
check_version(ModuleIdentity &module)
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
                  built, module.qualified_name, running_version);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

void
forget(ModuleIdentity &module)
{
    Py_CLEAR(module.module);
    Py_CLEAR(module.globals);
    Py_CLEAR(module.builtins);
}

// Steps 4 to 9. Returns 0, or the line of the failure's traceback entry.
int
run_frame(ModuleIdentity &module, PyObject *module_object,
          const ModuleHooks &hooks, bool *added_to_sys_modules)
{
    constexpr int frame_line = 1;
    module.module = Ref::new_ref(module_object).release();
    module.globals = Ref::new_ref(PyModule_GetDict(module_object)).release();
    module.builtins = Ref::new_ref(PyImport_AddModule("builtins")).release();
    if (!module.builtins ||
        PyDict_SetItemString(module.globals, "__builtins__",
                             module.builtins) != 0) {
        return frame_line;
    }
    if (!module.filename) {
        module.filename = PyUnicode_InternFromString(module.source_path);
        if (!module.filename) {
            return frame_line;
        }
    }
    if (!hooks.make_names()) {
        return frame_line;
    }

    Ref key = Ref::steal(PyUnicode_InternFromString(module.qualified_name));
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

    Ref range_name = Ref::steal(PyUnicode_InternFromString("range"));
    if (!range_name || !lookup_builtin(module, range_name.get())) {
        return frame_line;
    }

    if (int line = hooks.body(module.globals)) {
        return line;
    }

    Ref test = Ref::steal(PyDict_New());
    if (!test ||
        PyDict_SetItemString(module.globals, "__test__", test.get()) != 0) {
        return frame_line;
    }
    return 0;
}

// sys.modules forgets a failed module that only we had entered.
void
remove_from_sys_modules(ModuleIdentity &module, PyObject *module_object)
{
    SavedError saved;
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *entry = PyDict_GetItemString(modules, module.qualified_name);
    if (entry == module_object) {
        PyDict_DelItemString(modules, module.qualified_name);
    }
    PyErr_Clear();
}

}  // namespace

PyObject *
create_module(ModuleIdentity &module, PyObject *spec, PyModuleDef *def)
{
    long long interpreter = compat::current_interpreter_id();
    if (!module.owner_known) {
        module.owner = interpreter;
        module.owner_known = true;
    }
    else if (module.owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module.module) {
        if (!save_table_functions(module, def)) {
            return nullptr;
        }
        return Ref::new_ref(module.module).release();
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
exec_module(ModuleIdentity &module, PyObject *module_object,
            const ModuleHooks &hooks)
{
    if (module.module) {
        if (module.module == module_object) {
            return restore_table_functions(module) ? 0 : -1;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. "
                     "Re-initialisation is not supported.",
                     module.short_name);
        return -1;
    }
    if (!check_version(module) || !hooks.prepare()) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, module.init_name);
        }
        return -1;
    }
    compat::learn_dict_marks();
    bool added_to_sys_modules = false;
    int line = run_frame(module, module_object, hooks, &added_to_sys_modules);
    if (line == 0) {
        return 0;
    }
    add_traceback_entry(module, module.init_name, line);
    if (added_to_sys_modules) {
        remove_from_sys_modules(module, module_object);
    }
    forget(module);
    return -1;
}

}  // namespace calvoro::boundary

namespace calvoro::boundary {

bool
import_from(ModuleIdentity &module, const char *module_name,
            PyObject *const *names, int count)
{
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    Ref locals = Ref::steal(PyDict_New());
    Ref fromlist = Ref::steal(PyList_New(count));
    if (!name || !locals || !fromlist) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        Py_INCREF(names[i]);
        PyList_SET_ITEM(fromlist.get(), i, names[i]);
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        name.get(), module.globals, locals.get(), fromlist.get(), 0));
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
        if (PyDict_SetItem(module.globals, names[i], value.get()) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace calvoro::boundary
