// recursion.cpp: how much native stack the calling thread has left.
#include "recursion.hpp"

#include <pthread.h>

namespace calvoro {

namespace {

NativeStack
find_bounds()
{
    NativeStack bounds;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return bounds;
    }
    void *base = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &base, &size) == 0 && size > 0) {
        bounds.base = reinterpret_cast<uintptr_t>(base);
        // Half the stack stays free below the deepest level, for the Python
        // code that a level may still call (hashing, comparison, finalizers,
        // error reporting): what runs at the top of a thread runs there too,
        // unless it needs more than half of the thread's stack.
        bounds.low = bounds.base + size / 2;
        bounds.known = true;
    }
    pthread_attr_destroy(&attr);
    return bounds;
}

}  // namespace

NativeStack
native_stack()
{
    static thread_local NativeStack bounds = find_bounds();
    return bounds;
}

bool
native_stack_error(const char *where)
{
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s",
                 where);
    return true;
}

bool
native_stack_exhausted(const char *where)
{
    return native_stack_exhausted(native_stack(), where);
}

}  // namespace calvoro

// glibc 2.34 moved these from libpthread into libc under new symbol
// versions; binding the original ones keeps a module built here loadable on
// older glibc, where libpthread (linked by setup.py) provides them.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.2.5");
#endif
