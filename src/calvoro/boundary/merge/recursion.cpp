// recursion.cpp: how much native stack the calling thread has left.
#include "recursion.hpp"

#include "../platform/compiler.hpp"
#include "../platform/thread_stack.hpp"

namespace calvoro {

namespace {

struct NativeStack {
    uintptr_t base = 0;  // the stack's lowest address
    uintptr_t low = 0;   // lowest address still safe to reach
    bool known = false;
};

NativeStack
find_bounds()
{
    NativeStack bounds;
    uintptr_t lowest = 0;
    size_t size = 0;
    if (platform::thread_stack(&lowest, &size)) {
        bounds.base = lowest;
        // Half the stack stays free below the deepest entry, for the Python
        // code that a merge may still call (hashing, comparison, finalizers,
        // error reporting): what runs at the top of a thread runs there too,
        // unless it needs more than half of the thread's stack.
        bounds.low = lowest + size / 2;
        bounds.known = true;
    }
    return bounds;
}

}  // namespace

bool
native_stack_exhausted(const char *where)
{
    static thread_local NativeStack stack = find_bounds();
    auto here = reinterpret_cast<uintptr_t>(CALVORO_FRAME_ADDRESS());
    // a stack we do not know (an alternate signal stack, say) is not judged
    if (!stack.known || here < stack.base || here > stack.low) {
        return false;
    }
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s",
                 where);
    return true;
}

}  // namespace calvoro
