// anyfold_rmerge.cpp: _rmerge, anyfold's recursive core.
//
// For each key of second_dict, in the order iterating it gives:
//     if key in first_dict and first_dict[key] and second_dict[key] are
//     both dicts: _rmerge(first_dict[key], second_dict[key])
//     else: first_dict[key] = second_dict[key]
// Every step goes through the generic protocols, in the order and number a
// caller can observe, and _rmerge is looked up in the module at each use.
// Where both dicts are exact, the key is a plain str or int, and no Python
// code has run since the level looked at them, the contains test, fetches
// and store are one fused dict operation (boundary/fused.hpp). A nested
// call that finds this function bound to _rmerge is not made: its merge
// becomes the next level of one loop, kept on the heap.
#include "anyfold_module.hpp"
#include "boundary/module/binding.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/merge/dict_walk.hpp"
#include "boundary/merge/fused.hpp"
#include "boundary/merge/fused_run.hpp"
#include "boundary/module/items.hpp"
#include "boundary/merge/level_stack.hpp"
#include "boundary/merge/recursion.hpp"

#include <utility>

namespace calvoro::anyfold {

const boundary::FunctionIdentity rmerge_function = {
    "_rmerge", "calvoro.anyfold._rmerge", 7};

bool namespace_watched = false;

namespace {

namespace rmerge_line {
constexpr int walk = 14;
constexpr int test = 15;
constexpr int nested = 16;
constexpr int replace = 18;
}  // namespace rmerge_line

using boundary::DictWalk;
using boundary::FusionWindow;
using Step = DictWalk::Step;

// What a lookup of _rmerge found in a namespace of plain keys, which ran no
// code and so is the same until the namespace changes: while its version
// stays, nobody could tell the lookup from not making it.
struct Binding {
    Ref callee;
    uint64_t version = 0;
};

// What a merge level may assume: its fusion window, and whether, while the
// window has stayed open, the namespace was seen to hold plain keys only,
// and what _rmerge was bound to there. Only Python code could add another
// key or rebind the name, since no level whose first dict is the namespace
// fuses; so the lookup of _rmerge, which could tell nobody it was made,
// is not made again while the window stays open.
struct Calm {
    FusionWindow window;
    bool plain_namespace = false;
    // borrowed from the namespace, which holds it while the window is open
    PyObject *callee = nullptr;
    // the merge's, for every level
    Binding *binding = nullptr;

    // What a nested level may assume of the namespace.
    void
    hand_down(Calm *inner) const noexcept
    {
        inner->binding = binding;
        if (window.is_open() && plain_namespace) {
            inner->plain_namespace = true;
            inner->callee = callee;
        }
    }
};

// The values under one key of both dicts, for a nested merge.
struct Values {
    Ref first;
    Ref second;
};

// The keys of second_dict as iterating it yields them; the dict walk also
// gives its value, which the fused step needs.
class KeySource {
  public:
    enum class Kind { dict, sequence, iterator };

    explicit KeySource(PyObject *second_dict) noexcept
        : kind_(kind_of(second_dict)),
          container_(second_dict),
          walk_(kind_ == Kind::dict ? second_dict : nullptr)
    {
    }
    Kind
    kind() const noexcept
    {
        return kind_;
    }
    // a dict's
    DictWalk &
    walk() noexcept
    {
        return walk_;
    }
    // iter() of anything but an exact dict, list or tuple; may run code.
    bool
    start()
    {
        if (kind_ != Kind::iterator) {
            return true;
        }
        iterator_ = Ref::steal(PyObject_GetIter(container_));
        return bool(iterator_);
    }
    // The next key into *key; a new reference into *held, but for a dict
    // walk's key, which is borrowed from the dict.
    Step
    next(PyObject **key, Ref *held, PyObject **value)
    {
        switch (kind_) {
        case Kind::dict:
            return walk_.next_counted(key, value);
        case Kind::sequence:
#if CALVORO_FREE_THREADED
            // the length test and the read as one step of a list's
            // iterator, which another thread may not split
            if (PyList_CheckExact(container_)) {
                Py_BEGIN_CRITICAL_SECTION(container_);
                if (i_ < PyList_GET_SIZE(container_)) {
                    *held = Ref::new_ref(PyList_GET_ITEM(container_, i_++));
                }
                Py_END_CRITICAL_SECTION();
                if (!*held) {
                    return Step::end;
                }
                break;
            }
#endif
            // the length read again before each step
            if (i_ >= Py_SIZE(container_)) {
                return Step::end;
            }
            *held = boundary::item_at_index(container_, i_++);
            break;
        case Kind::iterator:
            *held = Ref::steal(PyIter_Next(iterator_.get()));
            if (!*held && !PyErr_Occurred()) {
                return Step::end;
            }
            break;
        }
        *key = held->get();
        return *key ? Step::item : Step::error;
    }

  private:
    static Kind
    kind_of(PyObject *second_dict) noexcept
    {
        if (PyDict_CheckExact(second_dict)) {
            return Kind::dict;
        }
        if (PyList_CheckExact(second_dict) ||
            PyTuple_CheckExact(second_dict)) {
            return Kind::sequence;
        }
        return Kind::iterator;
    }

    const Kind kind_;
    PyObject *container_;  // the level's second_dict, which it holds
    DictWalk walk_;
    Py_ssize_t i_ = 0;
    Ref iterator_;
};

// One level of the merge: second_dict merged into first_dict, both held.
// Levels are kept on the heap, so that depth costs no native stack; each
// nested one counts against the recursion limit as the call to _rmerge
// that it stands for.
struct Level {
    Level(LevelCount::Entry counted, Values &&values, bool may_reopen)
        : Level(counted, std::move(values), may_reopen,
                fusion_of(values.first.get(), values.second.get()))
    {
    }
    Level(LevelCount::Entry counted, Values &&values, bool may_reopen,
          boundary::Fusion fusion)
        : count(counted),
          first(std::move(values.first)),
          second(std::move(values.second)),
          keys(second.get()),
          fusion(fusion, may_reopen)
    {
    }

    // Only a dict walk meets exact dicts on both sides; stores into the
    // namespace, which could rebind _rmerge, are not fused.
    static boundary::Fusion
    fusion_of(PyObject *first_dict, PyObject *second_dict)
    {
        if (first_dict == record.state.globals) {
            return boundary::Fusion::none;
        }
        return boundary::level_fusion(first_dict, second_dict);
    }

    LevelCount count;  // first, so that it is given back last
    Ref first;
    Ref second;
    KeySource keys;
    Calm calm;
    boundary::LevelFusion fusion;
    // the step's key, held until the nested level it began ends, as an
    // iterator's loop holds it to the end of the step
    Ref key;
    // what the nested call held: _rmerge as looked up, and the values that
    // the fused lookups found when they were fetched again instead
    Ref callee;
    Values unused;
    // the nested level's dicts, from the step to the level's start
    Values pending;
};

using Levels = boundary::LevelStack<Level>;

// What a run of marked levels does here: each nested level stands for a
// call of _rmerge, made only while the merge's binding is still this
// function; the level holds its key and the callee, as the call would.
struct RunPolicy {
    static constexpr bool counts_keys = true;
    static constexpr bool holds_key = true;
    static constexpr bool holds_callee = true;

    explicit RunPolicy(const Binding &binding)
        : globals(record.state.globals),
          callee(namespace_watched && binding.callee &&
                         compat::dict_version(globals) == binding.version &&
                         function_has_def(binding.callee.get(), &rmerge_def)
                     ? binding.callee.get()
                     : nullptr),
          version(binding.version)
    {
    }

    bool
    descends(PyObject *first_value, PyObject **held_callee) noexcept
    {
        if (!callee || first_value == globals) {
            return false;
        }
        // only Python code could have changed the namespace
        if (stale) {
            if (compat::dict_version(globals) != version) {
                return false;
            }
            stale = false;
        }
        Py_INCREF(callee);
        *held_callee = callee;
        return true;
    }
    void
    may_have_run() noexcept
    {
        stale = true;
    }

    PyObject *const globals;
    PyObject *const callee;  // borrowed from the binding, which the run keeps
    const uint64_t version;
    bool stale = false;
};
using FusedRun = boundary::FusedRun<RunPolicy>;

// Each step returns true, or false with an exception set and the level's
// traceback entry added; after a step, code may have run, and only the
// level's own references are still good.

// One key through the generic protocols; any step may run Python code.
bool merge_key(Level &level, PyObject *key);
// One plain key of exact dicts while the window is open: `value` is
// second_dict[key], from the walk.
// The key is borrowed from second_dict until `held` holds it, as it must
// before anything that may run code.
bool merge_plain_key(Level &level, PyObject *key, PyObject *value, Ref *held);
// _rmerge(first_dict[key], second_dict[key]), with whatever _rmerge is
// bound to: called, unless it is this function, whose merge becomes the
// nested level. `fused`, when not empty, holds the values that the fused
// lookups found; they stand for fetching again only while nothing can have
// changed them.
bool merge_nested(Level &level, PyObject *key, Values fused);
// The steps of the top level, and of the levels they nest, that a run
// makes; its levels become the general ones on top. *done: the top level's
// walk is at its end.
bool run_steps(Levels &levels, FusedRun &run, PyThreadState *ts,
               Binding &binding, bool *done);
// Enters the nested level, as the call of _rmerge does.
bool enter(Levels &levels, PyThreadState *ts);
// The nested level on top has merged: back to its caller.
void leave(Levels &levels);
// The level on top has its entry: one more per level below it.
void unwind(Levels &levels);

// Merges second_dict into first_dict, both held by the caller; false with
// an exception set and the levels' traceback entries.
bool
rmerge(PyObject *first_dict, PyObject *second_dict)
{
    assert(!PyErr_Occurred());
    assert(Py_REFCNT(first_dict) > 0 && Py_REFCNT(second_dict) > 0);
    PyThreadState *ts = compat::recursion_state();
    Levels levels;
    Binding binding;
    levels
        .push(LevelCount::not_counted(),
              Values{Ref::new_ref(first_dict), Ref::new_ref(second_dict)},
              true)
        ->calm.binding = &binding;
    FusedRun run;
    // whether the top level has started its walk
    bool started = false;
    // after a run, the level on top makes the step the run left to it
    bool handed_over = false;
    for (;;) {
        Level &level = levels.top();
        if (!started) {
            started = true;
            if (level.keys.kind() == KeySource::Kind::iterator) {
                level.calm.window.close();
                if (!level.keys.start()) {
                    fail_at(rmerge_function, rmerge_line::walk);
                    unwind(levels);
                    return false;
                }
            }
        }
        if (!handed_over && level.fusion.reopens()) {
            handed_over = true;
            bool done = false;
            if (!run_steps(levels, run, ts, binding, &done)) {
                unwind(levels);
                return false;
            }
            if (done) {
                if (levels.depth() == 1) {
                    return true;
                }
                leave(levels);
                handed_over = false;
            }
            continue;
        }
        handed_over = false;
        // held to the end of its step, as an iterator's loop holds it,
        // wherever code may run before the step ends
        PyObject *key;
        Ref held;
        PyObject *value = nullptr;
        switch (level.keys.next(&key, &held, &value)) {
        case Step::error:
            fail_at(rmerge_function, rmerge_line::walk);
            unwind(levels);
            return false;
        case Step::end:
            if (levels.depth() == 1) {
                return true;
            }
            leave(levels);
            continue;
        case Step::item:
            break;
        }
        Calm &calm = level.calm;
        bool reopened = false;
        const bool plain =
            level.fusion.plain_step(calm.window, level.first.get(),
                                    level.second.get(), key, &reopened);
        if (reopened) {
            calm.plain_namespace = false;
            calm.callee = nullptr;
        }
        if (!plain && !held) {
            held = Ref::new_ref(key);
        }
        bool merged = plain ? merge_plain_key(level, key, value, &held)
                            : merge_key(level, key);
        if (!merged) {
            unwind(levels);
            return false;
        }
        if (level.pending.first) {
            level.key = std::move(held);
            if (!enter(levels, ts)) {
                fail_at(rmerge_function, rmerge_line::nested);
                unwind(levels);
                return false;
            }
            started = false;
        }
    }
}

// ---------------------------------------------------------------------------
// One key

enum class Both { error, no, yes };

// `key in first_dict`, then whether both values are dicts. Each fetched
// value is released at once: the nested merge fetches again.
Both
both_dictionaries(PyObject *first_dict, PyObject *second_dict, PyObject *key)
{
    int found = PySequence_Contains(first_dict, key);
    if (found <= 0) {
        return found < 0 ? Both::error : Both::no;
    }
    Ref value = boundary::item_for_key(first_dict, key);
    if (!value) {
        return Both::error;
    }
    if (!PyDict_Check(value.get())) {
        return Both::no;
    }
    value = boundary::item_for_key(second_dict, key);
    if (!value) {
        return Both::error;
    }
    return PyDict_Check(value.get()) ? Both::yes : Both::no;
}

bool
merge_key(Level &level, PyObject *key)
{
    using namespace rmerge_line;
    level.calm.window.close();
    PyObject *first_dict = level.first.get();
    PyObject *second_dict = level.second.get();
    switch (both_dictionaries(first_dict, second_dict, key)) {
    case Both::error:
        return fail_at_bool(rmerge_function, test);
    case Both::yes:
        return merge_nested(level, key, Values());
    case Both::no:
        break;
    }
    Ref value = boundary::item_for_key(second_dict, key);
    if (!value || PyObject_SetItem(first_dict, key, value.get()) != 0) {
        return fail_at_bool(rmerge_function, replace);
    }
    return true;
}

bool
merge_plain_key(Level &level, PyObject *key, PyObject *value, Ref *held)
{
    using Store = FusionWindow::Store;
    FusionWindow &window = level.calm.window;
    PyObject *first_dict = level.first.get();
    PyObject *existing;
    switch (level.fusion.store(window, first_dict, key, value, &existing)) {
    case Store::failed:
        return fail_at_bool(rmerge_function, rmerge_line::replace);
    case Store::stored:
        return true;
    case Store::both_dicts:
        break;
    }
    // no code has run since the walk read `value`
    if (!*held) {
        *held = Ref::new_ref(key);
    }
    return merge_nested(level, key,
                        {Ref::new_ref(existing), Ref::new_ref(value)});
}

// ---------------------------------------------------------------------------
// The nested call

Ref
lookup_rmerge(Calm *calm)
{
    Binding *binding = calm->binding;
    PyObject *globals = record.state.globals;
    const uint64_t version =
        namespace_watched ? compat::dict_version(globals) : 0;
    if (binding->callee && version == binding->version) {
        return Ref::new_ref(binding->callee.get());
    }
    FusionWindow &window = calm->window;
    if (window.is_open() && calm->plain_namespace) {
        if (calm->callee) {
            return Ref::new_ref(calm->callee);
        }
        PyObject *callee;
        if (PyDict_GetItemRef(globals, constants.rmerge, &callee) > 0) {
            calm->callee = callee;
            return Ref::steal(callee);
        }
        // among plain keys the lookup cannot fail: the name is gone, and the
        // full lookup below says what it is bound to now
        assert(!PyErr_Occurred());
    }
    const bool plain = boundary::has_only_plain_keys(globals);
    if (!plain) {
        window.close();
    }
    calm->plain_namespace = false;
    calm->callee = nullptr;
    PyObject *found;
    int in_namespace = PyDict_GetItemRef(globals, constants.rmerge, &found);
    if (in_namespace <= 0) {
        window.close();
        return in_namespace < 0
                   ? Ref()
                   : boundary::lookup_builtin(record, constants.rmerge);
    }
    Ref callee = Ref::steal(found);
    if (window.is_open()) {
        calm->plain_namespace = true;
        calm->callee = found;
    }
    if (namespace_watched && plain) {
        binding->callee = Ref::new_ref(found);
        binding->version = version;
    }
    return callee;
}

// first_dict[key], then second_dict[key]; empty on failure.
Values
fetch_values(PyObject *first_dict, PyObject *second_dict, PyObject *key)
{
    Values values;
    values.first = boundary::item_for_key(first_dict, key);
    if (values.first) {
        values.second = boundary::item_for_key(second_dict, key);
    }
    return values;
}

bool
merge_nested(Level &level, PyObject *key, Values fused)
{
    using namespace rmerge_line;
    Calm &calm = level.calm;
    Ref callee = lookup_rmerge(&calm);
    if (!callee) {
        return fail_at_bool(rmerge_function, rmerge_line::nested);
    }
    // unused fused values are still held to the end, as fetched ones are
    Values fetched;
    const bool use_fused = fused.first && calm.window.is_open();
    if (!use_fused) {
        calm.window.close();
        fetched = fetch_values(level.first.get(), level.second.get(), key);
        if (!fetched.second) {
            return fail_at_bool(rmerge_function, rmerge_line::nested);
        }
    }
    Values &values = use_fused ? fused : fetched;
    if (!function_has_def(callee.get(), &rmerge_def)) {
        calm.window.close();
        Ref result = boundary::call_guarded(callee.get(), values.first.get(),
                                            values.second.get());
        return result || fail_at_bool(rmerge_function, rmerge_line::nested);
    }
    // our own _rmerge: its merge is the nested level
    level.pending = std::move(values);
    if (!use_fused) {
        level.unused = std::move(fused);
    }
    level.callee = std::move(callee);
    return true;
}

// Binds the merge to what _rmerge is, where the namespace holds plain keys
// only: the lookup runs no code there, so nobody can tell it was made
// before the nested call that a run would otherwise hand over for.
void
bind_quietly(Binding *binding)
{
    PyObject *globals = record.state.globals;
    if (!namespace_watched) {
        return;
    }
    Ref found;
    uint64_t version;
    // Another thread counts its change of the namespace under the
    // namespace's lock, before it makes it: the count and the lookup are
    // read as of one moment under that lock.
    Py_BEGIN_CRITICAL_SECTION(globals);
    version = compat::dict_version(globals);
    if (!(binding->callee && version == binding->version) &&
        boundary::has_only_plain_keys_now(globals)) {
        PyObject *callee;
        if (PyDict_GetItemRef(globals, constants.rmerge, &callee) > 0) {
            found = Ref::steal(callee);
        }
    }
    Py_END_CRITICAL_SECTION();
    assert(!PyErr_Occurred());
    if (found) {
        binding->callee = std::move(found);
        binding->version = version;
    }
}

bool
run_steps(Levels &levels, FusedRun &run, PyThreadState *ts, Binding &binding,
          bool *done)
{
    bind_quietly(&binding);
    Level &level = levels.top();
    Calm &calm = level.calm;
    bool open = calm.window.is_open();
    RunPolicy policy(binding);
    const FusedRun::End end =
        run.run(level.first.get(), level.second.get(),
                &level.keys.walk().place(), &open, ts, policy);
    if (open) {
        calm.window.reopen();
    }
    else {
        calm.window.close();
    }
    // the run may have reopened the window: what was known of the
    // namespace goes
    calm.plain_namespace = false;
    calm.callee = nullptr;
    // the walk is over, and with it every level the run made
    if (end == FusedRun::End::done) {
        *done = true;
        return true;
    }
    bool made = true;
    run.hand_over([&](const boundary::FusedFrame &frame) {
        Level &caller = levels.top();
        caller.key = Ref::steal(frame.key);
        caller.callee = Ref::steal(frame.callee);
        Level *nested = levels.push(
            LevelCount::entered(ts),
            Values{Ref::steal(frame.first), Ref::steal(frame.second)}, true,
            boundary::Fusion::marks);
        if (!nested) {
            compat::leave_merge_level(ts);
            return made = false;
        }
        nested->calm.binding = &binding;
        nested->keys.walk().place() = frame.place;
        if (!frame.open) {
            nested->calm.window.close();
        }
        return true;
    });
    if (end == FusedRun::End::failed) {
        return fail_at_bool(rmerge_function, rmerge_line::replace);
    }
    return made || fail_at_bool(rmerge_function, rmerge_line::nested);
}

bool
enter(Levels &levels, PyThreadState *ts)
{
    Level &caller = levels.top();
    const Calm &calm = caller.calm;
    const bool may_reopen = caller.fusion.lets_nested_reopen(calm.window);
    // the call of _rmerge, without the tuple
    Level *level = push_counted_level(levels, boundary::calling_where, ts,
                                      std::move(caller.pending), may_reopen);
    if (!level) {
        return false;
    }
    calm.hand_down(&level->calm);
    return true;
}

void
leave(Levels &levels)
{
    Level &level = levels.top();
    Ref first = std::move(level.first);
    Ref second = std::move(level.second);
    const bool open = level.calm.window.is_open();
    levels.pop();
    Level &caller = levels.top();
    FusionWindow &window = caller.calm.window;
    if (!open) {
        window.close();
    }
    // the nested merge may have left these the last references
    window.release(first);
    window.release(second);
    caller.callee = Ref();
    caller.unused = Values();
    caller.key = Ref();
}

void
unwind(Levels &levels)
{
    for (;;) {
        levels.pop();
        if (levels.empty()) {
            return;
        }
        Level &caller = levels.top();
        caller.callee = Ref();
        caller.unused = Values();
        fail_at(rmerge_function, rmerge_line::nested);
    }
}

// ---------------------------------------------------------------------------
// Entry

PyObject *
anyfold_rmerge(PyObject *args, PyObject *kwargs)
{
    boundary::HeldPair dicts;
    if (!boundary::bind_held_pair(record, rmerge_function, args, kwargs,
                                  constants.first_dict, constants.second_dict,
                                  &dicts)) {
        return nullptr;
    }
    // entered from Python code, whose calls of it may chain through keys
    if (native_stack_exhausted(boundary::calling_where) ||
        !rmerge(dicts.first.get(), dicts.second.get())) {
        return nullptr;
    }
    return dicts.first.release();
}

PyDoc_STRVAR(rmerge_doc,
             "_rmerge(first_dict: Union[MutableMapping, Mapping], "
             "second_dict: Mapping) -> Mapping\n"
             "\n"
             "    Recursive merging utility\n"
             "\n"
             "    :param first_dict: first dict to merge, used as result\n"
             "    :param second_dict: dict to merge with\n"
             "    ");

}  // namespace

const FunctionDef rmerge_def = {"_rmerge", CallForm::pair, anyfold_rmerge,
                                nullptr, rmerge_doc};

}  // namespace calvoro::anyfold
