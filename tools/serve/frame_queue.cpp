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
    if (frames_ >= capacity_) {
        // The oldest frame; a loss before it stays where it is.
        auto oldest = std::find_if(waiting_.begin(), waiting_.end(), [](const QueuedFrame& q) { return !q.lost; });
        QueuedFrame old = std::move(*oldest);
        auto after = waiting_.erase(oldest);
        --frames_;
        carried = old.baseline;
        carriedNote = std::move(old.note);
        dropped_.fetch_add(1, std::memory_order_relaxed);
        // The dropped frame's request goes to the next frame still waiting,
        // or to this one.
        after = std::find_if(after, waiting_.end(), [](const QueuedFrame& q) { return !q.lost; });
        if (carried != BaselineCause::None && after != waiting_.end() && after->baseline == BaselineCause::None) {
            after->baseline = carried;
            after->note = std::move(carriedNote);
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
    ++frames_;
    lock.unlock();
    cv_.notify_one();
    return true;
}

void FrameQueue::pushLoss() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_) return;
        QueuedFrame loss;
        loss.lost = true;
        waiting_.push_back(std::move(loss));
    }
    cv_.notify_one();
}

bool FrameQueue::pop(QueuedFrame& out) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return closed_ || !waiting_.empty(); });
    if (waiting_.empty()) return false;
    out.keep.reset();
    if (out.image.data.capacity() > 0) spare_.push_back(std::move(out));
    out = std::move(waiting_.front());
    waiting_.pop_front();
    if (!out.lost) --frames_;
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
    for (;;) {
        if (!queue_.pop(current_)) return false;
        if (!current_.lost) break;
        if (onLoss_) onLoss_(any_ ? std::optional<int64_t>(lastIndex_) : std::nullopt,
                             any_ ? std::optional<double>(lastTime_) : std::nullopt);
    }
    any_ = true;
    lastIndex_ = current_.index;
    lastTime_ = current_.time;
    out.picture = current_.picture;
    out.time = current_.time;
    out.fileIndex = current_.index;
    out.newBaseline = current_.baseline;
    out.baselineNote = current_.note;
    return true;
}

}  // namespace tarvotool
