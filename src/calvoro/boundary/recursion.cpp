// recursion.cpp: how much native stack the calling thread has left.
#include "recursion.hpp"

namespace calvoro {

namespace {

NativeStack
find_bounds()
{
    NativeStack bounds;
    uintptr_t lowest = 0;
    size_t size = 0;
    if (compat::thread_stack(&lowest, &size)) {
        bounds.base = lowest;
        // Half the stack stays free below the deepest level, for the Python
        // code that a level may still call (hashing, comparison, finalizers,
        // error reporting): what runs at the top of a thread runs there too,
        // unless it needs more than half of the thread's stack.
        bounds.low = lowest + size / 2;
        bounds.known = true;
    }
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
