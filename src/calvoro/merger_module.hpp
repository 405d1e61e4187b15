// merger_module.hpp: what the sources of calvoro._merger share: its record
// and the constants its exec step makes.
#pragma once

#include "boundary/module/module_record.hpp"

#include <cstring>

namespace calvoro::merger {

extern boundary::ModuleRecord record;

// Made at import, held for the life of the process.
struct Constants {
    PyObject *deepcopy;
    PyObject *copy;
    PyObject *first_layer;
    PyObject *second_layer;
    // what a conflict's report says was done: the names of the options'
    // values, by the codes of Join ("replace" for none)
    PyObject *outcomes[11];
};
extern Constants constants;

// The context of the RecursionError that nesting too deep ends in.
inline constexpr const char *too_deep_where = " while merging dictionaries";

// type(obj).__name__, for messages: tp_name without its module, as the
// interpreter's own type name is read.
inline const char *
type_name(PyObject *obj)
{
    const char *name = Py_TYPE(obj)->tp_name;
    const char *dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

}  // namespace calvoro::merger
