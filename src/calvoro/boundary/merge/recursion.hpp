// recursion.hpp: how merge levels and guarded calls count against the
// recursion limit, and the native stack that entering calvoro from Python
// code must not run out of.
#pragma once

#include "../internals/recursion_counters.hpp"

#include <utility>

namespace calvoro {

// True when the native stack of the calling thread is too short to enter
// calvoro again; sets RecursionError ("maximum recursion depth exceeded"
// followed by `where`) in that case.
bool native_stack_exhausted(const char *where);

// One level of the interpreter's recursion depth, plus a check of the
// native stack, which the interpreter's limit alone does not protect: for
// where calvoro is entered from Python code, or calls it, so that a chain
// of such calls (a key whose __eq__ merges, a rebound _rmerge) cannot run
// the stack out. The levels of a merge itself take none (LevelCount).
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) noexcept
        : ts_(internals::recursion_state()),
          entered_(!native_stack_exhausted(where) &&
                   internals::enter_recursive_call(where, ts_))
    {
    }
    ~RecursionGuard()
    {
        if (entered_) {
            internals::leave_recursive_call(ts_);
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    explicit
    operator bool() const noexcept
    {
        return entered_;
    }

    PyThreadState *
    thread_state() const noexcept
    {
        return ts_;
    }

  private:
    // before entered_, whose initializer uses it
    PyThreadState *ts_;
    bool entered_;
};

// The count of one merge level kept on the heap
// (internals::enter_merge_level), given back with the level. Empty for a level
// that a RecursionGuard counted.
class LevelCount {
  public:
    // Whether a level was counted, and for which thread state (null where
    // internals::recursion_state has none to give).
    struct Entry {
        PyThreadState *ts;
        bool entered;
    };
    static Entry
    entered(PyThreadState *ts) noexcept
    {
        return {ts, true};
    }
    static Entry
    not_counted() noexcept
    {
        return {nullptr, false};
    }

    explicit LevelCount(Entry entry) noexcept
        : ts_(entry.ts), entered_(entry.entered)
    {
    }
    ~LevelCount()
    {
        if (entered_) {
            internals::leave_merge_level(ts_);
        }
    }
    LevelCount(const LevelCount &) = delete;
    LevelCount &operator=(const LevelCount &) = delete;

  private:
    PyThreadState *ts_;
    bool entered_;
};

// Pushes a nested level onto `levels`, counted as one call of `where` on
// `ts`: the count is given back with the level, or at once when no level
// could be had. nullptr with RecursionError or MemoryError set.
template <typename Levels, typename... Args>
auto
push_counted_level(Levels &levels, const char *where, PyThreadState *ts,
                   Args &&...args) -> decltype(&levels.top())
{
    if (!internals::enter_merge_level(where, ts)) {
        return nullptr;
    }
    auto *level =
        levels.push(LevelCount::entered(ts), std::forward<Args>(args)...);
    if (!level) {
        internals::leave_merge_level(ts);
    }
    return level;
}

}  // namespace calvoro
