// module_record.hpp: what the boundary knows of each module: the names it
// is built with, and the state that loading it sets up for the process.
#pragma once

#include "../api/python.hpp"

namespace calvoro::boundary {

// Fixed when the module is built.
struct ModuleNames {
    const char *short_name;      // "anyfold"
    const char *qualified_name;  // "calvoro.anyfold"
    const char *init_name;       // "init calvoro.anyfold"
    const char *source_path;     // "src/calvoro/anyfold"
};

// One code object per (function, line) backs the traceback entries.
struct TracebackSite {
    const char *function = nullptr;
    int line = 0;
    PyObject *code = nullptr;
};

constexpr int max_traceback_sites = 48;
constexpr int max_table_functions = 8;

// Set by the create and exec steps; held until the process ends.
struct ModuleState {
    bool owner_known = false;
    long long owner = 0;          // the interpreter that first created it
    PyObject *module = nullptr;   // the initialised module
    PyObject *globals = nullptr;  // its namespace
    PyObject *builtins = nullptr;
    PyObject *filename = nullptr;
    TracebackSite sites[max_traceback_sites] = {};

    // the function attributes a re-import finds, put back after the
    // interpreter has re-added the method table over them
    PyObject *saved_names[max_table_functions] = {};
    PyObject *saved_values[max_table_functions] = {};
    int saved_count = 0;
};

struct ModuleRecord {
    const ModuleNames names;
    ModuleState state;
};

// A public function as tracebacks and messages name it.
struct FunctionIdentity {
    const char *name;            // "merge_inplace", used in messages
    const char *qualified_name;  // "calvoro.anyfold.merge_inplace"
    int binding_line;            // line of entries for binding failures
};

}  // namespace calvoro::boundary
