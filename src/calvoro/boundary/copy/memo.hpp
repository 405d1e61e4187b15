// memo.hpp: the native copy's memo, originals and their copies by
// identity, as deepcopy's memo dict keeps them.
#pragma once

#include <cstdint>

#include "../api/ref.hpp"

namespace calvoro::boundary::native_copy {

// Originals and their copies, both held: the real memo keeps what it
// copied alive too, so that no address is reused while the copy runs.
class Memo {
  public:
    Memo() = default;
    Memo(const Memo &) = delete;
    Memo &operator=(const Memo &) = delete;
    ~Memo()
    {
        for (size_t i = 0; i <= mask_; i++) {
            if (slots_[i].original) {
                Ref original = Ref::steal(slots_[i].original);
                Ref copy = Ref::steal(slots_[i].copy);
            }
        }
        if (slots_ != inline_slots_) {
            PyMem_Free(slots_);
        }
    }

    // The copy of `original` (borrowed), or null.
    PyObject *
    find(PyObject *original) const
    {
        for (size_t i = slot_of(original, mask_);; i = (i + 1) & mask_) {
            if (slots_[i].original == original) {
                return slots_[i].copy;
            }
            if (!slots_[i].original) {
                return nullptr;
            }
        }
    }

    // Records a copy of an original not yet recorded. False with
    // MemoryError set.
    bool
    add(PyObject *original, PyObject *copy)
    {
        if (2 * (used_ + 1) > mask_ + 1 && !grow()) {
            return false;
        }
        place(slots_, mask_, {Py_NewRef(original), Py_NewRef(copy)});
        used_++;
        return true;
    }

    // Empties every dict and list copied, so that a copy given up, cycles
    // and all, is freed with the memo. They hold plain objects only, whose
    // release runs no code.
    void
    discard_copies()
    {
        for (size_t i = 0; i <= mask_; i++) {
            PyObject *copy = slots_[i].copy;
            if (copy && PyDict_CheckExact(copy)) {
                PyDict_Clear(copy);
            }
            else if (copy && PyList_CheckExact(copy)) {
                PyList_SetSlice(copy, 0, PyList_GET_SIZE(copy), nullptr);
            }
        }
    }

  private:
    struct Slot {
        PyObject *original;
        PyObject *copy;
    };

    static size_t
    slot_of(PyObject *original, size_t mask)
    {
        auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(original));
        h = (h >> 4) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h ^ (h >> 32)) & mask;
    }

    static void
    place(Slot *slots, size_t mask, Slot slot)
    {
        size_t i = slot_of(slot.original, mask);
        while (slots[i].original) {
            i = (i + 1) & mask;
        }
        slots[i] = slot;
    }

    bool
    grow()
    {
        size_t size = 2 * (mask_ + 1);
        auto *slots = PyMem_New(Slot, size);
        if (!slots) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t i = 0; i < size; i++) {
            slots[i] = {nullptr, nullptr};
        }
        for (size_t i = 0; i <= mask_; i++) {
            if (slots_[i].original) {
                place(slots, size - 1, slots_[i]);
            }
        }
        if (slots_ != inline_slots_) {
            PyMem_Free(slots_);
        }
        slots_ = slots;
        mask_ = size - 1;
        return true;
    }

    static constexpr size_t inline_size = 32;
    Slot inline_slots_[inline_size] = {};
    Slot *slots_ = inline_slots_;
    size_t mask_ = inline_size - 1;
    size_t used_ = 0;
};

}  // namespace calvoro::boundary::native_copy
