// merger_core.cpp: a Merger's core, the merge driver's policy for its
// options.
//
// For each key of the later mapping, in its own order:
//     the later value is the delete marker: the key goes from the first;
//     the key is absent from the first: the value is added (rebuilt
//         without the marker's keys, or copied, as the options say);
//     both values are mappings: merged one level deeper, as a level of
//         the driver's loop;
//     else type_conflicts (where the types differ), lists, sets, tuples
//         and conflicts decide: store, keep, join or raise.
// Where the options are the merge rule's own, the levels fuse as
// tightfold's do; where they decide some values, those values' steps are
// screened out of the fused steps and made here, with one lookup of the
// first mapping. A conflict is raised once the levels have unwound, each
// adding the key it was entered under to the conflict's path.
#include "merger_core.hpp"

#include "boundary/api/versions.hpp"
#include "boundary/merge/driver.hpp"
#include "boundary/merge/key_source.hpp"
#include "boundary/merge/recursion.hpp"
#include "merger_keys.hpp"
#include "merger_module.hpp"
#include "merger_values.hpp"

#include <utility>

namespace calvoro::merger {

namespace {

using boundary::NestedDicts;
using boundary::ScreenedStore;

template <Fusing fusing, bool raises>
class Core;

// What the fused runs do with a Merger's levels: nest and store as the
// merge rule does, but for the values the options screen out, which the
// core's own step stores; a level of a merge that may raise a conflict
// holds its key for the conflict's path.
template <Fusing fusing, bool raises>
struct RunPolicy {
    static constexpr bool counts_keys = true;
    static constexpr bool holds_key = raises;
    static constexpr bool holds_callee = false;
    static constexpr bool screens_stores = fusing == Fusing::screened;

    bool
    descends(PyObject *, PyObject **) noexcept
    {
        return true;
    }
    void
    may_have_run() noexcept
    {
    }
    bool
    stores(PyObject *value) const noexcept
    {
        return core->options().stores(value);
    }
    // Borrowed arguments, as the run's walk found them.
    ScreenedStore
    store(PyObject *first_dict, PyObject *key, PyObject *value)
    {
        return core->store_screened(first_dict, key, value);
    }

    Core<fusing, raises> *core;
};

// A conflict raised by a step, kept until the levels have unwound.
struct Conflict {
    bool raised = false;
    bool of_types = false;
    // the trail could not be kept: MemoryError instead
    bool lost = false;
    Ref key;
    Ref first;
    Ref second;
    // the keys of the levels above the conflict's, innermost first
    Ref trail;
};

// `raises`: whether the options may raise a conflict.
template <Fusing fusing, bool raises>
class Core {
  public:
    struct NoCall {};
    using Level = boundary::MergeLevel<Keys, NoCall>;
    using RunPolicy = merger::RunPolicy<fusing, raises>;

    static constexpr const char *where = too_deep_where;
    static constexpr int walk_line = failed::walk;
    static constexpr int replace_line = failed::step;
    static constexpr int nested_line = failed::nested;

    explicit Core(const Options &options) noexcept : options_(options) {}

    static boundary::Fusion
    fusion_of(PyObject *first_mapping, PyObject *second_mapping)
    {
        if constexpr (fusing == Fusing::none) {
            return boundary::Fusion::none;
        }
        else {
            return boundary::level_fusion(first_mapping, second_mapping);
        }
    }
    int
    start(Level &level)
    {
        return start_level(level);
    }
    int step(Level &level, PyObject *key, Ref &held, NestedDicts *nested);
    int
    nest_fused(Level &, PyObject *key, PyObject *existing, PyObject *value,
               Ref &held, NestedDicts *nested)
    {
        if (!held) {
            held = Ref::new_ref(key);
        }
        nested->first = Ref::new_ref(existing);
        nested->second = Ref::new_ref(value);
        nested->shares_window = true;
        return 0;
    }
    RunPolicy
    run_policy() noexcept
    {
        return RunPolicy{this};
    }
    const Options &
    options() const noexcept
    {
        return options_;
    }
    // A fused run's value that the options screened out, stored by the
    // general step's decisions. The run's dict has unicode keys only, so
    // its lookup of a str key runs no code: where the options store or join
    // whatever the key holds, the value found decides at once, and the run
    // goes on without reading the kinds again unless code may have run.
    ScreenedStore
    store_screened(PyObject *first_dict, PyObject *key, PyObject *value)
    {
        const Options &options = options_;
        if (!options.blind || options.marker) {
            NestedDicts nested;
            Ref held = Ref::new_ref(key);
            const int failed = merge_value(first_dict, held.get(),
                                           Ref::new_ref(value), &nested);
            // a value screened out is not a dict where the key holds one
            assert(!nested.first);
            return failed == 0 ? ScreenedStore::may_have_run
                               : ScreenedStore::failed;
        }
        PyObject *existing = internals::dict_get_unicode(
            first_dict, key, internals::general_lookup_kind);
        if (!existing) {
            if (PyErr_Occurred()) {
                return ScreenedStore::failed;
            }
            // a str key added: nothing compared, nothing released
            return PyDict_SetItem(first_dict, key, value) == 0
                       ? ScreenedStore::quiet
                       : ScreenedStore::failed;
        }
        const Join join = options.type_conflicts != Join::none &&
                                  Py_TYPE(existing) != Py_TYPE(value)
                              ? options.type_conflicts
                              : options.join_of(existing, value);
        // held elsewhere, `existing` is not freed by the store; without the
        // global lock another thread may drop its reference at any moment.
        // (Its items are not scanned: that costs more than reading the
        // kinds again.)
        const bool quiet_release =
            !CALVORO_FREE_THREADED && Py_REFCNT(existing) > 1;
        switch (join) {
        case Join::none:
        case Join::replace:
            if (PyDict_SetItem(first_dict, key, value) != 0) {
                return ScreenedStore::failed;
            }
            return quiet_release ? ScreenedStore::quiet
                                 : ScreenedStore::may_have_run;
        case Join::keep:
            return ScreenedStore::quiet;
        case Join::error:
            break;
        case Join::append:
        case Join::prepend:
        case Join::append_unique:
        case Join::append_rp:
        case Join::prepend_rp:
        case Join::union_:
        case Join::intersect: {
            // held: a join may run code
            Ref held_key = Ref::new_ref(key);
            const Ref first_value = Ref::new_ref(existing);
            const Ref second_value = Ref::new_ref(value);
            Ref result =
                joined(options, join, first_value.get(), second_value.get());
            if (!result || PyDict_SetItem(first_dict, held_key.get(),
                                          result.get()) != 0) {
                return ScreenedStore::failed;
            }
            // the new list or tuple may have collected garbage, up to 3.11
            const bool concatenated =
                !compat::allocation_may_collect &&
                (join == Join::append || join == Join::prepend) &&
                concatenates_plainly(existing, value);
            return concatenated && quiet_release ? ScreenedStore::quiet
                                                 : ScreenedStore::may_have_run;
        }
        }
        assert(!"blind options raise no conflict");
        return ScreenedStore::failed;
    }
    bool
    stores(PyObject *value) const noexcept
    {
        return options_.stores(value);
    }
    void drop_call(Level &caller);
    void
    add_entry(int) noexcept
    {
    }

    // After a failed merge: the conflict a step raised, in place of the
    // exception that stood for it while the levels unwound.
    void raise_conflict(PyObject *conflict_type);

  private:
    int merge_value(PyObject *first_mapping, PyObject *key, Ref value,
                    NestedDicts *nested);
    int put(PyObject *first_mapping, PyObject *key, PyObject *value);
    int conflict(PyObject *key, Ref existing, Ref value, bool of_types);

    const Options &options_;
    Conflict conflict_;
};

template <Fusing fusing, bool raises>
int
Core<fusing, raises>::step(Level &level, PyObject *key, Ref &held,
                           NestedDicts *nested)
{
    level.window.close();
    Ref value =
        walked_value(level.second.get(), key, held, level.keys.walked());
    if (!value) {
        return failed::step;
    }
    return merge_value(level.first.get(), held.get(), std::move(value),
                       nested);
}

template <Fusing fusing, bool raises>
int
Core<fusing, raises>::merge_value(PyObject *first_mapping, PyObject *key,
                                  Ref value, NestedDicts *nested)
{
    const Options &options = options_;
    PyObject *b = value.get();
    if (b == options.marker) {
        return discard(first_mapping, key) ? 0 : failed::step;
    }
    Ref existing;
    switch (lookup(first_mapping, key, &existing)) {
    case Found::error:
        return failed::step;
    case Found::no:
        return put(first_mapping, key, b);
    case Found::yes:
        break;
    }
    PyObject *a = existing.get();
    Found both = is_mapping(options, a);
    if (both == Found::yes) {
        both = is_mapping(options, b);
    }
    switch (both) {
    case Found::error:
        return failed::step;
    case Found::yes:
        nested->first = std::move(existing);
        nested->second = std::move(value);
        return 0;
    case Found::no:
        break;
    }
    const bool of_types =
        options.type_conflicts != Join::none && Py_TYPE(a) != Py_TYPE(b);
    const Join join =
        of_types ? options.type_conflicts : options.join_of(a, b);
    switch (join) {
    case Join::none:
    case Join::replace:
        return put(first_mapping, key, b);
    case Join::keep:
        return 0;
    case Join::error:
        return conflict(key, std::move(existing), std::move(value), of_types);
    case Join::append:
    case Join::prepend:
    case Join::append_unique:
    case Join::append_rp:
    case Join::prepend_rp:
    case Join::union_:
    case Join::intersect:
        break;
    }
    Ref result = joined(options, join, a, b);
    return result && store(first_mapping, key, result.get()) ? 0
                                                             : failed::step;
}

template <Fusing fusing, bool raises>
int
Core<fusing, raises>::put(PyObject *first_mapping, PyObject *key,
                          PyObject *value)
{
    if (!options_.marker && !options_.copy) {
        return store(first_mapping, key, value) ? 0 : failed::step;
    }
    Ref result = added(options_, value);
    return result && store(first_mapping, key, result.get()) ? 0
                                                             : failed::step;
}

template <Fusing fusing, bool raises>
int
Core<fusing, raises>::conflict(PyObject *key, Ref existing, Ref value,
                               bool of_types)
{
    conflict_.raised = true;
    conflict_.of_types = of_types;
    conflict_.key = Ref::new_ref(key);
    conflict_.first = std::move(existing);
    conflict_.second = std::move(value);
    // stands for the conflict while the levels unwind
    PyErr_SetNone(PyExc_ValueError);
    return failed::step;
}

template <Fusing fusing, bool raises>
void
Core<fusing, raises>::drop_call(Level &caller)
{
    Conflict &c = conflict_;
    if (!c.raised || c.lost) {
        return;
    }
    // the exception that stands for the conflict stays pending
    SavedError saved;
    if (!c.trail) {
        c.trail = Ref::steal(PyList_New(0));
    }
    PyObject *key = caller.key ? caller.key.get() : Py_None;
    if (!c.trail || PyList_Append(c.trail.get(), key) != 0) {
        PyErr_Clear();
        c.lost = true;
    }
}

template <Fusing fusing, bool raises>
void
Core<fusing, raises>::raise_conflict(PyObject *conflict_type)
{
    Conflict &c = conflict_;
    if (!c.raised) {
        return;
    }
    PyErr_Clear();
    if (c.lost) {
        PyErr_NoMemory();
        return;
    }
    const Py_ssize_t above = c.trail ? PyList_GET_SIZE(c.trail.get()) : 0;
    Ref path = Ref::steal(PyTuple_New(above + 1));
    if (!path) {
        return;
    }
    for (Py_ssize_t i = 0; i < above; i++) {
        PyObject *key = PyList_GET_ITEM(c.trail.get(), above - 1 - i);
        PyTuple_SET_ITEM(path.get(), i, Py_NewRef(key));
    }
    PyTuple_SET_ITEM(path.get(), above, c.key.release());
    Ref error = conflict_error(conflict_type, c.of_types, path.get(),
                               c.first.get(), c.second.get());
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                        error.get());
    }
}

template <Fusing fusing, bool raises>
bool
merge_with(const Options &options, PyObject *conflict_type,
           PyObject *first_mapping, PyObject *second_mapping,
           PyThreadState *ts)
{
    using Core = merger::Core<fusing, raises>;
    Core core(options);
    if (boundary::MergeDriver<Core>(core, ts).merge(first_mapping,
                                                    second_mapping)) {
        return true;
    }
    core.raise_conflict(conflict_type);
    return false;
}

}  // namespace

bool
merge_into(const Options &options, PyObject *conflict_type,
           PyObject *first_mapping, PyObject *second_mapping)
{
    assert(!PyErr_Occurred());
    RecursionGuard guard(too_deep_where);
    if (!guard) {
        return false;
    }
    PyThreadState *ts = guard.thread_state();
    switch (options.fusing) {
    case Fusing::plain:
        return merge_with<Fusing::plain, false>(
            options, conflict_type, first_mapping, second_mapping, ts);
    case Fusing::screened:
        // a run's levels hold their keys only for a conflict's path
        return options.raises ? merge_with<Fusing::screened, true>(
                                    options, conflict_type, first_mapping,
                                    second_mapping, ts)
                              : merge_with<Fusing::screened, false>(
                                    options, conflict_type, first_mapping,
                                    second_mapping, ts);
    case Fusing::none:
        break;
    }
    return merge_with<Fusing::none, true>(options, conflict_type,
                                          first_mapping, second_mapping, ts);
}

}  // namespace calvoro::merger
