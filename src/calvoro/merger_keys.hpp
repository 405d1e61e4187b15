// merger_keys.hpp: what the Merger's cores share of a level: the keys of
// its later mapping, and the lines a failed step returns to the driver.
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

}  // namespace calvoro::merger
