// ref.hpp: owned references, a saved pending exception, the recursion guard.
//
// Rules of use:
//  - a function that makes a new reference returns a Ref;
//  - a plain PyObject * is borrowed, and stays good only until the next call
//    that can run Python code;
//  - release() appears only where a reference is handed to the interpreter.
#pragma once

#include "compat.hpp"

namespace calvoro {

class Ref {
  public:
    Ref() noexcept = default;
    // adopt a new reference (nullptr stays empty)
    static Ref
    steal(PyObject *obj) noexcept
    {
        return Ref(obj);
    }
    // take a new reference to a borrowed object
    static Ref
    new_ref(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &
    operator=(Ref &&other) noexcept
    {
        PyObject *old = obj_;
        obj_ = other.obj_;
        other.obj_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *
    get() const noexcept
    {
        return obj_;
    }
    [[nodiscard]] PyObject *
    release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// Takes the pending exception away on construction and puts it back on
// destruction, so that work in between cannot lose or replace it.
class SavedError {
  public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SavedError() { PyErr_Restore(type_, value_, traceback_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

  private:
    PyObject *type_;
    PyObject *value_;
    PyObject *traceback_;
};

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

// Sets RecursionError for `where` and returns true.
bool native_stack_error(const char *where);

// True when the native stack of the calling thread is too short for one
// more level of recursion; sets RecursionError ("maximum recursion depth
// exceeded" followed by `where`) in that case.
inline bool
native_stack_exhausted(const NativeStack &stack, const char *where)
{
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
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
    explicit operator bool() const noexcept { return entered_; }

  private:
    // before entered_, whose initializer uses it
    PyThreadState *ts_;
    bool entered_;
};

}  // namespace calvoro
