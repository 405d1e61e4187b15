// standard_deepcopy.hpp: what the standard library's deepcopy was at
// import: the functions, tables and builtins that its copying of plain data
// goes through, which the native copy stands in for while they stay so.
#pragma once

#include "../api/ref.hpp"

namespace calvoro::boundary::native_copy {

// A function of the copy module and what its code and defaults were.
struct Function {
    PyObject *function;
    PyObject *code;
    PyObject *defaults;
};

// A namespace entry and the value it held at import; null when absent.
struct Entry {
    PyObject *name;
    PyObject *value;
};

constexpr int max_functions = 6;
constexpr int max_global_entries = 10;
constexpr int builtin_count = 5;
constexpr int tool_count = 6;  // sys.monitoring's tool ids 0 to 5

// What the standard deepcopy was at import; process-lifetime references.
struct Standard {
    bool tried = false;
    bool known = false;
    PyObject *deepcopy = nullptr;
    PyObject *globals = nullptr;        // the copy module's namespace
    PyObject *builtins = nullptr;       // the builtins its functions see
    PyObject *dispatch = nullptr;       // copy._deepcopy_dispatch
    PyObject *atomic_types = nullptr;   // a set of types returned as they are
    PyObject *atomic_copier = nullptr;  // or a dispatch entry that does so
    PyObject *dict_copier = nullptr;
    PyObject *list_copier = nullptr;
    PyObject *tuple_copier = nullptr;
    Function functions[max_functions] = {};
    int function_count = 0;
    Entry global_entries[max_global_entries] = {};
    int global_count = 0;
    Entry builtin_entries[builtin_count] = {};
    PyObject *get_tool = nullptr;
    // get_tool's C function where it takes one argument (METH_O)
    PyCFunction get_tool_function = nullptr;
    PyObject *tool_ids[tool_count] = {};
};

// Filled by learn_standard, once per process where no merge runs, and only
// read after that.
extern Standard standard;

// Learns `deepcopy` (borrowed, may be null) into `standard`. True when it
// is the standard library's copy.deepcopy, with everything its copying of
// plain data goes through as the native copy expects; false otherwise,
// possibly with an exception set by a lookup that failed.
bool learn_standard(PyObject *deepcopy);

// Whether the copy module still returns str, int, float, bool and None as
// they are.
bool returns_atomics_as_they_are();

// Whether dict[key] is `value`, an object held elsewhere (null: absent);
// only the identity is compared. Without the GIL another thread may take
// the entry out and free it during a borrowed read: there it is held while
// compared, and a failed lookup says no.
inline bool
holds(PyObject *dict, PyObject *key, PyObject *value)
{
    if (CALVORO_FREE_THREADED) {
        PyObject *found;
        if (PyDict_GetItemRef(dict, key, &found) < 0) {
            PyErr_Clear();
            return false;
        }
        Ref held = Ref::steal(found);
        return found == value;
    }
    return PyDict_GetItem(dict, key) == value;
}

}  // namespace calvoro::boundary::native_copy
