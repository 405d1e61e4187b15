// outcome.hpp: how an attempt at the native copy ends, for every step of
// it.
#pragma once

namespace calvoro::boundary::native_copy {

// copied: done, the copy where the step says; fall_back: the real call
// decides, and no exception is set; error: an exception is set.
enum class Outcome { copied, fall_back, error };

}  // namespace calvoro::boundary::native_copy
