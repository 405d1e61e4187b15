// compiler.hpp: what differs between the compilers and platforms that build
// the modules: exporting the entry points, the frame's address, hints for
// the optimizer, and members that take no room.
#pragma once

#include "../api/python.hpp"

// The modules' entry points, which a build with hidden visibility must
// still export. PyMODINIT_FUNC does so on Windows (dllexport) on every
// version, elsewhere from 3.9 (bpo-11410); before, GCC and clang are told.
#if defined(_WIN32) || PY_VERSION_HEX >= 0x03090000
#define CALVORO_MODINIT PyMODINIT_FUNC
#else
#define CALVORO_MODINIT \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// An address in the calling function's frame, to measure how much native
// stack is in use. MSVC has no __builtin_frame_address; the slot of the
// return address lies in the same frame.
#if defined(_MSC_VER)
#include <intrin.h>
#define CALVORO_FRAME_ADDRESS() _AddressOfReturnAddress()
#else
#define CALVORO_FRAME_ADDRESS() __builtin_frame_address(0)
#endif

// A branch that a hot loop seldom takes.
#if defined(_MSC_VER)
#define CALVORO_UNLIKELY(condition) (condition)
#else
#define CALVORO_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#endif

// A loop kept out of its caller, so that the registers are its own.
#if defined(_MSC_VER)
#define CALVORO_NOINLINE __declspec(noinline)
#else
#define CALVORO_NOINLINE __attribute__((noinline))
#endif

// A member that may share its address with the others, so that one of an
// empty type takes no room: standard from C++20 and honoured by GCC and
// clang in C++17 too; MSVC honours only its own spelling. Elsewhere such a
// member keeps a byte of its own.
#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(msvc::no_unique_address)
#define CALVORO_NO_UNIQUE_ADDRESS [[msvc::no_unique_address]]
#elif __has_cpp_attribute(no_unique_address)
#define CALVORO_NO_UNIQUE_ADDRESS [[no_unique_address]]
#endif
#endif
#ifndef CALVORO_NO_UNIQUE_ADDRESS
#define CALVORO_NO_UNIQUE_ADDRESS
#endif
