// python.hpp: the interpreter's headers, and the flags that say which
// interpreter a build is for, each defined once here.
//
// Every source file includes this (through its own header) before any
// system header: pyconfig.h sets feature macros (_POSIX_C_SOURCE,
// _XOPEN_SOURCE) that the system headers must see first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#define CALVORO_PY37 (PY_VERSION_HEX >= 0x03070000)
#define CALVORO_PY38 (PY_VERSION_HEX >= 0x03080000)
#define CALVORO_PY39 (PY_VERSION_HEX >= 0x03090000)
#define CALVORO_PY311 (PY_VERSION_HEX >= 0x030B0000)
#define CALVORO_PY312 (PY_VERSION_HEX >= 0x030C0000)

// Private layouts (the thread state's recursion counter, the dict keys
// table's head and entries) were checked against the headers of 3.6 to
// 3.15. A newer interpreter takes the portable route: public API only,
// nothing fused that needs a private read. CALVORO_PORTABLE=1 forces that
// route on any version, so that it is tested before a release needs it.
#ifndef CALVORO_PORTABLE
#define CALVORO_PORTABLE (PY_VERSION_HEX >= 0x03100000)
#endif

// Free-threaded builds (PEP 703, from 3.13): no global lock, so the dicts
// and lists a merge reads may change under it at any moment. Only this
// file, sync/ and internals/ test it with the preprocessor; elsewhere it is
// a constant of ordinary conditions, and locks are sync/'s classes.
#ifdef Py_GIL_DISABLED
#define CALVORO_FREE_THREADED 1
#else
#define CALVORO_FREE_THREADED 0
#endif
