// recursion_counters.hpp: the thread state's recursion counters, counted
// and read directly where each version keeps them: merge levels, guarded
// calls, and the headroom left before RecursionError.
#pragma once

#include "../api/python.hpp"

namespace calvoro::internals {

// One level of recursion as the interpreter counts a Python call: against
// sys.getrecursionlimit(), and against what protects the native stack of
// code that the level may still call, which is the same counter up to 3.11.
// From 3.12 (gh-91079) Py_EnterRecursiveCall counts only the native side,
// against a fixed budget of C levels (3.12, 3.13) or by measuring the stack
// (3.14 on), and the Python-level counter, which the limit adjusts, is
// taken directly. The portable route counts merge levels against the limit
// by itself.
//
// Where the counters live in the thread state (up to 3.8, from 3.11), `ts`
// is the calling thread's, from recursion_state(): a recursion of many
// levels reads it once. Elsewhere it is nullptr and unused.
#if CALVORO_PORTABLE
namespace detail {
inline thread_local int portable_depth = 0;
}  // namespace detail
#endif

inline PyThreadState *
recursion_state()
{
#if !CALVORO_PORTABLE && (!CALVORO_PY39 || CALVORO_PY311)
    return PyThreadState_Get();
#else
    return nullptr;
#endif
}

// Defined below; up to 3.11 a merge level is one of these.
inline bool enter_recursive_call(const char *where, PyThreadState *ts);
inline void leave_recursive_call(PyThreadState *ts);

// A merge level (below) counted where the limit leaves room for it, and
// nothing else: false, with nothing set and nothing counted, where the full
// test is to be made instead (by a loop that takes the level over).
inline bool
try_enter_merge_level([[maybe_unused]] PyThreadState *ts)
{
#if CALVORO_PORTABLE
    if (detail::portable_depth >= Py_GetRecursionLimit()) {
        return false;
    }
    detail::portable_depth++;
#elif CALVORO_PY312
    if (ts->py_recursion_remaining <= 0) {
        return false;
    }
    ts->py_recursion_remaining--;
#elif CALVORO_PY311
    if (ts->recursion_remaining <= 0) {
        return false;
    }
    ts->recursion_remaining--;
#elif CALVORO_PY39
    // what Py_EnterRecursiveCall counts below the limit
    PyThreadState *state = PyThreadState_Get();
    if (state->recursion_depth >= Py_GetRecursionLimit()) {
        return false;
    }
    state->recursion_depth++;
#else
    if (ts->recursion_depth >= _Py_CheckRecursionLimit) {
        return false;
    }
    ts->recursion_depth++;
#endif
    return true;
}

// One level of a merge that the package keeps on the heap: counted against
// sys.getrecursionlimit() as a Python call is, and nothing else. From 3.12
// that leaves out Py_EnterRecursiveCall, whose C budget (3.12, 3.13) or
// stack measurement (3.14 on) protects native frames such a level does not
// make; up to 3.11 the interpreter has one counter for both.
inline bool
enter_merge_level(const char *where, [[maybe_unused]] PyThreadState *ts)
{
#if CALVORO_PORTABLE || CALVORO_PY312
    // the limit is the whole test here
    if (try_enter_merge_level(ts)) {
        return true;
    }
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s",
                 where);
    return false;
#else
    return enter_recursive_call(where, ts);
#endif
}

inline void
leave_merge_level([[maybe_unused]] PyThreadState *ts)
{
#if CALVORO_PORTABLE
    detail::portable_depth--;
#elif CALVORO_PY312
    ts->py_recursion_remaining++;
#else
    leave_recursive_call(ts);
#endif
}

inline bool
enter_recursive_call(const char *where, [[maybe_unused]] PyThreadState *ts)
{
#if CALVORO_PORTABLE || CALVORO_PY312
    if (!enter_merge_level(where, ts)) {
        return false;
    }
    if (Py_EnterRecursiveCall(where) != 0) {
        leave_merge_level(ts);
        return false;
    }
    return true;
#elif CALVORO_PY311
    // Py_EnterRecursiveCall's own test, without the call; at the limit the
    // call does all of it
    if (ts->recursion_remaining > 0) {
        ts->recursion_remaining--;
        return true;
    }
    return Py_EnterRecursiveCall(where) == 0;
#elif !CALVORO_PY39
    // the steps of the interpreter's macro, which reads the state each time
    return !(_Py_MakeRecCheck(ts->recursion_depth) &&
             _Py_CheckRecursiveCall(where));
#else
    return Py_EnterRecursiveCall(where) == 0;
#endif
}

inline void
leave_recursive_call([[maybe_unused]] PyThreadState *ts)
{
#if CALVORO_PORTABLE || CALVORO_PY312
    leave_merge_level(ts);
    Py_LeaveRecursiveCall();
#elif CALVORO_PY311
    // what Py_LeaveRecursiveCall does
    ts->recursion_remaining++;
#elif !CALVORO_PY39
    // the interpreter's macro, with the state read once
    if (_Py_MakeEndRecCheck(ts->recursion_depth)) {
        ts->overflowed = 0;
    }
#else
    Py_LeaveRecursiveCall();
#endif
}

// Levels of Python recursion left to the calling thread before
// RecursionError: the limit less the depth up to 3.10, a countdown of its
// own from 3.11, of Python frames alone from 3.12. The portable route
// cannot read the thread state, so it reports none.
inline int
recursion_headroom()
{
#if CALVORO_PORTABLE
    return 0;
#elif CALVORO_PY312
    return PyThreadState_Get()->py_recursion_remaining;
#elif CALVORO_PY311
    return PyThreadState_Get()->recursion_remaining;
#else
    return Py_GetRecursionLimit() - PyThreadState_Get()->recursion_depth;
#endif
}

}  // namespace calvoro::internals
