// pair_matcher.cpp - the waiting "from" triggers of one pair, in arrival order.
#include "host/traffic/pair_matcher.h"

namespace tarvotool {

void PairMatcher::removeAt(std::size_t i) {
    for (std::size_t k = i + 1; k < size_; ++k) waiting_[k - 1] = waiting_[k];
    --size_;
}

void PairMatcher::addFrom(const PendingFrom& f) {
    if (size_ == kCapacity) {
        removeAt(0);
        ++counts_.unmatchedFrom;
    }
    waiting_[size_++] = f;
}

void PairMatcher::expire(double now) {
    std::size_t k = 0;
    while (k < size_) {
        if (waiting_[k].entry < now - maxTime_) {
            removeAt(k);
            ++counts_.unmatchedFrom;
        } else {
            ++k;
        }
    }
}

bool PairMatcher::matchTo(double entry, PendingFrom& out) {
    expire(entry);
    // Arrival order is entry order unless the stream's time jumped back;
    // the earliest entry wins either way.
    std::size_t best = size_;
    for (std::size_t k = 0; k < size_; ++k)
        if (waiting_[k].entry < entry && (best == size_ || waiting_[k].entry < waiting_[best].entry)) best = k;
    if (best == size_) {
        ++counts_.unmatchedTo;
        return false;
    }
    out = waiting_[best];
    removeAt(best);
    ++counts_.matched;
    return true;
}

void PairMatcher::giveUpAll() {
    counts_.unmatchedFrom += static_cast<int64_t>(size_);
    size_ = 0;
}

}  // namespace tarvotool
