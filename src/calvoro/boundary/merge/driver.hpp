// driver.hpp: the loop that merges one level of nested dicts after another,
// shared by every core.
//
// The driver owns what every merge does alike: the levels on the heap, the
// walk of each, the hand-over between general steps and fused runs
// (fused_run.hpp), entering and leaving levels with the recursion limit's
// count, and unwinding a failure with one traceback entry per level. A core
// is a policy of it, saying what differs:
//
//   using Level = MergeLevel<Keys, Call>: what a level holds (below)
//   using RunPolicy: the fused run's policy (fused_run.hpp)
//   static constexpr const char *where: the RecursionError's context
//   static constexpr int walk_line, replace_line, nested_line: the lines
//       of a failed walk, store and nested merge
//   static Fusion fusion_of(first_dict, second_dict): how a level fuses
//   int start(Level &): begins a level's walk, before its first step
//   int step(Level &, key, Ref &held, NestedDicts *): merges one key by
//       the core's own operations; a nested merge that is to be a level of
//       the loop goes into *NestedDicts
//   int nest_fused(Level &, key, existing, value, Ref &held, NestedDicts *):
//       the same for a fused step that found two dicts, `existing` in
//       first_dict and `value` in second_dict, both borrowed
//   RunPolicy run_policy(): the policy of a run about to start
//   bool stores(value): where RunPolicy::screens_stores, whether a fused
//       step may store `value`, not merged, as it is (fused_run.hpp)
//   void took_callee(Level &caller, PyObject *callee): a new reference
//       that a run's level held for its call
//   void drop_call(Level &caller): its nested level has ended
//   void add_entry(int line): one traceback entry of a level
//
// A step or a start returns 0, or the line that failed with an exception
// set. After a step, code may have run: only the levels' own references
// are still good.
#pragma once

#include "../module/items.hpp"
#include "dict_walk.hpp"
#include "fused.hpp"
#include "fused_run.hpp"
#include "level_stack.hpp"
#include "recursion.hpp"

#include <utility>

namespace calvoro::boundary {

// The dicts of a nested merge that a step found, for its level.
struct NestedDicts {
    Ref first;
    Ref second;
    // entered by a fused step: the nested level's code ran in the caller's
    // window too
    bool shares_window = false;
};

// One level of a merge: second_dict merged into first_dict, both held.
// `Keys` walks second_dict; `Call` is what the core keeps of the call that
// the level stands for.
template <typename Keys, typename Call>
struct MergeLevel {
    MergeLevel(LevelCount::Entry counted, Ref &&first_dict, Ref &&second_dict,
               bool may_reopen, bool shares_caller_window, Fusion fusion)
        : count(counted),
          first(std::move(first_dict)),
          second(std::move(second_dict)),
          keys(second.get()),
          fusion(fusion, may_reopen),
          shares_window(shares_caller_window)
    {
    }

    LevelCount count;  // first, so that it is given back last
    Ref first;
    Ref second;
    Keys keys;
    FusionWindow window;
    LevelFusion fusion;
    const bool shares_window;
    // the step's key, held until the nested level it began ends, as an
    // iterator's loop holds it to the end of the step
    Ref key;
    Call call;
};

// The keys of an exact dict, for a core that walks nothing else.
class DictKeys {
  public:
    explicit DictKeys(PyObject *second_dict) noexcept : walk_(second_dict) {}

    DictWalk::Step
    next(PyObject **key, Ref *, PyObject **value)
    {
        return walk_.next(key, value);
    }
    DictPlace &
    place() noexcept
    {
        return walk_.place();
    }

  private:
    DictWalk walk_;
};

template <typename Core>
class MergeDriver {
  public:
    using Level = typename Core::Level;
    using Levels = LevelStack<Level>;
    using Run = FusedRun<typename Core::RunPolicy>;
    using Step = DictWalk::Step;

    MergeDriver(Core &core, PyThreadState *ts) noexcept : core_(core), ts_(ts)
    {
    }

    // Merges second_dict into first_dict, both held by the caller, whose
    // count of the recursion limit the first level is; false with an
    // exception set and the levels' traceback entries.
    bool
    merge(PyObject *first_dict, PyObject *second_dict)
    {
        assert(!PyErr_Occurred());
        assert(Py_REFCNT(first_dict) > 0 && Py_REFCNT(second_dict) > 0);
        // the first level takes no chunk of its own: it cannot fail
        levels_.push(LevelCount::not_counted(), Ref::new_ref(first_dict),
                     Ref::new_ref(second_dict), true, false,
                     Core::fusion_of(first_dict, second_dict));
        // whether the top level has started its walk
        bool started = false;
        // after a run, the level on top makes the step the run left to it
        bool handed_over = false;
        for (;;) {
            Level &level = levels_.top();
            if (!started) {
                started = true;
                if (int failed = core_.start(level)) {
                    return unwind(failed);
                }
            }
            if (!handed_over && level.fusion.reopens()) {
                handed_over = true;
                bool done = false;
                if (int failed = run_steps(&done)) {
                    return unwind(failed);
                }
                if (done) {
                    if (levels_.depth() == 1) {
                        return true;
                    }
                    leave();
                    handed_over = false;
                }
                continue;
            }
            handed_over = false;
            // held to the end of its step, wherever code may run before
            // the step ends
            PyObject *key;
            Ref held;
            PyObject *value = nullptr;
            switch (level.keys.next(&key, &held, &value)) {
            case Step::error:
                return unwind(Core::walk_line);
            case Step::end:
                if (levels_.depth() == 1) {
                    return true;
                }
                leave();
                continue;
            case Step::item:
                break;
            }
            bool fused = level.fusion.fuses_step(
                level.window, level.first.get(), level.second.get(), key);
            if constexpr (Core::RunPolicy::screens_stores) {
                fused = fused && core_.stores(value);
            }
            NestedDicts nested;
            if (int failed = fused
                                 ? fused_step(level, key, held, value, &nested)
                                 : core_.step(level, key, held, &nested)) {
                return unwind(failed);
            }
            if (nested.first) {
                if (held) {
                    level.key = std::move(held);
                }
                if (!enter(&nested)) {
                    return unwind(Core::nested_line);
                }
                started = false;
            }
        }
    }

  private:
    // One plain key while the window is open: `value` is second_dict[key],
    // from the walk. No code runs before the store holds what it keeps, and
    // the store uses neither `key` nor `value` after a release that may run
    // code.
    int
    fused_step(Level &level, PyObject *key, Ref &held, PyObject *value,
               NestedDicts *nested)
    {
        using Store = FusionWindow::Store;
        PyObject *existing;
        switch (level.fusion.store(level.window, level.first.get(), key, value,
                                   &existing)) {
        case Store::failed:
            return Core::replace_line;
        case Store::stored:
            return 0;
        case Store::both_dicts:
            break;
        }
        return core_.nest_fused(level, key, existing, value, held, nested);
    }

    // The steps of the top level, and of the levels they nest, that a run
    // makes; its levels become the general ones on top. *done: the top
    // level's walk is at its end.
    int
    run_steps(bool *done)
    {
        typename Core::RunPolicy policy = core_.run_policy();
        Level &level = levels_.top();
        bool open = level.window.is_open();
        const typename Run::End end =
            run_.run(level.first.get(), level.second.get(),
                     &level.keys.place(), &open, ts_, policy);
        if (open) {
            level.window.reopen();
        }
        else {
            level.window.close();
        }
        // the walk is over, and with it every level the run made
        if (end == Run::End::done) {
            *done = true;
            return 0;
        }
        bool made = true;
        run_.hand_over([&](const FusedFrame &frame) {
            Level &caller = levels_.top();
            if constexpr (Core::RunPolicy::holds_key) {
                caller.key = Ref::steal(frame.key);
            }
            if constexpr (Core::RunPolicy::holds_callee) {
                core_.took_callee(caller, frame.callee);
            }
            Level *nested = levels_.push(
                LevelCount::entered(ts_), Ref::steal(frame.first),
                Ref::steal(frame.second), true, true, Fusion::unicode_tables);
            if (!nested) {
                internals::leave_merge_level(ts_);
                return made = false;
            }
            nested->keys.place() = frame.place;
            if (!frame.open) {
                nested->window.close();
            }
            return true;
        });
        if (end == Run::End::failed) {
            return Core::replace_line;
        }
        return made ? 0 : Core::nested_line;
    }

    // Enters the nested level, counted as the call it stands for; false
    // with an exception set.
    bool
    enter(NestedDicts *nested)
    {
        Level &caller = levels_.top();
        const bool may_reopen =
            caller.fusion.lets_nested_reopen(caller.window);
        const Fusion fusion =
            Core::fusion_of(nested->first.get(), nested->second.get());
        Level *level = push_counted_level(
            levels_, Core::where, ts_, std::move(nested->first),
            std::move(nested->second), may_reopen, nested->shares_window,
            fusion);
        return level != nullptr;
    }

    // The nested level on top has merged: back to its caller.
    void
    leave()
    {
        Level &level = levels_.top();
        Ref first = std::move(level.first);
        Ref second = std::move(level.second);
        const bool shares_window = level.shares_window;
        const bool open = level.window.is_open();
        levels_.pop();
        Level &caller = levels_.top();
        if (shares_window) {
            FusionWindow &window = caller.window;
            if (!open) {
                window.close();
            }
            // the nested merge may have left these the last references
            window.release(first);
            window.release(second);
        }
        else {
            second = Ref();
            first = Ref();
        }
        core_.drop_call(caller);
        caller.key = Ref();
    }

    // The level on top failed at `line`: one more entry per level below.
    bool
    unwind(int line)
    {
        core_.add_entry(line);
        for (;;) {
            levels_.pop();
            if (levels_.empty()) {
                return false;
            }
            core_.drop_call(levels_.top());
            core_.add_entry(Core::nested_line);
        }
    }

    Core &core_;
    PyThreadState *const ts_;
    Levels levels_;
    Run run_;
};

}  // namespace calvoro::boundary
