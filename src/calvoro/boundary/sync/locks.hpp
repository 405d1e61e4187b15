// locks.hpp: the locks of a free-threaded build, as classes that compile to
// nothing with the global lock, so that code that locks reads the same on
// both builds.
//
// Without the global lock another thread may change a dict or list at any
// moment, except while this thread holds the object's lock (its critical
// section). Waiting for a lock, and anything that may run Python code under
// one, may let other threads in until the thread goes on, since the
// interpreter suspends a waiting thread's sections: what was read under the
// lock is then to be read again.
#pragma once

#include "../api/python.hpp"

namespace calvoro::sync {

// One object's lock, held for the guard's scope.
class ObjectGuard {
  public:
    explicit ObjectGuard([[maybe_unused]] PyObject *obj) noexcept
    {
#if CALVORO_FREE_THREADED
        PyCriticalSection_Begin(&section_, obj);
#endif
    }
    ~ObjectGuard()
    {
#if CALVORO_FREE_THREADED
        PyCriticalSection_End(&section_);
#endif
    }
    ObjectGuard(const ObjectGuard &) = delete;
    ObjectGuard &operator=(const ObjectGuard &) = delete;

  private:
#if CALVORO_FREE_THREADED
    PyCriticalSection section_;
#endif
};

// The locks of two objects, taken as the interpreter's own two-object
// operations take them (in address order; once for one object twice), held
// for the guard's scope.
class PairGuard {
  public:
    PairGuard([[maybe_unused]] PyObject *a,
              [[maybe_unused]] PyObject *b) noexcept
    {
#if CALVORO_FREE_THREADED
        PyCriticalSection2_Begin(&section_, a, b);
#endif
    }
    ~PairGuard()
    {
#if CALVORO_FREE_THREADED
        PyCriticalSection2_End(&section_);
#endif
    }
    PairGuard(const PairGuard &) = delete;
    PairGuard &operator=(const PairGuard &) = delete;

  private:
#if CALVORO_FREE_THREADED
    PyCriticalSection2 section_;
#endif
};

// The locks of two objects as PairGuard takes them, for a holder that takes
// and lets them go by itself, such as one of an array of levels. The thread
// links the held section into its state, so it must not move while held.
class PairLock {
  public:
    PairLock() noexcept = default;
    PairLock(const PairLock &) = delete;
    PairLock &operator=(const PairLock &) = delete;
    ~PairLock() { unlock(); }

    void
    lock([[maybe_unused]] PyObject *a, [[maybe_unused]] PyObject *b) noexcept
    {
#if CALVORO_FREE_THREADED
        assert(!held_);
        PyCriticalSection2_Begin(&section_, a, b);
        held_ = true;
#endif
    }
    // Nothing when not held.
    void
    unlock() noexcept
    {
#if CALVORO_FREE_THREADED
        if (held_) {
            held_ = false;
            PyCriticalSection2_End(&section_);
        }
#endif
    }

  private:
#if CALVORO_FREE_THREADED
    PyCriticalSection2 section_;
    bool held_ = false;
#endif
};

// A lock of the package's own, for process-wide state that no object's
// lock covers. Constant-initialized, so it may be a namespace-scope object.
class Mutex {
  public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void
    lock() noexcept
    {
#if CALVORO_FREE_THREADED
        PyMutex_Lock(&mutex_);
#endif
    }
    void
    unlock() noexcept
    {
#if CALVORO_FREE_THREADED
        PyMutex_Unlock(&mutex_);
#endif
    }

  private:
#if CALVORO_FREE_THREADED
    PyMutex mutex_ = {};
#endif
};

// A Mutex held for the guard's scope.
class MutexGuard {
  public:
    explicit MutexGuard(Mutex &mutex) noexcept : mutex_(mutex)
    {
        mutex_.lock();
    }
    ~MutexGuard() { mutex_.unlock(); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

  private:
    Mutex &mutex_;
};

}  // namespace calvoro::sync
