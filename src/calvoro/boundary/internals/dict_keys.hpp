// dict_keys.hpp: the interpreter's dict keys table, read directly: the
// kind of lookup it makes, and the items of a unicode table.
//
// The layout is struct _dictkeysobject (Objects/dict-common.h up to 3.10,
// Include/internal/pycore_dict.h from 3.11), known from 3.6 to 3.15, and
// the names are the interpreter's, so that each read can be held against
// the matching dictobject.c. What the kinds mean is learned at import, when
// the direct reads are also checked against the calls they replace: a
// table that is read wrongly is not read at all.
#pragma once

#include "../api/python.hpp"
#include "../platform/compiler.hpp"

#include <cstring>

namespace calvoro::internals {

// Whether dict_lookup_kind can be read. On a free-threaded build another
// thread may swap a dict's table at any moment: there the kind and the
// table are read only under the dict's lock.
inline constexpr bool has_dict_lookup_kind = !CALVORO_PORTABLE;

#if !CALVORO_PORTABLE
namespace detail {

// The head of the table, up to dk_indices, the hash index that the entries
// follow. How keys are looked up: dk_kind from 3.11 (bpo-46845), the lookup
// function dk_lookup before.
struct DictKeysObject {
    Py_ssize_t dk_refcnt;
#if CALVORO_PY311
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
#if CALVORO_FREE_THREADED
    PyMutex dk_mutex;
#endif
    uint32_t dk_version;
#else
    Py_ssize_t dk_size;
    void *dk_lookup;  // dict_lookup_func
#endif
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};

// An entry of a unicode table: PyDictUnicodeEntry from 3.11, which keeps
// no hash; before, PyDictKeyEntry, which every table has.
struct DictUnicodeEntry {
#if !CALVORO_PY311
    Py_hash_t me_hash;
#endif
    PyObject *me_key;
    PyObject *me_value;
};

inline const DictKeysObject *
dict_keys(PyObject *dict) noexcept
{
    return reinterpret_cast<const DictKeysObject *>(
        reinterpret_cast<PyDictObject *>(dict)->ma_keys);
}

inline const char *
dk_indices(const DictKeysObject *dk) noexcept
{
    return reinterpret_cast<const char *>(dk + 1);
}

// DK_UNICODE_ENTRIES (DK_ENTRIES up to 3.10).
inline const DictUnicodeEntry *
dk_unicode_entries(const DictKeysObject *dk) noexcept
{
#if CALVORO_PY311
    return reinterpret_cast<const DictUnicodeEntry *>(
        dk_indices(dk) + (size_t(1) << dk->dk_log2_index_bytes));
#else
    // DK_IXSIZE: an index entry is as wide as the table's size needs
    const Py_ssize_t size = dk->dk_size;
    const size_t width = size <= 0xff                    ? 1
                         : size <= 0xffff                ? 2
                         : int64_t(size) <= 0xffffffffLL ? 4
                                                         : 8;
    return reinterpret_cast<const DictUnicodeEntry *>(dk_indices(dk) +
                                                      size_t(size) * width);
#endif
}

// A str's cached hash, -1 until computed; another thread may be storing
// it on a free-threaded build.
inline Py_hash_t
unicode_hash(PyObject *text) noexcept
{
    auto *ascii = reinterpret_cast<PyASCIIObject *>(text);
#if CALVORO_FREE_THREADED
    return _Py_atomic_load_ssize_relaxed(&ascii->hash);
#else
    return ascii->hash;
#endif
}

}  // namespace detail
#endif

// Learned once, where no merge runs, from dicts of known keys
// (learn_lookup_kinds): whether the kinds read as expected, and the kind of
// the general lookup (DICT_KEYS_GENERAL, or lookdict), which any key but an
// exact str brings and which stays when that key is removed. Every other
// kind is a unicode table's, which holds exact str keys only
// (DK_IS_UNICODE). The general kind is set first: lookup_kinds_known
// vouches for it.
extern bool lookup_kinds_known;
extern uintptr_t general_lookup_kind;

// Learns what the kinds mean and checks the direct reads below against the
// calls they replace; when either fails (or the kind cannot be read at
// all), lookup_kinds_known stays false. Never fails.
void learn_lookup_kinds();

// How the interpreter looks up keys in an exact dict, as a number that it
// changes when the dict stops holding exact str keys only. 0 where it
// cannot be read.
inline uintptr_t
dict_lookup_kind([[maybe_unused]] PyObject *dict)
{
#if CALVORO_PORTABLE
    return 0;
#else
    const detail::DictKeysObject *dk = detail::dict_keys(dict);
#if CALVORO_PY311
    return dk->dk_kind;
#else
    return reinterpret_cast<uintptr_t>(dk->dk_lookup);
#endif
#endif
}

// PyDict_Next on an exact dict with a unicode table, read from the table
// where it is a combined one (ma_values null): the item and the position
// the call gives, without the call. `general`: general_lookup_kind. Until
// the reads are checked, and where they cannot be made, the call.
inline int
dict_next_unicode(PyObject *dict, Py_ssize_t *position, PyObject **key,
                  PyObject **value, [[maybe_unused]] uintptr_t general)
{
#if !CALVORO_PORTABLE
    auto *d = reinterpret_cast<PyDictObject *>(dict);
    if (d->ma_values == nullptr && dict_lookup_kind(dict) != general) {
        const detail::DictKeysObject *dk = detail::dict_keys(dict);
        const Py_ssize_t n = dk->dk_nentries;
        Py_ssize_t i = *position;
        if (i < 0) {
            return 0;
        }
        const detail::DictUnicodeEntry *entries =
            detail::dk_unicode_entries(dk);
        while (i < n && entries[i].me_value == nullptr) {
            i++;
        }
        if (i >= n) {
            return 0;
        }
        *key = entries[i].me_key;
        *value = entries[i].me_value;
        *position = i + 1;
        return 1;
    }
#endif
    return PyDict_Next(dict, position, key, value);
}

// Whether dict_get_unicode reads the table itself: from 3.11, whose
// unicode tables keep no hashes, so that a probe compares the keys' own;
// a free-threaded build's lookup is made to need no lock and pays for that
// though this one's caller holds it, a GIL build's goes through the
// general lookup's checks.
#define CALVORO_DICT_GET_UNICODE (!CALVORO_PORTABLE && CALVORO_PY311)
inline constexpr bool has_dict_get_unicode = CALVORO_DICT_GET_UNICODE;

#if CALVORO_DICT_GET_UNICODE
namespace detail {

// dict_get_unicode's probe of a combined unicode table for `key`, whose
// hash is known; out of line, to keep the loops that call it small.
CALVORO_NOINLINE inline PyObject *
probe_unicode(const DictKeysObject *dk, PyObject *key, Py_hash_t hash)
{
    const char *indices = dk_indices(dk);
    const unsigned width_log2 = dk->dk_log2_index_bytes - dk->dk_log2_size;
    const DictUnicodeEntry *entries = dk_unicode_entries(dk);
    const size_t mask = (size_t(1) << dk->dk_log2_size) - 1;
    size_t perturb = size_t(hash);
    size_t i = size_t(hash) & mask;
    for (;;) {
        Py_ssize_t ix;
        switch (width_log2) {
        case 0:
            ix = reinterpret_cast<const int8_t *>(indices)[i];
            break;
        case 1:
            ix = reinterpret_cast<const int16_t *>(indices)[i];
            break;
        case 2:
            ix = reinterpret_cast<const int32_t *>(indices)[i];
            break;
        default:
            ix = Py_ssize_t(reinterpret_cast<const int64_t *>(indices)[i]);
            break;
        }
        if (ix == -1) {  // DKIX_EMPTY: the key is absent
            return nullptr;
        }
        if (ix >= 0) {
            PyObject *stored = entries[ix].me_key;
            if (stored == key) {
                return entries[ix].me_value;
            }
            if (unicode_hash(stored) == hash &&
                PyUnicode_GET_LENGTH(stored) == PyUnicode_GET_LENGTH(key) &&
                PyUnicode_KIND(stored) == PyUnicode_KIND(key) &&
                std::memcmp(PyUnicode_DATA(stored), PyUnicode_DATA(key),
                            size_t(PyUnicode_GET_LENGTH(key)) *
                                PyUnicode_KIND(key)) == 0) {
                return entries[ix].me_value;
            }
        }
        perturb >>= 5;
        i = mask & (i * 5 + perturb + 1);
    }
}

}  // namespace detail
#endif

// PyDict_GetItemWithError of an exact str `key` in an exact dict with a
// unicode table, looked up in the table where it is a combined one: probed
// as the interpreter's do_lookup probes it (dictkeys_get_index,
// PERTURB_SHIFT), keys compared as unicode_eq compares them. Checked once,
// as dict_next_unicode is; elsewhere, the call.
inline PyObject *
dict_get_unicode(PyObject *dict, PyObject *key,
                 [[maybe_unused]] uintptr_t general)
{
#if CALVORO_DICT_GET_UNICODE
    auto *d = reinterpret_cast<PyDictObject *>(dict);
    if (PyUnicode_CheckExact(key) && d->ma_values == nullptr &&
        dict_lookup_kind(dict) != general) {
        const Py_hash_t hash = detail::unicode_hash(key);
        if (hash == -1) {
            return PyDict_GetItemWithError(dict, key);
        }
        return detail::probe_unicode(detail::dict_keys(dict), key, hash);
    }
#endif
    return PyDict_GetItemWithError(dict, key);
}

#undef CALVORO_DICT_GET_UNICODE

}  // namespace calvoro::internals
