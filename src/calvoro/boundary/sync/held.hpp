// held.hpp: references that only a free-threaded build takes.
//
// With the global lock, an object read from a container stays alive while
// no Python code runs, since the container holds it. Without it, another
// thread may take it out and drop it at any moment, so the reader holds a
// reference of its own. HeldRef is that reference on a free-threaded build
// and nothing with the global lock: declared CALVORO_NO_UNIQUE_ADDRESS, a
// member of its type takes no room there.
#pragma once

#include "../api/ref.hpp"
#include "../platform/compiler.hpp"

#include <utility>

namespace calvoro::sync {

class HeldRef {
  public:
    HeldRef() noexcept = default;
    // A new reference to `obj` (borrowed, or null) where one is needed.
    static HeldRef
    new_ref([[maybe_unused]] PyObject *obj) noexcept
    {
#if CALVORO_FREE_THREADED
        return HeldRef(Ref::new_ref(obj));
#else
        return HeldRef();
#endif
    }
    HeldRef(HeldRef &&) noexcept = default;
    HeldRef &operator=(HeldRef &&) noexcept = default;
    HeldRef(const HeldRef &) = delete;
    HeldRef &operator=(const HeldRef &) = delete;

  private:
#if CALVORO_FREE_THREADED
    explicit HeldRef(Ref ref) noexcept : ref_(std::move(ref)) {}
    Ref ref_;
#endif
};

}  // namespace calvoro::sync
