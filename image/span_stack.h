// span_stack.h - SpanStack: the seed fill's stack of pending spans.
//
// Entries live in a pool owned by the detector and reused from fill to
// fill, so a frame's fills take no heap memory once the pool has grown to
// the largest stack seen. Which entry a pop gives out is part of the fill's
// behaviour (it shapes the measured box), not a detail: see pop().
#ifndef TARVOCOIL_IMAGE_SPAN_STACK_H
#define TARVOCOIL_IMAGE_SPAN_STACK_H

#include <cstdint>

#include "base/allocator.h"

namespace tarvocoil {

// A run (or part of one) of row `row` whose neighbour row row + dir is
// still to be explored. left may exceed right.
struct PendingSpan {
    int16_t left;
    int16_t right;
    int16_t row;
    int16_t dir;
};

class SpanStack {
public:
    SpanStack() = default;
    SpanStack(const SpanStack&) = delete;
    SpanStack& operator=(const SpanStack&) = delete;

    // Empties the stack for a new fill on a plane of `rows` rows; keeps the
    // pool. Entries of rows 0..rows are found through a per-row index.
    void reset(const Allocator& alloc, int32_t rows);
    // Puts a span on top. False when no entry could be had: the span is
    // dropped and the fill goes on without it.
    bool push(const Allocator& alloc, PendingSpan span);
    bool empty() const { return top_ < 0; }
    // Takes the first entry below the top whose row equals the row of the
    // entry given out last; when there is none, the top entry. The top
    // entry itself is never compared.
    PendingSpan pop();
    // Frees the pool.
    void release(const Allocator& alloc);

    int32_t poolSize() const { return capacity_; }
    // True when a fill on a plane of `rows` rows could reset the stack and
    // push `entries` spans without asking the allocator for memory.
    bool holds(int32_t rows, int32_t entries) const { return rows + 1 <= indexRows_ && entries <= capacity_; }
    // Finds the entry to pop by walking the stack, as the rule reads,
    // instead of through the per-row index (for tests of the index).
    void useLinearSearch(bool on) { linear_ = on; }

private:
    struct Node {
        PendingSpan span;
        int32_t below;     // next entry toward the bottom of the stack
        int32_t above;     // next entry toward the top
        int32_t olderRow;  // next older entry of the same row
        int32_t newerRow;  // next newer entry of the same row
    };
    bool grow(const Allocator& alloc);
    int32_t findLinear() const;
    int32_t findIndexed() const;
    void unlink(int32_t i);
    void clear();

    Node* nodes_ = nullptr;
    // Newest stacked entry of each row, -1 for none: the entry a pop wants
    // is found without walking a deep stack (a comb-shaped light mask would
    // otherwise cost seconds). Every row list is empty again when a fill's
    // stack runs empty. Without an index (no memory, or a row outside it)
    // the fill walks the stack.
    int32_t* rowHead_ = nullptr;
    int32_t indexRows_ = 0;
    bool indexed_ = false;  // index valid for the current fill
    int32_t capacity_ = 0;  // nodes in the pool
    int32_t fresh_ = 0;     // nodes never handed out in this fill
    int32_t top_ = -1;
    int32_t free_ = -1;
    int16_t lastRow_ = -1;
    bool linear_ = false;
};

}  // namespace tarvocoil

#endif
