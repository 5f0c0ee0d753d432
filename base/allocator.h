// allocator.h - the one heap service the library uses.
//
// Every allocation of a detector goes through its Allocator, so that a
// failure anywhere can be handled (no exceptions cross the library
// boundary) and so that tests can make any allocation fail on purpose.
#ifndef TARVOCOIL_BASE_ALLOCATOR_H
#define TARVOCOIL_BASE_ALLOCATOR_H

#include <cstddef>
#include <cstdlib>

namespace tarvocoil {

struct Allocator {
    // Returns null when the memory cannot be had.
    void* (*allocate)(void* user, std::size_t bytes) = &systemAllocate;
    void (*release)(void* user, void* block) = &systemRelease;
    void* user = nullptr;

    void* get(std::size_t bytes) const { return allocate(user, bytes); }
    void put(void* block) const {
        if (block) release(user, block);
    }

    static void* systemAllocate(void*, std::size_t bytes) { return std::malloc(bytes ? bytes : 1); }
    static void systemRelease(void*, void* block) { std::free(block); }
};

}  // namespace tarvocoil

#endif
