// thread_stack.cpp: one query of the stack per operating system, and the
// symbol versions that keep a Linux build loadable on an older glibc.
#include "thread_stack.hpp"

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
