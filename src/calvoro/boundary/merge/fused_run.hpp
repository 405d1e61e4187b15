// fused_run.hpp: a run of merge levels whose dicts' lookup kinds let them
// fuse, as one tight loop over levels of its own.
//
// While both dicts of a level have unicode tables (exact str keys only),
// every step of the level is a fused one and needs none of what a general
// level keeps (fused.hpp); a nested merge of two such dicts is one more of
// these levels. The run does such steps and levels until the level it
// started from ends, or a step needs more: a nested merge that is not of
// two exact dicts with unicode tables, a count at the limit, anything unusual.
// It hands over before that step, undone, so the general loop makes it as it
// makes every other; the levels the run still has become general levels then.
//
// Without the global lock, the run holds the locks of each of its levels'
// dicts while it steps: they are read and written under them. Waiting for
// a nested level's locks, like any Python code a step runs, may let the
// outer ones go for a while, so a level reads the kinds again whenever it
// goes on after a nested one.
#pragma once

#include "dict_walk.hpp"
#include "fused.hpp"
#include "../internals/recursion_counters.hpp"
#include "../platform/compiler.hpp"
#include "../sync/locks.hpp"

#include <cstddef>
#include <cstring>

namespace calvoro::boundary {

// A level of a run: its dicts and, where the policy holds them, the key it
// was found under and what a call would have held; all held but for the
// run's first level, which is the general level's.
struct FusedFrame {
    PyObject *first;
    PyObject *second;
    PyObject *key;
    PyObject *callee;
    DictPlace place;
    bool open;  // the level's fusion window
};

// What a policy's own store of a screened value did: failed with an
// exception set, or stored (or kept, or removed) running no code, or
// maybe running some.
enum class ScreenedStore { failed, quiet, may_have_run };

// `Policy` says what differs between the cores:
//   static constexpr bool counts_keys: the walk is next_counted's
//   static constexpr bool holds_key: a nested level holds its key
//   static constexpr bool holds_callee: and what its call would have held
//   bool descends(PyObject *first_value, PyObject **callee): whether the
//       nested merge of first_value may be a level of the run, with a new
//       reference into *callee where the level holds one
//   void may_have_run(): Python code may have run since the last step
//   static constexpr bool screens_stores: a value not merged is stored
//       as it is only if bool stores(PyObject *value) lets it; else by
//       ScreenedStore store(first_dict, key, value), the policy's own step,
//       which says whether it may have run code
// A key and a callee are released without a test: a str frees quietly,
// and the callee is the policy's, which holds it.
template <typename Policy>
class FusedRun {
  public:
    // done: the first level's walk is at its end
    enum class End { handed_over, done, failed };

    FusedRun() noexcept = default;
    FusedRun(const FusedRun &) = delete;
    FusedRun &operator=(const FusedRun &) = delete;
    ~FusedRun()
    {
        drop(frames_ + 1, top_);
        if (frames_ != inline_) {
            PyMem_Free(frames_);
        }
    }

    // Runs from the general level of first_dict and second_dict (held by
    // it), at `place` with its window `open`, both updated. A caller starts
    // one from a level that reopens its window by the kinds, and makes a
    // step itself after each hand-over. failed: with an exception set, by a
    // store of the top level; the levels are kept for hand_over as they are.
    End
    run(PyObject *first_dict, PyObject *second_dict, DictPlace *place,
        bool *open, PyThreadState *ts, Policy &policy)
    {
        assert(internals::lookup_kinds_known);
        frames_[0] = {first_dict, second_dict, nullptr,
                      nullptr,    *place,      *open};
        top_ = frames_;
        const End end = steps(ts, policy, internals::general_lookup_kind);
        *place = frames_[0].place;
        *open = frames_[0].open;
        return end;
    }

    // The levels above the first, in order, made general by
    // `push(const FusedFrame &)`, which takes their references and counts
    // whether it succeeds or not; after a push that fails, the rest are
    // given back.
    template <typename Push>
    void
    hand_over(Push &&push)
    {
        FusedFrame *const top = top_;
        top_ = frames_;
        for (FusedFrame *f = frames_ + 1; f <= top; f++) {
            if (!push(*f)) {
                drop(f + 1, top);
                return;
            }
        }
    }

  private:
    // `general`: the lookup kind that no unicode table has, read once. The top
    // level's window is open at each step: where code may have run, the
    // kinds reopen it at once, or the run hands over.
    CALVORO_NOINLINE End
    steps(PyThreadState *ts, Policy &policy, const uintptr_t general)
    {
        FusedFrame *f = top_;
        FusedFrame *base = frames_;
        [[maybe_unused]] Unlocking unlocking{this};
        lock(f);
        if (!f->open && !reopen(f, general, policy)) {
            return End::handed_over;
        }
        for (;;) {
            PyObject *second = f->second;
            DictPlace &at = f->place;
            if (CALVORO_UNLIKELY(PyDict_GET_SIZE(second) != at.length)) {
                return End::handed_over;
            }
            PyObject *key;
            PyObject *value;
            // at the end, the position is left as it was
            if (!internals::dict_next_unicode(second, &at.position, &key,
                                              &value, general)) {
                if (f == base) {
                    return End::done;
                }
                // not to free the dicts with their locks held
                unlock(f);
                leave(ts);
                f = top_;
                if (CALVORO_FREE_THREADED) {
                    f->open = false;
                }
                if (!f->open && !reopen(f, general, policy)) {
                    return End::handed_over;
                }
                continue;
            }
            if (Policy::counts_keys && compat::dict_iterator_counts_keys) {
                if (CALVORO_UNLIKELY(at.remaining == 0)) {
                    at.position--;
                    return End::handed_over;
                }
                at.remaining--;
            }
            PyObject *first = f->first;
            if (PyDict_Check(value)) {
                PyObject *existing =
                    internals::dict_get_unicode(first, key, general);
                if (existing && PyDict_Check(existing)) {
                    if (CALVORO_UNLIKELY(!enter(existing, value, key, ts,
                                                policy, general))) {
                        undo(at);
                        return End::handed_over;
                    }
                    // the frames may have moved
                    f = top_;
                    base = frames_;
                    lock(f);
                    if (!f->open && !reopen(f, general, policy)) {
                        return End::handed_over;
                    }
                    continue;
                }
                if (!existing && PyErr_Occurred()) {
                    return End::failed;
                }
            }
            if (!screened(policy, value)) {
                switch (store_screened(f, key, value, policy)) {
                case ScreenedStore::failed:
                    return End::failed;
                case ScreenedStore::quiet:
                    continue;
                case ScreenedStore::may_have_run:
                    break;
                }
                if (!reopen(f, general, policy)) {
                    return End::handed_over;
                }
                continue;
            }
            // a blind store: a key it replaced may have released a value
            // that ran code, or, without the global lock, another thread
            // may drop its reference to what it replaced
            const Py_ssize_t size = PyDict_GET_SIZE(first);
            if (CALVORO_UNLIKELY(PyDict_SetItem(first, key, value) != 0)) {
                return End::failed;
            }
            if (PyDict_GET_SIZE(first) == size &&
                !reopen(f, general, policy)) {
                return End::handed_over;
            }
        }
    }

    // Whether the policy lets `value` be stored as it is.
    static bool
    screened([[maybe_unused]] Policy &policy,
             [[maybe_unused]] PyObject *value) noexcept
    {
        if constexpr (Policy::screens_stores) {
            return policy.stores(value);
        }
        else {
            return true;
        }
    }

    // The policy's store of a value it screened out. Where it may have run
    // code, which the levels below have not seen, each is closed, to read
    // the kinds again when it goes on, as this one does next. Only this
    // closes a level below the top, and those below it first: the first
    // closed one ends the loop.
    ScreenedStore
    store_screened([[maybe_unused]] FusedFrame *f,
                   [[maybe_unused]] PyObject *key,
                   [[maybe_unused]] PyObject *value,
                   [[maybe_unused]] Policy &policy)
    {
        if constexpr (Policy::screens_stores) {
            const ScreenedStore done = policy.store(f->first, key, value);
            if (done == ScreenedStore::may_have_run) {
                for (FusedFrame *below = f; below > frames_ && below[-1].open;
                     below--) {
                    below[-1].open = false;
                }
            }
            return done;
        }
        else {
            return ScreenedStore::quiet;
        }
    }

    // Whether the kinds of both dicts let the level's window be open.
    static bool
    reopen(FusedFrame *f, uintptr_t general, Policy &policy) noexcept
    {
        policy.may_have_run();
        f->open = is_unicode_table(f->first, general) &&
                  is_unicode_table(f->second, general);
        return f->open;
    }

    // The step just made is to be made again: PyDict_Next left the position
    // just past the entry it gave.
    static void
    undo(DictPlace &at) noexcept
    {
        at.position--;
        if (Policy::counts_keys && compat::dict_iterator_counts_keys) {
            at.remaining++;
        }
    }

    static bool
    is_unicode_table(PyObject *dictionary, uintptr_t general) noexcept
    {
        return internals::dict_lookup_kind(dictionary) != general;
    }

    // A free-threaded build reads the kinds of the nested level's dicts
    // once it holds their locks: a level of the run whose kinds do not hold
    // is handed over. Its levels go no deeper than it has locks for.
    bool
    enter(PyObject *first, PyObject *second, PyObject *key, PyThreadState *ts,
          Policy &policy, uintptr_t general)
    {
        if (!PyDict_CheckExact(first) || !PyDict_CheckExact(second)) {
            return false;
        }
        const bool refused = CALVORO_FREE_THREADED
                                 ? top_ - frames_ + 1 >= locked_levels
                                 : !is_unicode_table(first, general) ||
                                       !is_unicode_table(second, general);
        if (refused) {
            return false;
        }
        PyObject *callee = nullptr;
        if (!policy.descends(first, &callee)) {
            return false;
        }
        if (!internals::try_enter_merge_level(ts)) {
            if constexpr (Policy::holds_callee) {
                Py_DECREF(callee);
            }
            return false;
        }
        // last, as it may move the frames: the level is made after it
        if (top_ == last_ && !grow()) {
            internals::leave_merge_level(ts);
            if constexpr (Policy::holds_callee) {
                Py_DECREF(callee);
            }
            return false;
        }
        Py_INCREF(first);
        Py_INCREF(second);
        FusedFrame *f = ++top_;
        f->first = first;
        f->second = second;
        if constexpr (Policy::holds_key) {
            Py_INCREF(key);
            f->key = key;
        }
        if constexpr (Policy::holds_callee) {
            f->callee = callee;
        }
        f->place = DictPlace::start(second);
        f->open = true;
        return true;
    }

    // The top level has merged: as the general loop gives a level back,
    // its count first, then its dicts, which may be the last references.
    void
    leave(PyThreadState *ts)
    {
        const FusedFrame *done = top_--;
        FusedFrame *caller = top_;
        internals::leave_merge_level(ts);
        if (!done->open) {
            caller->open = false;
        }
        release(caller, done->first);
        release(caller, done->second);
        if constexpr (Policy::holds_callee) {
            Py_DECREF(done->callee);
        }
        if constexpr (Policy::holds_key) {
            Py_DECREF(done->key);
        }
    }

    static void
    release(FusedFrame *caller, PyObject *obj)
    {
        if (Py_REFCNT(obj) == 1 && !frees_quietly(obj)) {
            caller->open = false;
        }
        Py_DECREF(obj);
    }

    bool
    grow()
    {
        const size_t used = size_t(last_ - frames_) + 1;
        const size_t capacity = used * 2;
        auto *frames = static_cast<FusedFrame *>(
            PyMem_Malloc(capacity * sizeof(FusedFrame)));
        if (!frames) {
            return false;
        }
        std::memcpy(static_cast<void *>(frames), frames_,
                    used * sizeof(FusedFrame));
        if (frames_ != inline_) {
            PyMem_Free(frames_);
        }
        top_ = frames + (top_ - frames_);
        frames_ = frames;
        last_ = frames + capacity - 1;
        return true;
    }

    // Levels that no general level took: given back as they would end.
    static void
    drop(FusedFrame *from, FusedFrame *to)
    {
        for (FusedFrame *f = to; f >= from; f--) {
            internals::leave_merge_level(internals::recursion_state());
            Py_DECREF(f->first);
            Py_DECREF(f->second);
            if constexpr (Policy::holds_callee) {
                Py_DECREF(f->callee);
            }
            if constexpr (Policy::holds_key) {
                Py_DECREF(f->key);
            }
        }
    }

    // What the level knew of its dicts before it held their locks goes.
    void
    lock(FusedFrame *f) noexcept
    {
        if (CALVORO_FREE_THREADED) {
            locks_[f - frames_].lock(f->first, f->second);
            f->open = false;
        }
    }
    // With the global lock a run goes deeper than it has locks for.
    void
    unlock(const FusedFrame *f) noexcept
    {
        if (CALVORO_FREE_THREADED) {
            locks_[f - frames_].unlock();
        }
    }
    // The levels' locks, let go as steps() returns: the innermost first.
    struct Unlocking {
        FusedRun *run;
        ~Unlocking()
        {
            if (CALVORO_FREE_THREADED) {
                for (std::ptrdiff_t i = locked_levels; i-- > 0;) {
                    run->locks_[i].unlock();
                }
            }
        }
    };

    static constexpr size_t inline_levels = 16;
    // the levels a run may lock: as many as the frames have room for at first
    static constexpr std::ptrdiff_t locked_levels = inline_levels;
    // linked into the thread's state while held, so apart from the frames,
    // which may move; empty with the global lock
    sync::PairLock locks_[locked_levels];
    FusedFrame inline_[inline_levels];
    FusedFrame *frames_ = inline_;
    FusedFrame *top_ = inline_;
    FusedFrame *last_ = inline_ + inline_levels - 1;
};

}  // namespace calvoro::boundary
