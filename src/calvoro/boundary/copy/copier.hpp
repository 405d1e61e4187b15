// copier.hpp: the native copy of plain data, made as deepcopy makes it.
#pragma once

#include "../api/ref.hpp"
#include "outcome.hpp"

namespace calvoro::boundary::native_copy {

// What deepcopy(original) returns, into *copy: for exact dict, list and
// tuple holding str, int, float, bool and None, with a fresh memo's
// sharing, cycles and tuples, the dicts and lists grown by the same
// insertions. `original` is borrowed. Falls back, with every copy begun
// freed, when the real call must decide: an object of any other type,
// nesting deeper than max_depth, a container changed while it was copied,
// or memory running short, which the real call then meets itself if at
// all. Otherwise an error has an exception set.
Outcome copy_plain_data(PyObject *original, int max_depth, Ref *copy);

}  // namespace calvoro::boundary::native_copy
