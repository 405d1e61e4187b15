// compat.hpp: every interpreter-version and platform difference the
// package deals with.
//
// Modern names are backfilled for older interpreters (one line of comment
// per shim); behaviours that need code of their own per version get one
// function each. No other file tests PY_VERSION_HEX, the operating system
// or the compiler.
//
// The interpreter's headers and the version flags come from python.hpp,
// first, before any system header.
#pragma once

#include "python.hpp"

#include <cstring>

// Platforms: each difference of operating system or compiler is here or
// in compat.cpp, naming the platform it serves.

// The modules' entry points, which a build with hidden visibility must
// still export. PyMODINIT_FUNC does so on Windows (dllexport) on every
// version, elsewhere from 3.9 (bpo-11410); before, GCC and clang are told.
#if defined(_WIN32) || PY_VERSION_HEX >= 0x03090000
#define CALVORO_MODINIT PyMODINIT_FUNC
#else
#define CALVORO_MODINIT \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// An address in the calling function's frame, to measure how much native
// stack is in use. MSVC has no __builtin_frame_address; the slot of the
// return address lies in the same frame.
#if defined(_MSC_VER)
#include <intrin.h>
#define CALVORO_FRAME_ADDRESS() _AddressOfReturnAddress()
#else
#define CALVORO_FRAME_ADDRESS() __builtin_frame_address(0)
#endif

// A branch that a hot loop seldom takes.
#if defined(_MSC_VER)
#define CALVORO_UNLIKELY(condition) (condition)
#else
#define CALVORO_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#endif

// A loop kept out of its caller, so that the registers are its own.
#if defined(_MSC_VER)
#define CALVORO_NOINLINE __declspec(noinline)
#else
#define CALVORO_NOINLINE __attribute__((noinline))
#endif

// Py_BEGIN_CRITICAL_SECTION, Py_BEGIN_CRITICAL_SECTION2: added in 3.13
// (gh-111569), where they compile to a block on builds with the lock.
#if PY_VERSION_HEX < 0x030D0000
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#define Py_BEGIN_CRITICAL_SECTION2(a, b) {
#define Py_END_CRITICAL_SECTION2() }
#endif

// Py_SET_REFCNT: added in 3.9 (bpo-39573).
#if PY_VERSION_HEX < 0x030900A4
static inline void
Py_SET_REFCNT(PyObject *obj, Py_ssize_t refcnt)
{
    obj->ob_refcnt = refcnt;
}
#endif

// PyDict_GET_SIZE: added in 3.7 (bpo-28959).
#if PY_VERSION_HEX < 0x030700A1
#define PyDict_GET_SIZE(dict) (((PyDictObject *)(dict))->ma_used)
#endif

// PyObject_CallOneArg: added in 3.9 (bpo-37483).
#if PY_VERSION_HEX < 0x030900A4
static inline PyObject *
PyObject_CallOneArg(PyObject *callable, PyObject *arg)
{
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

// Py_NewRef, Py_XNewRef: added in 3.10 (bpo-42262).
#if PY_VERSION_HEX < 0x030A00A3
static inline PyObject *
Py_NewRef(PyObject *obj)
{
    Py_INCREF(obj);
    return obj;
}

static inline PyObject *
Py_XNewRef(PyObject *obj)
{
    Py_XINCREF(obj);
    return obj;
}
#endif

// PyErr_GetRaisedException, PyErr_SetRaisedException: added in 3.12
// (gh-101578). Before, the pending exception is three objects, normalized
// here into the one.
#if PY_VERSION_HEX < 0x030C00A6
static inline PyObject *
PyErr_GetRaisedException(void)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value && PyException_SetTraceback(value, traceback) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

static inline void
PyErr_SetRaisedException(PyObject *exc)
{
    PyObject *type = nullptr;
    PyObject *traceback = nullptr;
    if (exc) {
        type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc)));
        traceback = PyException_GetTraceback(exc);
    }
    PyErr_Restore(type, exc, traceback);
}
#endif

// PyDict_GetItemRef: added in 3.13 (gh-106004).
#if PY_VERSION_HEX < 0x030D00A1
static inline int
PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result)
{
    PyObject *item = PyDict_GetItemWithError(dict, key);
    if (item) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

namespace calvoro::compat {

// Table records of 3.6 take `char *` names and docs (const from 3.7).
inline char *
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

}  // namespace calvoro::compat

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

}  // namespace calvoro::internals

namespace calvoro::platform {

// The calling thread's native stack: its lowest address and its size.
// False where the platform does not tell.
bool thread_stack(uintptr_t *lowest, size_t *size);

}  // namespace calvoro::platform

namespace calvoro::internals {

// A number that changes whenever a dict changes, once watch_dict has said
// it can be had for that dict: up to 3.11 the dict's own version tag
// (PEP 509), a private read; from 3.12, where the tag is deprecated, a
// count of the changes that a dict watcher sees (gh-91052), of every dict
// watched. watch_dict never fails: false means no such number.
bool watch_dict(PyObject *dict);

#if CALVORO_PY312
namespace detail {
uint64_t watched_changes();
}  // namespace detail
#endif

inline uint64_t
dict_version([[maybe_unused]] PyObject *dict)
{
#if CALVORO_PY312
    return detail::watched_changes();
#elif !CALVORO_PORTABLE
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

// Whether dict_lookup_kind can be read: the head of the dict keys table is
// known from 3.6 to 3.15. On a free-threaded build another thread may swap
// a dict's table at any moment: there the mark and the table are read only
// under the dict's lock.
inline constexpr bool has_dict_lookup_kind = !CALVORO_PORTABLE;

#if !CALVORO_PORTABLE
namespace detail {

// The head of the interpreter's dict keys table, up to the hash index
// that the entries follow in a combined table (one whose values are in its
// entries). How keys are looked up: a kind from 3.11 (bpo-46845), a lookup
// function before.
struct KeysTable {
    Py_ssize_t refcnt;
#if CALVORO_PY311
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
#if CALVORO_FREE_THREADED
    uint8_t mutex;
#endif
    uint32_t version;
#else
    Py_ssize_t size;
    void *lookup;
#endif
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

// An entry of a combined table whose keys are all str (from 3.11 such a
// table stores no hashes), as _PyDict_Next reads it.
struct KeyEntry {
#if !CALVORO_PY311
    Py_hash_t hash;
#endif
    PyObject *key;
    PyObject *value;
};

inline const KeyEntry *
key_entries(const KeysTable *keys) noexcept
{
    const char *index = reinterpret_cast<const char *>(keys + 1);
#if CALVORO_PY311
    return reinterpret_cast<const KeyEntry *>(
        index + (size_t(1) << keys->log2_index_bytes));
#else
    // an index entry is as wide as the table's size needs
    const Py_ssize_t size = keys->size;
    const size_t width = size <= 0xff                    ? 1
                         : size <= 0xffff                ? 2
                         : int64_t(size) <= 0xffffffffLL ? 4
                                                         : 8;
    return reinterpret_cast<const KeyEntry *>(index + size_t(size) * width);
#endif
}

}  // namespace detail
#endif

// How the interpreter looks up keys in an exact dict, as a number that it
// changes when the dict stops holding exact str keys only; what the number
// means is learned at run time. 0 where it cannot be read.
inline uintptr_t
dict_lookup_kind([[maybe_unused]] PyObject *dict)
{
#if CALVORO_PORTABLE
    return 0;
#else
    auto *head = reinterpret_cast<const detail::KeysTable *>(
        reinterpret_cast<PyDictObject *>(dict)->ma_keys);
#if CALVORO_PY311
    return head->kind;
#else
    return reinterpret_cast<uintptr_t>(head->lookup);
#endif
#endif
}

// PyDict_Next on an exact dict whose keys are marked as all str, read from
// the table where it is a combined one: the item and the position the call
// gives, without the call. `general`: the mark no such dict has. Whether
// the table is read as the call reads it is checked once, by learning the
// marks (fused.cpp): until then, and where it cannot be read, the call.
inline int
dict_next_unicode(PyObject *dict, Py_ssize_t *position, PyObject **key,
                  PyObject **value, [[maybe_unused]] uintptr_t general)
{
#if !CALVORO_PORTABLE
    auto *d = reinterpret_cast<PyDictObject *>(dict);
    if (d->ma_values == nullptr && dict_lookup_kind(dict) != general) {
        auto *keys = reinterpret_cast<const detail::KeysTable *>(d->ma_keys);
        const Py_ssize_t n = keys->nentries;
        Py_ssize_t i = *position;
        if (i < 0) {
            return 0;
        }
        const detail::KeyEntry *entries = detail::key_entries(keys);
        while (i < n && entries[i].value == nullptr) {
            i++;
        }
        if (i >= n) {
            return 0;
        }
        *key = entries[i].key;
        *value = entries[i].value;
        *position = i + 1;
        return 1;
    }
#endif
    return PyDict_Next(dict, position, key, value);
}

// Whether dict_get_unicode reads the table itself: on a free-threaded
// build, whose own lookup is made to need no lock and pays for that though
// this one's caller holds it; from 3.11, whose tables of str keys keep no
// hashes.
#define CALVORO_DICT_GET_UNICODE \
    (!CALVORO_PORTABLE && CALVORO_PY311 && CALVORO_FREE_THREADED)
inline constexpr bool has_dict_get_unicode = CALVORO_DICT_GET_UNICODE;

// PyDict_GetItemWithError of an exact str `key` in an exact dict whose keys
// are marked as all str, looked up in the table where it is a combined
// one: probed as the interpreter probes it, keys compared as str compares
// them. Checked once, as dict_next_unicode is; elsewhere, the call.
inline PyObject *
dict_get_unicode(PyObject *dict, PyObject *key,
                 [[maybe_unused]] uintptr_t general)
{
#if CALVORO_DICT_GET_UNICODE
    auto *d = reinterpret_cast<PyDictObject *>(dict);
    if (PyUnicode_CheckExact(key) && d->ma_values == nullptr &&
        dict_lookup_kind(dict) != general) {
        const Py_hash_t hash = _Py_atomic_load_ssize_relaxed(
            &reinterpret_cast<PyASCIIObject *>(key)->hash);
        if (hash == -1) {
            return PyDict_GetItemWithError(dict, key);
        }
        auto *keys = reinterpret_cast<const detail::KeysTable *>(d->ma_keys);
        const char *index = reinterpret_cast<const char *>(keys + 1);
        const unsigned width_log2 = keys->log2_index_bytes - keys->log2_size;
        const detail::KeyEntry *entries = detail::key_entries(keys);
        const size_t mask = (size_t(1) << keys->log2_size) - 1;
        size_t perturb = size_t(hash);
        size_t i = size_t(hash) & mask;
        for (;;) {
            Py_ssize_t ix;
            switch (width_log2) {
            case 0:
                ix = reinterpret_cast<const int8_t *>(index)[i];
                break;
            case 1:
                ix = reinterpret_cast<const int16_t *>(index)[i];
                break;
            case 2:
                ix = reinterpret_cast<const int32_t *>(index)[i];
                break;
            default:
                ix = Py_ssize_t(reinterpret_cast<const int64_t *>(index)[i]);
                break;
            }
            if (ix == -1) {  // an empty slot: the key is absent
                return nullptr;
            }
            if (ix >= 0) {
                PyObject *stored = entries[ix].key;
                if (stored == key) {
                    return entries[ix].value;
                }
                if (_Py_atomic_load_ssize_relaxed(
                        &reinterpret_cast<PyASCIIObject *>(stored)->hash) ==
                        hash &&
                    PyUnicode_GET_LENGTH(stored) ==
                        PyUnicode_GET_LENGTH(key) &&
                    PyUnicode_KIND(stored) == PyUnicode_KIND(key) &&
                    std::memcmp(PyUnicode_DATA(stored), PyUnicode_DATA(key),
                                size_t(PyUnicode_GET_LENGTH(key)) *
                                    PyUnicode_KIND(key)) == 0) {
                    return entries[ix].value;
                }
            }
            perturb >>= 5;
            i = mask & (i * 5 + perturb + 1);
        }
    }
#endif
    return PyDict_GetItemWithError(dict, key);
}

}  // namespace calvoro::internals

namespace calvoro::compat {

// A code object for introspection only: empty bytecode and tables.
// Returns a new reference, or nullptr with an exception set.
PyObject *new_code_object(int argcount, PyObject *varnames, PyObject *filename,
                          PyObject *name, int firstlineno);

}  // namespace calvoro::compat

namespace calvoro::internals {

// What could watch Python code run on the calling thread, read for the
// native deep copy, which runs none and so must leave such cases to the
// real call.

// The portable route cannot read the thread state, so it reports a traced
// thread, and no recursion headroom below: the real call every time.

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

// Levels of Python recursion left to the calling thread before
// RecursionError: the limit less the depth up to 3.10, a countdown of its
// own from 3.11, of Python frames alone from 3.12.
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
