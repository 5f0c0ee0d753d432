// memory_floor.h - the least a per-frame pass can cost: reading, once, the
// frame bytes that the areas' 3x3 neighbourhoods cover.
#ifndef TARVOCOIL_BENCH_MEMORY_FLOOR_H
#define TARVOCOIL_BENCH_MEMORY_FLOOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench/scenes.h"

namespace bench {

struct ByteRun {
    size_t offset;
    size_t length;
};

struct ByteRuns {
    std::vector<ByteRun> runs;  // in memory order, not overlapping
    size_t bytes = 0;
    int64_t samples = 0;        // grid positions of all areas
};

// For every grid row of every area, the three frame rows of its
// neighbourhoods from the first sample's left neighbour to the last
// sample's right neighbour; overlaps between areas counted once.
ByteRuns NeighbourhoodRuns(const AreaSet& set, int32_t width, int32_t height, int32_t stride);

// Reads every byte of the runs with a simple vector loop; returns a value
// made of all of them so that nothing can be skipped.
uint64_t ReadRuns(const uint8_t* frame, const ByteRuns& runs);

}  // namespace bench

#endif
