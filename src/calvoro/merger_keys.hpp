// merger_keys.hpp: what the Merger's cores and walks share of a level: the
// keys of its later mapping, its start, the value of each key, and the
// lines a failed step returns to the driver.
#pragma once

#include "boundary/merge/key_source.hpp"

namespace calvoro::merger {

// What a failed step returns to the driver, which adds no traceback entry
// for them.
namespace failed {
constexpr int walk = 1;
constexpr int step = 2;
constexpr int nested = 3;
}  // namespace failed

// The keys of a level's later mapping, with the value that a dict's walk
// gives for the last one: the general step takes it from there.
class Keys {
    using KeySource = boundary::KeySource;

  public:
    using Step = KeySource::Step;

    explicit Keys(PyObject *second_mapping) noexcept : source_(second_mapping)
    {
    }
    Step
    next(PyObject **key, Ref *held, PyObject **value)
    {
        const Step step = source_.next(key, held, value);
        walked_ = *value;
        return step;
    }
    boundary::DictPlace &
    place() noexcept
    {
        return source_.place();
    }
    KeySource::Kind
    kind() const noexcept
    {
        return source_.kind();
    }
    bool
    start()
    {
        return source_.start();
    }
    // second_mapping[key] of the last key, borrowed, where the walk gave
    // it; good until code runs.
    PyObject *
    walked() const noexcept
    {
        return walked_;
    }

  private:
    KeySource source_;
    PyObject *walked_ = nullptr;
};

// The value under `key`, which a walk of `mapping` just gave: the one a
// dict's walk read with it, else mapping[key]. The key is held first, as
// the lookup may run code.
inline Ref
walked_value(PyObject *mapping, PyObject *key, Ref &held, PyObject *walked)
{
    if (!held) {
        held = Ref::new_ref(key);
    }
    return walked ? Ref::new_ref(walked)
                  : boundary::item_for_key(mapping, held.get());
}

// A driver level's start: an iterator's walk begins, which may run code,
// so the level's window closes. 0, or failed::walk with an exception set.
template <typename Level>
int
start_level(Level &level)
{
    if (level.keys.kind() != boundary::KeySource::Kind::iterator) {
        return 0;
    }
    level.window.close();
    return level.keys.start() ? 0 : failed::walk;
}

}  // namespace calvoro::merger
