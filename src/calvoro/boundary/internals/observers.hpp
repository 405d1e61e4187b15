// observers.hpp: what could watch Python code run on the calling thread,
// read for the native deep copy, which runs none and so must leave such
// cases to the real call.
#pragma once

#include "../api/python.hpp"

namespace calvoro::internals {

// The portable route cannot read the thread state, so it reports a traced
// thread: the real call every time.

// A trace or profile function of the thread (sys.settrace, sys.setprofile,
// or their C forms), read from the thread state's fields.
inline bool
thread_traced()
{
#if CALVORO_PORTABLE
    return true;
#else
    PyThreadState *ts = PyThreadState_Get();
    return ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr;
#endif
}

// sys.monitoring: added in 3.12 (PEP 669).
inline constexpr bool has_monitoring = CALVORO_PY312;

// Whether an audit hook (or the DTrace audit probe) is installed. There is
// no API to ask; PySys_Audit returns at once without one, and with one
// builds the event's arguments before calling any hook, so an argument
// that cannot be built makes it fail with SystemError and call nothing.
// Audit hooks: added in 3.8 (PEP 578). `error` comes with an exception set.
enum class AuditHooks { error, none, installed };

inline AuditHooks
audit_hooks_installed()
{
#if CALVORO_PY38
    if (PySys_Audit("calvoro.probe", "O", nullptr) == 0) {
        return AuditHooks::none;
    }
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) {
        return AuditHooks::error;
    }
    PyErr_Clear();
    return AuditHooks::installed;
#else
    return AuditHooks::none;
#endif
}

}  // namespace calvoro::internals
