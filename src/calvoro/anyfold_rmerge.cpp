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
// and store are one fused dict operation (boundary/fused.hpp).
#include "anyfold_module.hpp"
#include "boundary/binding.hpp"
#include "boundary/calls.hpp"
#include "boundary/dict_walk.hpp"
#include "boundary/fused.hpp"
#include "boundary/items.hpp"
#include "boundary/recursion.hpp"

#include <utility>

namespace calvoro::anyfold {

const boundary::FunctionIdentity rmerge_function = {
    "_rmerge", "calvoro.anyfold._rmerge", 7};

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

// What a merge level may assume: its fusion window, and whether, while the
// window has stayed open, the namespace was seen to hold plain keys only.
// Only Python code could add another key, so a lookup of _rmerge there
// still runs no code and need not be prepared again. Its value is looked
// up every time: a fused store into the namespace may rebind it.
struct Calm {
    FusionWindow window;
    bool plain_namespace = false;
};

// The values under one key of both dicts, for a nested merge.
struct Values {
    Ref first;
    Ref second;
};

// Both arguments are held by the caller for the whole call. Each returns
// false with an exception set and the level's traceback entry added.
bool rmerge(PyObject *first_dict, PyObject *second_dict, Calm *calm);
// One key through the generic protocols; any step may run Python code.
bool merge_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
               Calm *calm);
// One plain key of exact dicts while the window is open: `value` is
// second_dict[key], from the walk.
bool merge_plain_key(PyObject *first_dict, PyObject *second_dict,
                     PyObject *key, PyObject *value, Calm *calm);
// _rmerge(first_dict[key], second_dict[key]), with whatever _rmerge is
// bound to. `fused`, when not empty, holds the values that the caller's
// fused lookups found; they stand for fetching again only while nothing
// can have changed them.
bool merge_nested(PyObject *first_dict, PyObject *second_dict, PyObject *key,
                  Calm *calm, Values fused);

// ---------------------------------------------------------------------------
// The walk: the keys of second_dict as iterating it yields them. Each
// source gives a new reference to the next key; the dict walk also gives
// its value, which the fused step needs.

// An exact list or tuple, by position, its length read again before each
// step.
class SequenceKeys {
  public:
    static constexpr bool gives_values = false;

    explicit SequenceKeys(PyObject *sequence) : sequence_(sequence) {}
    Step
    next(Ref *key, PyObject **)
    {
        if (i_ >= Py_SIZE(sequence_)) {
            return Step::end;
        }
        *key = boundary::item_at_index(sequence_, i_++);
        return *key ? Step::item : Step::error;
    }

  private:
    PyObject *sequence_;
    Py_ssize_t i_ = 0;
};

// An exact dict, walked by position with its iterator's checks.
class DictKeys {
  public:
    static constexpr bool gives_values = true;

    explicit DictKeys(PyObject *dictionary) : walk_(dictionary) {}
    Step
    next(Ref *key, PyObject **value)
    {
        PyObject *borrowed;
        Step step = walk_.next_counted(&borrowed, value);
        if (step == Step::item) {
            *key = Ref::new_ref(borrowed);
        }
        return step;
    }

  private:
    DictWalk walk_;
};

// Anything else, through iter() and next().
class IteratorKeys {
  public:
    static constexpr bool gives_values = false;

    explicit IteratorKeys(PyObject *iterable)
        : iterator_(Ref::steal(PyObject_GetIter(iterable)))
    {
    }
    bool
    started() const
    {
        return bool(iterator_);
    }
    Step
    next(Ref *key, PyObject **)
    {
        *key = Ref::steal(PyIter_Next(iterator_.get()));
        if (*key) {
            return Step::item;
        }
        return PyErr_Occurred() ? Step::error : Step::end;
    }

  private:
    Ref iterator_;
};

template <typename Keys>
bool
walk(PyObject *first_dict, PyObject *second_dict, Keys &keys, Calm *calm)
{
    // only a dict walk meets exact dicts on both sides, so the fused step
    // is compiled into that walk alone
    const bool fuse =
        Keys::gives_values && boundary::fusable(first_dict, second_dict);
    for (;;) {
        // held to the end of its step, as an iterator's loop holds it
        Ref key;
        PyObject *value = nullptr;
        switch (keys.next(&key, &value)) {
        case Step::error:
            return fail_at_bool(rmerge_function, rmerge_line::walk);
        case Step::end:
            return true;
        case Step::item:
            break;
        }
        bool merged =
            fuse && calm->window.is_open() && boundary::is_plain_key(key.get())
                ? merge_plain_key(first_dict, second_dict, key.get(), value,
                                  calm)
                : merge_key(first_dict, second_dict, key.get(), calm);
        if (!merged) {
            return false;
        }
    }
}

bool
rmerge(PyObject *first_dict, PyObject *second_dict, Calm *calm)
{
    assert(!PyErr_Occurred());
    assert(Py_REFCNT(first_dict) > 0 && Py_REFCNT(second_dict) > 0);
    if (PyList_CheckExact(second_dict) || PyTuple_CheckExact(second_dict)) {
        SequenceKeys keys(second_dict);
        return walk(first_dict, second_dict, keys, calm);
    }
    if (PyDict_CheckExact(second_dict)) {
        DictKeys keys(second_dict);
        return walk(first_dict, second_dict, keys, calm);
    }
    calm->window.close();
    IteratorKeys keys(second_dict);
    if (!keys.started()) {
        return fail_at_bool(rmerge_function, rmerge_line::walk);
    }
    return walk(first_dict, second_dict, keys, calm);
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
merge_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
          Calm *calm)
{
    using namespace rmerge_line;
    calm->window.close();
    switch (both_dictionaries(first_dict, second_dict, key)) {
    case Both::error:
        return fail_at_bool(rmerge_function, test);
    case Both::yes:
        return merge_nested(first_dict, second_dict, key, calm, Values());
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
merge_plain_key(PyObject *first_dict, PyObject *second_dict, PyObject *key,
                PyObject *value, Calm *calm)
{
    using Store = FusionWindow::Store;
    PyObject *existing;
    switch (calm->window.store_unless_both_dicts(first_dict, key, value,
                                                 &existing)) {
    case Store::failed:
        return fail_at_bool(rmerge_function, rmerge_line::replace);
    case Store::stored:
        return true;
    case Store::both_dicts:
        break;
    }
    // no code has run since the walk read `value`
    return merge_nested(first_dict, second_dict, key, calm,
                        {Ref::new_ref(existing), Ref::new_ref(value)});
}

// ---------------------------------------------------------------------------
// The nested call

Ref
lookup_rmerge(Calm *calm)
{
    FusionWindow &window = calm->window;
    if (window.is_open() && calm->plain_namespace) {
        PyObject *callee;
        if (PyDict_GetItemRef(record.state.globals, constants.rmerge,
                              &callee) > 0) {
            return Ref::steal(callee);
        }
        // among plain keys the lookup cannot fail: the name is gone, and the
        // full lookup below says what it is bound to now
        assert(!PyErr_Occurred());
    }
    if (window.is_open() &&
        !boundary::has_only_plain_keys(record.state.globals)) {
        window.close();
    }
    Ref callee = boundary::lookup_global(record, constants.rmerge, window);
    calm->plain_namespace = window.is_open();
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
merge_nested(PyObject *first_dict, PyObject *second_dict, PyObject *key,
             Calm *calm, Values fused)
{
    using namespace rmerge_line;
    Ref callee = lookup_rmerge(calm);
    if (!callee) {
        return fail_at_bool(rmerge_function, nested);
    }
    // unused fused values are still held to the end, as fetched ones are
    Values fetched;
    const bool use_fused = fused.first && calm->window.is_open();
    if (!use_fused) {
        calm->window.close();
        fetched = fetch_values(first_dict, second_dict, key);
        if (!fetched.second) {
            return fail_at_bool(rmerge_function, nested);
        }
    }
    Values &values = use_fused ? fused : fetched;
    if (!function_has_def(callee.get(), &rmerge_def)) {
        calm->window.close();
        Ref result = boundary::call_guarded(callee.get(), values.first.get(),
                                            values.second.get());
        return result || fail_at_bool(rmerge_function, nested);
    }
    // our own _rmerge: the same guarded call, without the tuple
    RecursionGuard guard(boundary::calling_where);
    Calm inner;
    inner.plain_namespace = calm->window.is_open() && calm->plain_namespace;
    if (!guard || !rmerge(values.first.get(), values.second.get(), &inner)) {
        return fail_at_bool(rmerge_function, nested);
    }
    calm->window.absorb(inner.window);
    // the nested merge may have left these the last references
    calm->window.release(values.first);
    calm->window.release(values.second);
    return true;
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
    Calm calm;
    if (!rmerge(dicts.first.get(), dicts.second.get(), &calm)) {
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
