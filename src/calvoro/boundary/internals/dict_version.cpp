// dict_version.cpp: the dict watcher that counts changes, from 3.12.
#include "dict_version.hpp"

#include <atomic>

namespace calvoro::internals {

#if CALVORO_PY312
namespace {

// Any thread may change a watched dict on a free-threaded build.
std::atomic<uint64_t> changes{0};
int watcher = -1;

int
count_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *)
{
    changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace

uint64_t
detail::watched_changes()
{
    return changes.load(std::memory_order_relaxed);
}

bool
watch_dict(PyObject *dict)
{
    // the interpreter has a few watcher slots; without one, no number
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(count_change);
    }
    if (watcher < 0 || PyDict_Watch(watcher, dict) != 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}
#else
bool
watch_dict(PyObject *)
{
    return !CALVORO_PORTABLE;
}
#endif

}  // namespace calvoro::internals
