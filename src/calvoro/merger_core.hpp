// merger_core.hpp: a Merger's merge of one mapping into another, the merge
// driver's policy for its options.
#pragma once

#include "merger_options.hpp"

namespace calvoro::merger {

// Merges second_mapping into first_mapping, both borrowed and tested to be
// mappings, as `options` say; `conflict_type` is the class of the conflicts
// raised, called as conflict_type(message, path, first, second). False with
// an exception set; what was merged before a failure stays merged.
bool merge_into(const Options &options, PyObject *conflict_type,
                PyObject *first_mapping, PyObject *second_mapping);

}  // namespace calvoro::merger
