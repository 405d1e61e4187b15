// versions.hpp: behaviours that differ between interpreter versions, one
// function or constant each, so that their callers read the same on all.
#pragma once

#include "shims.hpp"

namespace calvoro::compat {

// Table records of 3.6 take `char *` names and docs (const from 3.7).
// constexpr, so that a table of them is constant-initialized: a local one
// guarded at run time would link the C++ runtime's allocator into a module.
constexpr char *
c_text(const char *text)
{
    return const_cast<char *>(text);
}

// Method functions of every signature are stored as PyCFunction.
template <typename F>
inline PyCFunction
as_cfunction(F *function)
{
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)(void)>(function));
}

// The interpreter the calling thread runs in, as a number that is never
// reused within the process: PyInterpreterState_GetID from 3.7 (bpo-29102),
// PyInterpreterState_Get from 3.9 (bpo-39947); 3.6 has only the address.
inline long long
current_interpreter_id()
{
#if CALVORO_PY39
    return static_cast<long long>(
        PyInterpreterState_GetID(PyInterpreterState_Get()));
#elif CALVORO_PY37
    return static_cast<long long>(
        PyInterpreterState_GetID(PyThreadState_Get()->interp));
#else
    return static_cast<long long>(
        reinterpret_cast<uintptr_t>(PyThreadState_Get()->interp));
#endif
}

// Up to 3.8 the interpreter's one-argument functions (METH_O) refuse bad
// calls with the bare function name; from 3.9 (bpo-37645) the messages
// carry the qualified name, so the binding is done by the function itself
// there.
inline constexpr bool host_binds_single = !CALVORO_PY39;

// PyDict_SetDefault on an exact dict, with a key whose hashing and
// comparison run no code, saying what it did; *result is what the key
// holds, borrowed. The dict's size tells whether `value` was stored. (The
// 3.13 PyDict_SetDefaultRef (gh-112066) says it itself, but returns a new
// reference, which would cost every stored key two reference counts.)
// From 3.13.0 to 3.13.5, when growing the dict fails, it counts the new key
// anyway and returns with MemoryError set (fixed in 3.13.6): there a lookup
// and a store do the same. The version that runs decides, not the headers:
// a module built on 3.13.6 may be loaded by 3.13.0.
enum class SetDefault { failed, stored, found };

inline SetDefault
dict_setdefault(PyObject *dict, PyObject *key, PyObject *value,
                PyObject **result)
{
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    if (Py_Version < 0x030D06F0) {
        *result = PyDict_GetItemWithError(dict, key);
        if (*result) {
            return SetDefault::found;
        }
        if (PyErr_Occurred() || PyDict_SetItem(dict, key, value) != 0) {
            return SetDefault::failed;
        }
        *result = value;
        return SetDefault::stored;
    }
#endif
    Py_ssize_t before = PyDict_GET_SIZE(dict);
    *result = PyDict_SetDefault(dict, key, value);
    if (!*result) {
        return SetDefault::failed;
    }
    return PyDict_GET_SIZE(dict) == before ? SetDefault::found
                                           : SetDefault::stored;
}

// The pending exception, taken away and put back as it is. From 3.12
// (gh-101578) it is one object; before, it is three, kept unnormalized:
// normalizing may run Python code, or fail.
#if CALVORO_PY312
struct PendingError {
    PyObject *exc;
};

inline PendingError
take_pending_error()
{
    return {PyErr_GetRaisedException()};
}

inline void
restore_pending_error(PendingError error)
{
    PyErr_SetRaisedException(error.exc);
}
#else
struct PendingError {
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
};

inline PendingError
take_pending_error()
{
    PendingError error;
    PyErr_Fetch(&error.type, &error.value, &error.traceback);
    return error;
}

inline void
restore_pending_error(PendingError error)
{
    PyErr_Restore(error.type, error.value, error.traceback);
}
#endif

// Whether a dict iterator counts the keys it yields and fails when it finds
// more than the dict had: from 3.8 (bpo-36452). Before, only a change of
// size is seen.
inline constexpr bool dict_iterator_counts_keys = CALVORO_PY38;

// Whether making a container may collect garbage at once, running what
// finalizers and weakref callbacks run: up to 3.11. From 3.12 a collection
// waits for the evaluation loop (gh-97922), so C code that only allocates
// runs no Python code.
inline constexpr bool allocation_may_collect = !CALVORO_PY312;

}  // namespace calvoro::compat
