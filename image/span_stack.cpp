// span_stack.cpp - the pending-span stack with its row-preferring pop.
#include "image/span_stack.h"

#include <cstring>

namespace tarvocoil {

void SpanStack::clear() {
    while (top_ >= 0) unlink(top_);  // leaves every row list empty
    top_ = -1;
    free_ = -1;
    fresh_ = 0;
    lastRow_ = -1;
}

void SpanStack::reset(const Allocator& alloc, int32_t rows) {
    clear();
    if (rows + 1 > indexRows_) {
        alloc.put(rowHead_);
        rowHead_ = static_cast<int32_t*>(alloc.get(static_cast<std::size_t>(rows + 1) * sizeof(int32_t)));
        indexRows_ = rowHead_ ? rows + 1 : 0;
        if (rowHead_) std::memset(rowHead_, 0xff, static_cast<std::size_t>(indexRows_) * sizeof(int32_t));
    }
    indexed_ = rowHead_ != nullptr;
}

bool SpanStack::grow(const Allocator& alloc) {
    const int32_t grown = capacity_ == 0 ? 64 : capacity_ * 2;
    if (grown <= capacity_) return false;
    Node* block = static_cast<Node*>(alloc.get(static_cast<std::size_t>(grown) * sizeof(Node)));
    if (!block) return false;
    if (capacity_) std::memcpy(block, nodes_, static_cast<std::size_t>(capacity_) * sizeof(Node));
    alloc.put(nodes_);
    nodes_ = block;
    capacity_ = grown;
    return true;
}

bool SpanStack::push(const Allocator& alloc, PendingSpan span) {
    int32_t i;
    if (free_ >= 0) {
        i = free_;
        free_ = nodes_[i].below;
    } else {
        if (fresh_ == capacity_ && !grow(alloc)) return false;
        i = fresh_++;
    }
    Node& n = nodes_[i];
    n.span = span;
    n.below = top_;
    n.above = -1;
    if (top_ >= 0) nodes_[top_].above = i;
    top_ = i;
    n.olderRow = -1;
    n.newerRow = -1;
    if (indexed_ && (span.row < 0 || span.row >= indexRows_)) indexed_ = false;
    if (indexed_) {
        int32_t& head = rowHead_[span.row];
        n.olderRow = head;
        if (head >= 0) nodes_[head].newerRow = i;
        head = i;
    }
    return true;
}

int32_t SpanStack::findLinear() const {
    for (int32_t i = nodes_[top_].below; i >= 0; i = nodes_[i].below)
        if (nodes_[i].span.row == lastRow_) return i;
    return top_;
}

int32_t SpanStack::findIndexed() const {
    // Entries of one row are stacked in push order, so the first one below
    // the top is the newest of that row, or the one after it when the
    // newest is the top itself.
    if (lastRow_ < 0 || lastRow_ >= indexRows_) return findLinear();
    int32_t i = rowHead_[lastRow_];
    if (i == top_ && i >= 0) i = nodes_[i].olderRow;
    return i >= 0 ? i : top_;
}

void SpanStack::unlink(int32_t i) {
    Node& n = nodes_[i];
    if (n.above >= 0)
        nodes_[n.above].below = n.below;
    else
        top_ = n.below;
    if (n.below >= 0) nodes_[n.below].above = n.above;
    if (n.newerRow >= 0)
        nodes_[n.newerRow].olderRow = n.olderRow;
    else if (rowHead_ && n.span.row >= 0 && n.span.row < indexRows_ && rowHead_[n.span.row] == i)
        rowHead_[n.span.row] = n.olderRow;
    if (n.olderRow >= 0) nodes_[n.olderRow].newerRow = n.newerRow;
}

PendingSpan SpanStack::pop() {
    const int32_t taken = linear_ || !indexed_ ? findLinear() : findIndexed();
    unlink(taken);
    nodes_[taken].below = free_;
    free_ = taken;
    lastRow_ = nodes_[taken].span.row;
    return nodes_[taken].span;
}

void SpanStack::release(const Allocator& alloc) {
    clear();
    alloc.put(nodes_);
    alloc.put(rowHead_);
    nodes_ = nullptr;
    rowHead_ = nullptr;
    capacity_ = 0;
    indexRows_ = 0;
    indexed_ = false;
}

}  // namespace tarvocoil
