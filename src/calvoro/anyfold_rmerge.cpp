// anyfold_rmerge.cpp: _rmerge, anyfold's recursive core.
//
// For each key of second_dict, in the order iterating it gives:
//     if key in first_dict and first_dict[key] and second_dict[key] are
//     both dicts: _rmerge(first_dict[key], second_dict[key])
//     else: first_dict[key] = second_dict[key]
// Every step goes through the generic protocols, in the order and number a
// caller can observe. _rmerge is found as a lookup in the module at each use
// would find it; the lookup itself is left out only where nobody could tell
// (a namespace of plain keys whose version has not changed). Where both
// dicts are exact, the key is a plain str or int, and no Python code has run
// since the level looked at them, the contains test, fetches and store are
// one fused dict operation (boundary/merge/fused.hpp). A nested call that
// finds this function bound to _rmerge is not made: its merge becomes the
// next level of the merge loop (boundary/merge/driver.hpp).
#include "anyfold_module.hpp"
#include "boundary/module/binding.hpp"
#include "boundary/module/calls.hpp"
#include "boundary/merge/driver.hpp"
#include "boundary/merge/key_source.hpp"
#include "boundary/merge/recursion.hpp"
#include "boundary/module/items.hpp"
#include "boundary/sync/locks.hpp"

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

using boundary::FusionWindow;
using boundary::KeySource;
using boundary::NestedDicts;
using Step = boundary::DictWalk::Step;

// What a lookup of _rmerge found in a namespace of plain keys, which ran no
// code and so is the same until the namespace changes: while its version
// stays, nobody could tell the lookup from not making it.
struct Binding {
    Ref callee;
    uint64_t version = 0;
};

// The values under one key of both dicts, for a nested merge.
struct Values {
    Ref first;
    Ref second;
};

// What a level keeps of the nested call it makes: _rmerge as looked up,
// and the values that the fused lookups found where they were fetched again
// instead, held as the call would hold them.
struct Call {
    Ref callee;
    Values fused_values;
};

// What a run of unicode-table levels does here: each nested level stands for a
// call of _rmerge, made only while the merge's binding is still this
// function; the level holds its key and the callee, as the call would.
struct RunPolicy {
    static constexpr bool counts_keys = true;
    static constexpr bool holds_key = true;
    static constexpr bool holds_callee = true;
    static constexpr bool screens_stores = false;

    explicit RunPolicy(const Binding &binding)
        : globals(record.state.globals),
          callee(namespace_watched && binding.callee &&
                         internals::dict_version(globals) == binding.version &&
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
            if (internals::dict_version(globals) != version) {
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

// The core: any mapping through the generic protocols; a nested merge is
// a level of the loop while _rmerge is bound to this function, a call of
// whatever it is bound to otherwise.
struct Core {
    using Level = boundary::MergeLevel<KeySource, Call>;
    using RunPolicy = anyfold::RunPolicy;

    static constexpr const char *where = boundary::calling_where;
    static constexpr int walk_line = rmerge_line::walk;
    static constexpr int replace_line = rmerge_line::replace;
    static constexpr int nested_line = rmerge_line::nested;

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
    int
    start(Level &level)
    {
        if (level.keys.kind() != KeySource::Kind::iterator) {
            return 0;
        }
        level.window.close();
        return level.keys.start() ? 0 : rmerge_line::walk;
    }
    int
    step(Level &level, PyObject *key, Ref &held, NestedDicts *nested)
    {
        return merge_key(level, key, &held, nested);
    }
    int
    nest_fused(Level &level, PyObject *key, PyObject *existing,
               PyObject *value, Ref &held, NestedDicts *nested)
    {
        // no code has run since the walk read `value`
        if (!held) {
            held = Ref::new_ref(key);
        }
        return merge_nested(
            level, key, {Ref::new_ref(existing), Ref::new_ref(value)}, nested);
    }
    RunPolicy run_policy();
    void
    took_callee(Level &caller, PyObject *callee) noexcept
    {
        caller.call.callee = Ref::steal(callee);
    }
    void
    drop_call(Level &caller) noexcept
    {
        caller.call.callee = Ref();
        caller.call.fused_values = Values();
    }
    void
    add_entry(int line)
    {
        fail_at(rmerge_function, line);
    }

    // One key through the generic protocols; any step may run Python code.
    int merge_key(Level &level, PyObject *key, Ref *held, NestedDicts *nested);
    // _rmerge(first_dict[key], second_dict[key]), with whatever _rmerge is
    // bound to: called, unless it is this function, whose merge becomes the
    // nested level. `fused`, when not empty, holds the values that the fused
    // lookups found; they stand for fetching again only while nothing can
    // have changed them.
    int merge_nested(Level &level, PyObject *key, Values fused,
                     NestedDicts *nested);
    // What _rmerge is bound to, as the lookup in the module would find it.
    Ref lookup_rmerge(Level &level);

    // the merge's, for every level
    Binding binding;
};

// Merges second_dict into first_dict, both held by the caller; false with
// an exception set and the levels' traceback entries.
bool
rmerge(PyObject *first_dict, PyObject *second_dict)
{
    Core core;
    return boundary::MergeDriver<Core>(core, internals::recursion_state())
        .merge(first_dict, second_dict);
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

int
Core::merge_key(Level &level, PyObject *key, Ref *held, NestedDicts *nested)
{
    using namespace rmerge_line;
    if (!*held) {
        *held = Ref::new_ref(key);
    }
    level.window.close();
    PyObject *first_dict = level.first.get();
    PyObject *second_dict = level.second.get();
    switch (both_dictionaries(first_dict, second_dict, key)) {
    case Both::error:
        return test;
    case Both::yes:
        return merge_nested(level, key, Values(), nested);
    case Both::no:
        break;
    }
    Ref value = boundary::item_for_key(second_dict, key);
    if (!value || PyObject_SetItem(first_dict, key, value.get()) != 0) {
        return replace;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The nested call

Ref
Core::lookup_rmerge(Level &level)
{
    PyObject *globals = record.state.globals;
    const uint64_t version =
        namespace_watched ? internals::dict_version(globals) : 0;
    if (binding.callee && version == binding.version) {
        return Ref::new_ref(binding.callee.get());
    }
    FusionWindow &window = level.window;
    const bool plain = boundary::has_only_plain_keys(globals);
    if (!plain) {
        window.close();
    }
    PyObject *found;
    int in_namespace = PyDict_GetItemRef(globals, constants.rmerge, &found);
    if (in_namespace <= 0) {
        window.close();
        return in_namespace < 0
                   ? Ref()
                   : boundary::lookup_builtin(record, constants.rmerge);
    }
    Ref callee = Ref::steal(found);
    if (namespace_watched && plain) {
        binding.callee = Ref::new_ref(found);
        binding.version = version;
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

int
Core::merge_nested(Level &level, PyObject *key, Values fused,
                   NestedDicts *nested)
{
    FusionWindow &window = level.window;
    Ref callee = lookup_rmerge(level);
    if (!callee) {
        return rmerge_line::nested;
    }
    // unused fused values are still held to the end, as fetched ones are
    Values fetched;
    const bool use_fused = fused.first && window.is_open();
    if (!use_fused) {
        window.close();
        fetched = fetch_values(level.first.get(), level.second.get(), key);
        if (!fetched.second) {
            return rmerge_line::nested;
        }
    }
    Values &values = use_fused ? fused : fetched;
    if (!function_has_def(callee.get(), &rmerge_def)) {
        window.close();
        Ref result = boundary::call_guarded(callee.get(), values.first.get(),
                                            values.second.get());
        return result ? 0 : rmerge_line::nested;
    }
    // our own _rmerge: its merge is the nested level, which shares this
    // level's window
    nested->first = std::move(values.first);
    nested->second = std::move(values.second);
    nested->shares_window = true;
    if (!use_fused) {
        level.call.fused_values = std::move(fused);
    }
    level.call.callee = std::move(callee);
    return 0;
}

// Binds the merge to what _rmerge is, where the namespace holds plain keys
// only: the lookup runs no code there, so nobody can tell it was made
// before the nested calls that a run stands for.
RunPolicy
Core::run_policy()
{
    PyObject *globals = record.state.globals;
    if (namespace_watched) {
        Ref found;
        uint64_t version;
        {
            // Another thread counts its change of the namespace under the
            // namespace's lock, before it makes it: the count and the lookup
            // are read as of one moment under that lock.
            sync::ObjectGuard guard(globals);
            version = internals::dict_version(globals);
            if (!(binding.callee && version == binding.version) &&
                boundary::has_only_plain_keys_now(globals)) {
                PyObject *callee;
                if (PyDict_GetItemRef(globals, constants.rmerge, &callee) >
                    0) {
                    found = Ref::steal(callee);
                }
            }
        }
        assert(!PyErr_Occurred());
        if (found) {
            binding.callee = std::move(found);
            binding.version = version;
        }
    }
    return RunPolicy(binding);
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
