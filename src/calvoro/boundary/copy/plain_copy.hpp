// plain_copy.hpp: the standard library's deep copy, made natively for plain
// data where nothing could tell it from the real call.
#pragma once

#include "../api/ref.hpp"

namespace calvoro::boundary {

// Learns the standard library's copy.deepcopy from `deepcopy` (borrowed,
// may be null), the object that the module's import bound, together with
// the functions, tables and builtins its copying of plain data goes
// through. Never fails: an object it does not recognise leaves every later
// call to the real function. Called once per module, where no merge runs.
void learn_standard_deepcopy(PyObject *deepcopy);

// For a module that copies once per value, not once per merge: after
// learn_standard_deepcopy, lets call_deepcopy's checks skip the lookups
// whose dicts' versions show them unchanged since they last passed.
void check_standard_by_version();

// deepcopy(original), called as call_guarded calls it. When `deepcopy` is
// the function learned above, unchanged with everything it depends on, and
// `original` holds only exact dict, list, tuple, str, int, float, bool and
// None, the copy is made natively, with the memo's sharing, cycles and
// tuples as the real call makes them; and only when no trace, profile,
// monitoring tool or audit hook could see the difference and the real call
// could not run out of recursion depth. Everything else, and any doubt
// found part-way, goes to the real call from the start. The arguments are
// borrowed. Returns the copy, or an empty Ref with an exception set.
Ref call_deepcopy(PyObject *deepcopy, PyObject *original);

}  // namespace calvoro::boundary
