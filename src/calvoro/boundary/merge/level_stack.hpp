// level_stack.hpp: the levels of a nested walk, kept on the heap so that
// depth costs no native stack.
//
// Levels live in chunks that never move: a reference to a level stays good
// while levels above it come and go. The first chunk is part of the stack
// object; one emptied chunk is kept, so that a walk going back and forth
// across a chunk's edge does not allocate each time.
#pragma once

#include <new>
#include <utility>

#include "../api/python.hpp"

namespace calvoro::boundary {

template <typename Level, int chunk_levels = 16>
class LevelStack {
  public:
    LevelStack() noexcept = default;
    LevelStack(const LevelStack &) = delete;
    LevelStack &operator=(const LevelStack &) = delete;
    ~LevelStack()
    {
        while (depth_ > 0) {
            pop();
        }
        PyMem_Free(spare_);
    }

    size_t
    depth() const noexcept
    {
        return depth_;
    }
    bool
    empty() const noexcept
    {
        return depth_ == 0;
    }
    Level &
    top() noexcept
    {
        assert(depth_ > 0);
        return *top_;
    }

    // Calls visit(level) for each level, from the top down.
    template <typename Visit>
    void
    each_from_top(Visit &&visit) noexcept
    {
        Chunk *chunk = current_;
        for (int used = used_;; used = chunk_levels) {
            for (int i = used - 1; i >= 0; i--) {
                visit(chunk->at(i));
            }
            if (chunk == &first_) {
                return;
            }
            chunk = chunk->below;
        }
    }

    // Constructs a level on top; nullptr with MemoryError set when no chunk
    // could be had.
    template <typename... Args>
    Level *
    push(Args &&...args)
    {
        if (used_ == chunk_levels) {
            Chunk *next =
                spare_ ? spare_
                       : static_cast<Chunk *>(PyMem_Malloc(sizeof(Chunk)));
            if (!next) {
                PyErr_NoMemory();
                return nullptr;
            }
            spare_ = nullptr;
            next->below = current_;
            current_ = next;
            used_ = 0;
        }
        top_ = new (current_->slot(used_)) Level(std::forward<Args>(args)...);
        used_++;
        depth_++;
        return top_;
    }

    void
    pop() noexcept
    {
        assert(depth_ > 0);
        top_->~Level();
        used_--;
        depth_--;
        if (used_ > 0) {
            top_ = &current_->at(used_ - 1);
            return;
        }
        top_ = nullptr;
        if (current_ != &first_) {
            Chunk *emptied = current_;
            current_ = emptied->below;
            used_ = chunk_levels;
            PyMem_Free(spare_);
            spare_ = emptied;
            top_ = &current_->at(used_ - 1);
        }
    }

  private:
    struct Chunk {
        Chunk *below;
        alignas(Level) unsigned char slots[chunk_levels * sizeof(Level)];

        void *
        slot(int i) noexcept
        {
            return slots + i * sizeof(Level);
        }
        Level &
        at(int i) noexcept
        {
            return *std::launder(reinterpret_cast<Level *>(slot(i)));
        }
    };

    Chunk first_;
    Chunk *current_ = &first_;
    Chunk *spare_ = nullptr;
    Level *top_ = nullptr;
    int used_ = 0;
    size_t depth_ = 0;
};

}  // namespace calvoro::boundary
