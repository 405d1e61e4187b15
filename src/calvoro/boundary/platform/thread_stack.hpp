// thread_stack.hpp: the bounds of the calling thread's native stack, as
// each operating system tells them.
#pragma once

#include "../api/python.hpp"

namespace calvoro::platform {

// The calling thread's native stack: its lowest address and its size.
// False where the platform does not tell.
bool thread_stack(uintptr_t *lowest, size_t *size);

}  // namespace calvoro::platform
