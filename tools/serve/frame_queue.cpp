// frame_queue.cpp - a bounded queue of frames that drops the oldest.
#include "tools/serve/frame_queue.h"

#include <algorithm>
#include <cstring>

namespace tarvotool {

namespace {

// The rows the detector reads, the others left as they were.
void CopyBands(BgrImage& to, const tarvocoil::FrameView& from, const std::vector<RowBand>& bands) {
    if (to.width != from.width || to.height != from.height) to.resize(from.width, from.height);
    const std::size_t bytes = static_cast<std::size_t>(from.width) * 3;
    for (const RowBand& b : bands)
        for (int y = std::max(0, b.begin); y < std::min(from.height, b.end); ++y)
            std::memcpy(to.row(y), from.pixels + static_cast<std::size_t>(y) * from.stride, bytes);
}

}  // namespace

bool FrameQueue::push(const SourceFrame& frame, int64_t index, bool whole, const std::vector<RowBand>* bands) {
    std::unique_lock<std::mutex> lock(mu_);
    if (closed_) return false;
    BaselineCause carried = BaselineCause::None;
    std::string carriedNote;
    if (waiting_.size() >= capacity_) {
        QueuedFrame old = std::move(waiting_.front());
        waiting_.pop_front();
        carried = old.baseline;
        carriedNote = std::move(old.note);
        dropped_.fetch_add(1, std::memory_order_relaxed);
        // The dropped frame's request goes to the next one still waiting, or
        // to this one.
        if (carried != BaselineCause::None && !waiting_.empty() && waiting_.front().baseline == BaselineCause::None) {
            waiting_.front().baseline = carried;
            waiting_.front().note = std::move(carriedNote);
            carried = BaselineCause::None;
        }
        old.keep.reset();  // the source may convert into it again
        spare_.push_back(std::move(old));
    }
    QueuedFrame slot;
    if (!spare_.empty()) {
        slot = std::move(spare_.back());
        spare_.pop_back();
    }
    lock.unlock();
    // A copy is made outside the lock, so that the detector thread can
    // take a frame meanwhile.
    if (frame.keep) {
        slot.keep = frame.keep;
        slot.picture = frame.picture;
    } else {
        if (!whole && bands)
            CopyBands(slot.image, frame.picture, *bands);
        else
            slot.image.assign(frame.picture);
        slot.picture = slot.image.view();
    }
    slot.time = frame.time;
    slot.index = index;
    slot.whole = whole;
    slot.baseline = frame.newBaseline != BaselineCause::None ? frame.newBaseline : carried;
    slot.note = frame.newBaseline != BaselineCause::None ? frame.baselineNote : carriedNote;
    lock.lock();
    if (closed_) return false;
    waiting_.push_back(std::move(slot));
    lock.unlock();
    cv_.notify_one();
    return true;
}

bool FrameQueue::pop(QueuedFrame& out) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return closed_ || !waiting_.empty(); });
    if (waiting_.empty()) return false;
    out.keep.reset();
    if (out.image.data.capacity() > 0) spare_.push_back(std::move(out));
    out = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

void FrameQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
    }
    cv_.notify_all();
}

bool QueueSource::next(SourceFrame& out) {
    if (!queue_.pop(current_)) return false;
    out.picture = current_.picture;
    out.time = current_.time;
    out.fileIndex = current_.index;
    out.newBaseline = current_.baseline;
    out.baselineNote = current_.note;
    return true;
}

}  // namespace tarvotool
