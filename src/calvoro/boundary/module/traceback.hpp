// traceback.hpp: traceback entries for the module's functions.
#pragma once

#include "module_record.hpp"

namespace calvoro::boundary {

// Adds one entry (function, the module's source path, line) to the pending
// exception's traceback, as a running Python frame would. The pending
// exception is left as it was; failures to build the entry are dropped.
void add_traceback_entry(ModuleRecord &module, const char *function, int line);

// The usual way out of a failing step: adds the entry, returns nullptr.
inline PyObject *
fail_at(ModuleRecord &module, const char *function, int line)
{
    add_traceback_entry(module, function, line);
    return nullptr;
}

}  // namespace calvoro::boundary
