// compat.cpp: the version- and platform-specific code behind compat.hpp.
#include "compat.hpp"

#include "ref.hpp"

#include <atomic>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#if defined(__linux__) && !defined(__GLIBC__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#endif

namespace calvoro::compat {

#if CALVORO_PORTABLE
// The constructor's signature is unstable across versions: start from an
// empty code object and let replace() fill in and check the rest.
PyObject *
new_code_object(int argcount, PyObject *varnames, PyObject *filename,
                PyObject *name, int firstlineno)
{
    const char *file_text = PyUnicode_AsUTF8(filename);
    const char *name_text = file_text ? PyUnicode_AsUTF8(name) : nullptr;
    if (!name_text) {
        return nullptr;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(file_text, name_text, firstlineno)));
    Ref replace =
        code ? Ref::steal(PyObject_GetAttrString(code.get(), "replace"))
             : Ref();
    Ref args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:i,s:n,s:O,s:i,s:y,s:y,s:y,s:i,s:(),s:()}", "co_argcount", argcount,
        "co_nlocals", PyTuple_GET_SIZE(varnames), "co_varnames", varnames,
        "co_flags", CO_OPTIMIZED | CO_NEWLOCALS, "co_code", "", "co_linetable",
        "", "co_exceptiontable", "", "co_stacksize", 0, "co_consts",
        "co_names"));
    if (!replace || !args || !kwargs) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), args.get(), kwargs.get());
}
#else
PyObject *
new_code_object(int argcount, PyObject *varnames, PyObject *filename,
                PyObject *name, int firstlineno)
{
    constexpr int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    if (!empty_bytes || !empty_tuple) {
        return nullptr;
    }
    PyObject *b = empty_bytes.get();
    PyObject *t = empty_tuple.get();
    // 3.11+ refuse an nlocals that differs from len(varnames)
    int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if CALVORO_PY312
    // renamed into the unstable tier (gh-101101)
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, name, firstlineno, b, b);
#elif CALVORO_PY311
    // a qualified name and an exception table (bpo-44530)
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, name, firstlineno, b, b);
#elif CALVORO_PY38
    // positional-only parameters (bpo-37221)
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename,
        name, firstlineno, b);
#else
    PyCodeObject *code =
        PyCode_New(argcount, 0, nlocals, 0, flags, b, t, t, varnames, t, t,
                   filename, name, firstlineno, b);
#endif
#if !CALVORO_PY311
    if (code) {
        // the constructor adds CO_NOFREE, which the flags do not claim
        code->co_flags &= ~CO_NOFREE;
    }
#endif
    return reinterpret_cast<PyObject *>(code);
}
#endif

}  // namespace calvoro::compat

namespace calvoro::platform {

#if defined(_WIN32)
// Windows: the thread's reserved stack runs from the allocation that holds
// a local variable up to the base the thread's information block records.
// (GetCurrentThreadStackLimits says the same from Windows 8 on only.)
bool
thread_stack(uintptr_t *lowest, size_t *size)
{
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(&region, &region, sizeof region) == 0) {
        return false;
    }
    auto low = reinterpret_cast<uintptr_t>(region.AllocationBase);
    auto high = reinterpret_cast<uintptr_t>(
        reinterpret_cast<NT_TIB *>(NtCurrentTeb())->StackBase);
    if (high <= low) {
        return false;
    }
    *lowest = low;
    *size = high - low;
    return true;
}
#elif defined(__APPLE__)
// macOS has no pthread_getattr_np; it tells the stack's top and size.
bool
thread_stack(uintptr_t *lowest, size_t *size)
{
    pthread_t self = pthread_self();
    auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    size_t extent = pthread_get_stacksize_np(self);
    if (!top || extent == 0 || extent > top) {
        return false;
    }
    *lowest = top - extent;
    *size = extent;
    return true;
}
#elif defined(__linux__)
bool
thread_stack(uintptr_t *lowest, size_t *size)
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
    void *base = nullptr;
    size_t extent = 0;
    bool known =
        pthread_attr_getstack(&attr, &base, &extent) == 0 && extent > 0;
    pthread_attr_destroy(&attr);
    if (!known) {
        return false;
    }
    auto low = reinterpret_cast<uintptr_t>(base);
#if !defined(__GLIBC__)
    // musl reports only the part of the main thread's stack mapped so far
    // (128 KiB at first); the kernel grows it up to RLIMIT_STACK, which is
    // what glibc reports.
    struct rlimit limit;
    if (getpid() == static_cast<pid_t>(syscall(SYS_gettid)) &&
        getrlimit(RLIMIT_STACK, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > extent &&
        limit.rlim_cur <= low + extent) {
        uintptr_t top = low + extent;
        extent = static_cast<size_t>(limit.rlim_cur);
        low = top - extent;
    }
#endif
    *lowest = low;
    *size = extent;
    return true;
}
#else
bool
thread_stack(uintptr_t *, size_t *)
{
    return false;
}
#endif

}  // namespace calvoro::platform

namespace calvoro::internals {

#if CALVORO_PY312
namespace {

// Any thread may change a watched dict on a free-threaded build.
std::atomic<uint64_t> changes{0};
int watcher = -1;

int
count_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *)
{
    changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace

uint64_t
detail::watched_changes()
{
    return changes.load(std::memory_order_relaxed);
}

bool
watch_dict(PyObject *dict)
{
    // the interpreter has a few watcher slots; without one, no number
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(count_change);
    }
    if (watcher < 0 || PyDict_Watch(watcher, dict) != 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}
#else
bool
watch_dict(PyObject *)
{
    return !CALVORO_PORTABLE;
}
#endif

}  // namespace calvoro::internals

// glibc 2.34 moved the thread-stack queries from libpthread into libc
// under new symbol versions; binding each architecture's oldest version,
// which manylinux2014's glibc 2.17 has, keeps a module built on a newer
// glibc loadable there, where libpthread (linked by setup.py) provides
// them.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
// aarch64 entered glibc in 2.17: its first symbol set
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.17");
#endif
