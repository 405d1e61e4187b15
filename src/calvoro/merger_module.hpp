// merger_module.hpp: what the sources of calvoro._merger share: its record
// and the constants its exec step makes.
#pragma once

#include "boundary/module/module_record.hpp"

namespace calvoro::merger {

extern boundary::ModuleRecord record;

// Made at import, held for the life of the process.
struct Constants {
    PyObject *deepcopy;
};
extern Constants constants;

// The context of the RecursionError that nesting too deep ends in.
inline constexpr const char *too_deep_where = " while merging dictionaries";

}  // namespace calvoro::merger
