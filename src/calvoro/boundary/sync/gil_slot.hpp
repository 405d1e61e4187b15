// gil_slot.hpp: the module slot by which a free-threaded build learns that
// a module needs no global lock.
#pragma once

#include "../api/python.hpp"

namespace calvoro::sync {

// Py_mod_gil (3.13, PEP 703): safe without the global lock, since whatever
// another thread may change is read under its own lock, or as a strong
// reference. A build with the global lock has no such slot, and there this
// one is a sentinel that ends the table: it goes last, just before the
// table's own.
#if CALVORO_FREE_THREADED
inline const PyModuleDef_Slot gil_not_used_slot = {Py_mod_gil,
                                                   Py_MOD_GIL_NOT_USED};
#else
inline constexpr PyModuleDef_Slot gil_not_used_slot = {};
#endif

}  // namespace calvoro::sync
