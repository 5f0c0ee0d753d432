// ptr_vector.h - PtrVector: an ordered, growable list of pointers.
//
// Growth doubles the size (capacities 1, 2, 4, 8, ...); clearing keeps the
// block for the next appends, so replacing a set of areas of the same size
// takes no new block. The list does not own its pointees: the owner frees
// them before clearing. Memory comes from the detector's Allocator, and a
// failed append says so instead of throwing.
#ifndef TARVOCOIL_AREAS_PTR_VECTOR_H
#define TARVOCOIL_AREAS_PTR_VECTOR_H

#include <cstdint>
#include <cstring>

#include "base/allocator.h"

namespace tarvocoil {

template <typename T>
class PtrVector {
public:
    PtrVector() = default;
    PtrVector(const PtrVector&) = delete;
    PtrVector& operator=(const PtrVector&) = delete;

    // False when a larger block could not be had; the list is unchanged.
    bool append(const Allocator& alloc, T* item) {
        if (size_ == capacity_) {
            std::size_t grown = capacity_ == 0 ? 1 : 2 * size_;
            T** block = static_cast<T**>(alloc.get(grown * sizeof(T*)));
            if (!block) return false;
            if (size_) std::memcpy(block, items_, size_ * sizeof(T*));
            alloc.put(items_);
            items_ = block;
            capacity_ = grown;
        }
        items_[size_++] = item;
        return true;
    }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    T* operator[](std::size_t i) const { return items_[i]; }
    T** begin() const { return items_; }
    T** end() const { return items_ + size_; }

    // Drops every entry; keeps the block.
    void clear() { size_ = 0; }
    // Drops every entry and the block.
    void discard(const Allocator& alloc) {
        alloc.put(items_);
        items_ = nullptr;
        size_ = capacity_ = 0;
    }
    // Removes the last entry (used to undo a half-built append).
    T* popBack() { return size_ ? items_[--size_] : nullptr; }

private:
    T** items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tarvocoil

#endif
