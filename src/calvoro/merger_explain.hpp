// merger_explain.hpp: a Merger's fold of several layers that tells which
// layer set each value of the result, and which values of different types
// met.
#pragma once

#include "merger_options.hpp"

namespace calvoro::merger {

// Folds `layers` (a tuple of at least two mappings, each tested) as
// merge_many does, into a deep copy of the first, changing no layer;
// `names` is a tuple of as many labels. Returns (result, origins,
// conflicts): origins {path: name or tuple of names} for each leaf of the
// result, in its order, depth first; conflicts a list of record_class (a
// tuple's subclass) instances of (path, first, second, first_type,
// second_type, outcome). A conflict that the options raise carries
// first_layer and second_layer. Empty with an exception set.
Ref explain_layers(const Options &options, PyObject *conflict_type,
                   PyObject *layers, PyObject *names,
                   PyTypeObject *record_class);

}  // namespace calvoro::merger
