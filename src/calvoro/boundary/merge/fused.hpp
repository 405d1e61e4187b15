// fused.hpp: fused dictionary lookups, and the window in which nobody can
// tell them from the per-key operations of the merge rule.
//
// For a plain key (an exact str or int) of exact dicts that hold plain keys
// alone, one PyDict_SetDefault does what `in`, two fetches and a store
// would: the result is the same, no Python code runs, so the lookups cannot
// be counted or ordered by anyone. That lasts only while no Python code has
// run since the merge level looked at its dicts, since code may put a key
// with its own __eq__ into either of them. A FusionWindow is that "since":
// open when a level starts, closed by every step that may run code, and
// closed in a caller whose nested level closed its own.
//
// Where both dicts have unicode tables (a lookup kind that holds exact str
// keys only), their kinds say so afresh at any moment: such a level reopens
// its window by reading them after code has run, and so need not know
// whether a store ran code by releasing the value it replaced. It stores a
// value that is not a dict without looking first.
#pragma once

#include "../api/ref.hpp"
#include "../api/versions.hpp"
#include "../internals/dict_keys.hpp"

namespace calvoro::boundary {

// Whether hashing and comparing `key` can run no Python code.
inline bool
is_plain_key(PyObject *key)
{
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);
}

// Whether an exact dict has a unicode table: the interpreter knows it holds
// exact str keys only.
inline bool
has_unicode_table(PyObject *dictionary)
{
    return internals::lookup_kinds_known &&
           internals::dict_lookup_kind(dictionary) !=
               internals::general_lookup_kind;
}

// Whether both exact dicts have unicode tables.
inline bool
both_have_unicode_tables(PyObject *first_dict, PyObject *second_dict)
{
    return has_unicode_table(first_dict) && has_unicode_table(second_dict);
}

// has_only_plain_keys for a dict without a unicode table: a walk.
bool scan_plain_keys(PyObject *dictionary);

// Whether every key of an exact dict is plain at the moment of asking, for
// what stays true only while the dict's version does: on a free-threaded
// build, asked under the dict's lock.
inline bool
has_only_plain_keys_now(PyObject *dictionary)
{
    assert(PyDict_CheckExact(dictionary));
    return has_unicode_table(dictionary) || scan_plain_keys(dictionary);
}

// Whether every key of an exact dict is plain, so that looking up a plain
// key in it compares built-in objects only.
inline bool
has_only_plain_keys(PyObject *dictionary)
{
    // without the global lock another thread may add any key at any time
    return !CALVORO_FREE_THREADED && has_only_plain_keys_now(dictionary);
}

// How a level may fuse the lookups of its plain keys: not at all; while its
// window stays open, both being exact dicts holding plain keys only; or
// by the unicode tables of both, which also reopen the window. A first dict
// much larger than the second is not scanned: the merge would then cost its
// size, not the second's. Inline, as every level of a merge asks.
enum class Fusion { none, window, unicode_tables };

inline Fusion
level_fusion(PyObject *first_dict, PyObject *second_dict)
{
    if (!PyDict_CheckExact(first_dict) || !PyDict_CheckExact(second_dict)) {
        return Fusion::none;
    }
    // Without the global lock the window's premise, that only code this
    // thread runs changes the dicts, holds only under their locks: a run
    // reads the lookup kinds under them, and a level whose run finds them
    // general fuses no more (LevelFusion::fuses_step).
    if (CALVORO_FREE_THREADED) {
        return internals::lookup_kinds_known ? Fusion::unicode_tables
                                             : Fusion::none;
    }
    if (both_have_unicode_tables(first_dict, second_dict)) {
        return Fusion::unicode_tables;
    }
    // The scan costs a type test per key of first_dict; fusing saves a
    // lookup and two fetches per key of second_dict, taken here to be worth
    // eight such tests. Small dicts (the constant) fuse whatever the ratio.
    Py_ssize_t second_size = PyDict_GET_SIZE(second_dict);
    if (PyDict_GET_SIZE(first_dict) > 8 * second_size + 32) {
        return Fusion::none;
    }
    return has_only_plain_keys(second_dict) && has_only_plain_keys(first_dict)
               ? Fusion::window
               : Fusion::none;
}

// Whether dropping the last reference to `obj` runs no Python code.
bool frees_quietly(PyObject *obj);

// Whether dropping one reference to `obj` runs no Python code.
inline bool
releases_quietly(PyObject *obj)
{
    return Py_REFCNT(obj) > 1 || frees_quietly(obj);
}

class FusionWindow {
  public:
    enum class Store { stored, both_dicts, failed };

    FusionWindow() noexcept = default;
    FusionWindow(const FusionWindow &) = delete;
    FusionWindow &operator=(const FusionWindow &) = delete;

    bool
    is_open() const noexcept
    {
        return open_;
    }
    // Python code may have run: the rest of the level makes the per-key
    // operations.
    void
    close() noexcept
    {
        open_ = false;
    }
    // The level has seen again that no code can run in its lookups.
    void
    reopen() noexcept
    {
        open_ = true;
    }

    // The fused step for a plain key of a fusable level, `value` being
    // second_dict[key]: stores it under `key` unless the key holds a dict
    // and `value` is one too (both_dicts, with the first one in *existing,
    // borrowed). Inline and without a reference of its own, so that
    // storing a key, the common case, costs no more than the dict's own
    // operations.
    Store
    store_unless_both_dicts(PyObject *dictionary, PyObject *key,
                            PyObject *value, PyObject **existing)
    {
        assert(open_ && !PyErr_Occurred());
        assert(PyDict_CheckExact(dictionary) && is_plain_key(key));
        switch (compat::dict_setdefault(dictionary, key, value, existing)) {
        case compat::SetDefault::failed:
            return Store::failed;
        case compat::SetDefault::stored:
            return Store::stored;
        case compat::SetDefault::found:
            break;
        }
        if (PyDict_Check(*existing) && PyDict_Check(value)) {
            return Store::both_dicts;
        }
        return replace(dictionary, key, value, *existing);
    }

    // The same step for a level whose tables reopen its window, value
    // first: one lookup for a dict value, none for anything else, which is
    // stored blindly. Its store may have released a value that ran code:
    // the window closes then, for the tables to reopen it.
    Store
    store_value_first(PyObject *dictionary, PyObject *key, PyObject *value,
                      PyObject **existing)
    {
        assert(open_ && !PyErr_Occurred());
        assert(PyDict_CheckExact(dictionary) && PyUnicode_CheckExact(key));
        if (PyDict_Check(value)) {
            *existing = PyDict_GetItemWithError(dictionary, key);
            if (*existing) {
                if (PyDict_Check(*existing)) {
                    return Store::both_dicts;
                }
                return replace(dictionary, key, value, *existing);
            }
            if (PyErr_Occurred()) {
                return Store::failed;
            }
        }
        const Py_ssize_t size = PyDict_GET_SIZE(dictionary);
        if (PyDict_SetItem(dictionary, key, value) != 0) {
            return Store::failed;
        }
        if (PyDict_GET_SIZE(dictionary) == size) {
            close();
        }
        return Store::stored;
    }

    // Releases `held`, closing the window when that may free an object
    // whose release runs Python code.
    void
    release(Ref &held)
    {
        if (held && !releases_quietly(held.get())) {
            close();
        }
        held = Ref();
    }

  private:
    // The key holds `old`, not to be merged with `value`: the store
    // releases the dict's reference to `old`.
    Store
    replace(PyObject *dictionary, PyObject *key, PyObject *value,
            PyObject *old)
    {
        if (!releases_quietly(old)) {
            close();
        }
        return PyDict_SetItem(dictionary, key, value) == 0 ? Store::stored
                                                           : Store::failed;
    }

    bool open_ = true;
};

// What a merge level may do with its window, decided when it starts; the
// window itself is the level's.
class LevelFusion {
  public:
    // `may_reopen`: whether the caller allows a level that stores blindly
    // (lets_nested_reopen).
    LevelFusion(Fusion fusion, bool may_reopen) noexcept
        : fuses_(fusion != Fusion::none),
          reopens_(may_reopen && fusion == Fusion::unicode_tables)
    {
    }

    bool
    fuses() const noexcept
    {
        return fuses_;
    }
    // Whether the tables reopen the window: a level a FusedRun may start
    // from.
    bool
    reopens() const noexcept
    {
        return reopens_;
    }

    // Whether the step of `key` may be fused, the window being reopened
    // first where the tables of both dicts still allow it.
    bool
    fuses_step(FusionWindow &window, PyObject *first_dict,
               PyObject *second_dict, PyObject *key)
    {
        // a window closed here on a free-threaded build is the run's: the
        // tables were not unicode ones under the locks
        if (CALVORO_FREE_THREADED) {
            if (!window.is_open()) {
                reopens_ = false;
            }
            return false;
        }
        if (!window.is_open() && reopens_) {
            if (both_have_unicode_tables(first_dict, second_dict)) {
                window.reopen();
            }
            else {
                reopens_ = false;
            }
        }
        // while the tables are unicode, every key of second_dict is an exact
        // str
        return window.is_open() && (reopens_ || (fuses_ && is_plain_key(key)));
    }

    // The fused step of a plain key: value first where the tables reopen
    // the window.
    FusionWindow::Store
    store(FusionWindow &window, PyObject *dictionary, PyObject *key,
          PyObject *value, PyObject **existing)
    {
        return reopens_
                   ? window.store_value_first(dictionary, key, value, existing)
                   : window.store_unless_both_dicts(dictionary, key, value,
                                                    existing);
    }

    // A level that blindly stores may run code unseen: only under a caller
    // that reopens by its tables, or that fuses no more.
    bool
    lets_nested_reopen(const FusionWindow &window) const noexcept
    {
        // no level trusts an open window without the global lock
        return CALVORO_FREE_THREADED || reopens_ || !fuses_ ||
               !window.is_open();
    }

  private:
    const bool fuses_;
    bool reopens_;
};

}  // namespace calvoro::boundary
