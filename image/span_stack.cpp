// span_stack.cpp - the pending-span stack with its row-preferring pop.
#include "image/span_stack.h"

#include <cstring>

namespace tarvocoil {

void SpanStack::reset() {
    top_ = -1;
    free_ = -1;
    fresh_ = 0;
    lastRow_ = -1;
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
    int32_t index;
    if (free_ >= 0) {
        index = free_;
        free_ = nodes_[index].next;
    } else {
        if (fresh_ == capacity_ && !grow(alloc)) return false;
        index = fresh_++;
    }
    nodes_[index].span = span;
    nodes_[index].next = top_;
    top_ = index;
    return true;
}

PendingSpan SpanStack::pop() {
    int32_t taken = top_;
    int32_t before = -1;
    for (int32_t prev = top_, i = nodes_[top_].next; i >= 0; prev = i, i = nodes_[i].next) {
        if (nodes_[i].span.row == lastRow_) {
            taken = i;
            before = prev;
            break;
        }
    }
    if (before >= 0)
        nodes_[before].next = nodes_[taken].next;
    else
        top_ = nodes_[taken].next;
    nodes_[taken].next = free_;
    free_ = taken;
    lastRow_ = nodes_[taken].span.row;
    return nodes_[taken].span;
}

void SpanStack::release(const Allocator& alloc) {
    alloc.put(nodes_);
    nodes_ = nullptr;
    capacity_ = 0;
    reset();
}

}  // namespace tarvocoil
