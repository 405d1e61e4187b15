// ref.hpp: owned references and a saved pending exception.
//
// Rules of use:
//  - a function that makes a new reference returns a Ref;
//  - a plain PyObject * is borrowed, and stays good only until the next call
//    that can run Python code;
//  - release() appears only where a reference is handed to the interpreter.
#pragma once

#include "versions.hpp"

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
    explicit
    operator bool() const noexcept
    {
        return obj_ != nullptr;
    }

  private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// Takes the pending exception away on construction and puts it back on
// destruction, so that work in between cannot lose or replace it.
class SavedError {
  public:
    SavedError() noexcept : error_(compat::take_pending_error()) {}
    ~SavedError() { compat::restore_pending_error(error_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

  private:
    compat::PendingError error_;
};

}  // namespace calvoro
