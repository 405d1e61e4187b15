// plain_copy.cpp: the native deep copy behind call_deepcopy.
//
// For exact dicts, lists and tuples the standard deepcopy goes through its
// dispatch table to three copiers of its own, and returns str, int, float,
// bool and None as they are; its memo keeps shared objects shared and
// closes cycles. On such data it runs no code but its own and the
// builtins', so a copy made the same way here, dicts and lists grown by the
// same insertions, cannot be told from it: as long as that code, and what
// it looks up, is still what the import found, and nothing watches it run.
// Each of those is checked by identity at every call; anything else goes to
// the real call, from the start.
#include "plain_copy.hpp"

#include "../internals/recursion_counters.hpp"
#include "../module/calls.hpp"
#include "copier.hpp"
#include "copy_checks.hpp"
#include "standard_deepcopy.hpp"

namespace calvoro::boundary {

namespace {

using native_copy::Found;
using native_copy::Outcome;
using native_copy::standard;

// Recursion levels that the real call may take per level of nesting: the
// call and the type's copier, and a comprehension's frame for tuples up to
// 3.11; and those it takes besides, at the top and at the leaves.
constexpr int frames_per_level = 3;
constexpr int frames_besides = 20;

Outcome
copy_natively(PyObject *deepcopy, PyObject *original, Ref *copy)
{
    if (!standard.known || deepcopy != standard.deepcopy ||
        !native_copy::standard_unchanged()) {
        return Outcome::fall_back;
    }
    switch (native_copy::watched()) {
    case Found::no:
        break;
    case Found::yes:
        return Outcome::fall_back;
    case Found::error:
        return Outcome::error;
    }
    // deep enough that the real call could run out of levels: it decides
    int headroom = internals::recursion_headroom() - frames_besides;
    if (headroom < frames_per_level) {
        return Outcome::fall_back;
    }
    return native_copy::copy_plain_data(original, headroom / frames_per_level,
                                        copy);
}

}  // namespace

void
learn_standard_deepcopy(PyObject *deepcopy)
{
    if (standard.tried) {
        return;
    }
    standard.tried = true;
    SavedError saved;
    standard.known = native_copy::learn_standard(deepcopy);
    if (PyErr_Occurred()) {
        // a failed lookup only leaves the native copy off
        PyErr_Clear();
        standard.known = false;
    }
}

void
check_standard_by_version()
{
    native_copy::keep_checks_by_version();
}

Ref
call_deepcopy(PyObject *deepcopy, PyObject *original)
{
    Ref copy;
    switch (copy_natively(deepcopy, original, &copy)) {
    case Outcome::copied:
        return copy;
    case Outcome::error:
        return Ref();
    case Outcome::fall_back:
        break;
    }
    return call_guarded(deepcopy, original);
}

}  // namespace calvoro::boundary
