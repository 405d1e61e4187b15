// dict_version.hpp: a number that tells whether a dict has changed: the
// dict's own version tag, or a count kept by a dict watcher.
#pragma once

#include "../api/python.hpp"

namespace calvoro::internals {

// A number that changes whenever a dict changes, once watch_dict has said
// it can be had for that dict: up to 3.11 the dict's own version tag
// (PEP 509), a private read; from 3.12, where the tag is deprecated, a
// count of the changes that a dict watcher sees (gh-91052), of every dict
// watched. watch_dict never fails: false means no such number.
bool watch_dict(PyObject *dict);

#if CALVORO_PY312
namespace detail {
uint64_t watched_changes();
}  // namespace detail
#endif

inline uint64_t
dict_version([[maybe_unused]] PyObject *dict)
{
#if CALVORO_PY312
    return detail::watched_changes();
#elif !CALVORO_PORTABLE
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

}  // namespace calvoro::internals
