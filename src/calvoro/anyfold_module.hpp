// anyfold_module.hpp: what anyfold's source files share: the module's
// record, its constants, and the way a failing step leaves a function.
#pragma once

#include "anyfold_function.hpp"
#include "boundary/module/module_record.hpp"
#include "boundary/module/traceback.hpp"
#include "boundary/internals/dict_version.hpp"

namespace calvoro::anyfold {

extern boundary::ModuleRecord record;

// Made at import, held for the life of the process.
struct Constants {
    PyObject *first_dict;
    PyObject *second_dict;
    PyObject *dicts;
    PyObject *key;
    PyObject *consumer_dict;
    PyObject *i;
    PyObject *rmerge;
    PyObject *merge;
    PyObject *merge_inplace;
    PyObject *merge_many;
    PyObject *merge_many_inplace;
    PyObject *deepcopy;
    PyObject *return_;
    PyObject *mapping;
    PyObject *mutable_mapping;
    PyObject *sequence;
    PyObject *union_;
    PyObject *module_name;
};
extern Constants constants;

// Whether internals::dict_version tells every change of the namespace.
extern bool namespace_watched;

// Adds the entry of `function` at `line` to the pending exception; returns
// nullptr, or false.
inline PyObject *
fail_at(const boundary::FunctionIdentity &function, int line)
{
    return boundary::fail_at(record, function.qualified_name, line);
}

inline bool
fail_at_bool(const boundary::FunctionIdentity &function, int line)
{
    fail_at(function, line);
    return false;
}

// _rmerge, the recursive core (anyfold_rmerge.cpp).
extern const FunctionDef rmerge_def;
extern const boundary::FunctionIdentity rmerge_function;

}  // namespace calvoro::anyfold
