// recursion.hpp: the recursion guard of merge levels and guarded calls, and
// the native stack that it keeps from running out.
#pragma once

#include "compat.hpp"

namespace calvoro {

// The bounds of the calling thread's native stack. Reading them costs a
// thread-local lookup, more than the rest of a recursion guard: a recursion
// that enters many levels reads them once and hands them down, in a
// Descent.
struct NativeStack {
    uintptr_t base = 0;  // the stack's lowest address
    uintptr_t low = 0;   // lowest address still safe to reach
    bool known = false;
};

NativeStack native_stack();

// Sets RecursionError for `where` and returns true. Out of line: the
// common path of the inline test below is a comparison.
bool native_stack_error(const char *where);

// True when the native stack of the calling thread is too short for one
// more level of recursion; sets RecursionError ("maximum recursion depth
// exceeded" followed by `where`) in that case.
inline bool
native_stack_exhausted(const NativeStack &stack, const char *where)
{
    auto here = reinterpret_cast<uintptr_t>(CALVORO_FRAME_ADDRESS());
    // a stack we do not know (an alternate signal stack, say) is not judged
    if (!stack.known || here < stack.base || here > stack.low) {
        return false;
    }
    return native_stack_error(where);
}

bool native_stack_exhausted(const char *where);

// What every level of one recursion on the calling thread needs to know
// about the thread.
struct Descent {
    NativeStack stack;
    PyThreadState *ts;

    static Descent
    of_calling_thread()
    {
        return {native_stack(), compat::recursion_state()};
    }
};

// One level of the interpreter's recursion depth, plus a check of the
// native stack, which the interpreter's limit alone does not protect.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) noexcept
        : ts_(compat::recursion_state()),
          entered_(!native_stack_exhausted(where) &&
                   compat::enter_recursive_call(where, ts_))
    {
    }
    RecursionGuard(const char *where, const Descent &descent) noexcept
        : ts_(descent.ts),
          entered_(!native_stack_exhausted(descent.stack, where) &&
                   compat::enter_recursive_call(where, ts_))
    {
    }
    ~RecursionGuard()
    {
        if (entered_) {
            compat::leave_recursive_call(ts_);
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    explicit
    operator bool() const noexcept
    {
        return entered_;
    }

  private:
    // before entered_, whose initializer uses it
    PyThreadState *ts_;
    bool entered_;
};

}  // namespace calvoro
