// frame_queue.h - the frames between a camera's decoding thread and its
// detector thread.
//
// A live stream does not wait for the detector. When the detector falls
// behind, the oldest waiting frame is dropped and counted, so that what
// the detector sees stays current and memory stays bounded. A dropped
// frame's request for a new baseline passes to the frame after it: the
// scene it announced has changed for that one as well. A stream's loss
// travels in the queue too, between the frames before it and after it,
// and is never dropped: the detector's side ends what was on the coils
// when the stream went, not when it comes back.
#ifndef TARVOCOIL_TOOLS_SERVE_FRAME_QUEUE_H
#define TARVOCOIL_TOOLS_SERVE_FRAME_QUEUE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/canvas.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/video_reader.h"

namespace tarvotool {

struct QueuedFrame {
    // The picture: the source's own buffer while `keep` holds it, else a
    // copy in `image`.
    tarvocoil::FrameView picture;
    std::shared_ptr<const void> keep;
    BgrImage image;
    double time = 0.0;
    int64_t index = 0;  // in the camera's stream, counted by the decoding side
    BaselineCause baseline = BaselineCause::None;
    std::string note;
    bool whole = true;  // every row converted (else only the detector's)
    bool lost = false;  // not a frame: the stream was lost after the frames before it
};

class FrameQueue {
public:
    explicit FrameQueue(std::size_t capacity = 2) : capacity_(capacity < 1 ? 1 : capacity) {}

    // Takes the picture in: by holding frame.keep when the source shares
    // its buffer, else by copying (only the rows of `bands` when the frame
    // is not whole and bands are given). Drops the oldest waiting frame
    // when full. False once the queue is closed.
    bool push(const SourceFrame& frame, int64_t index, bool whole = true,
              const std::vector<RowBand>* bands = nullptr);
    // The stream was lost after the frames pushed so far.
    void pushLoss();
    // Waits for the next frame or loss; false when the queue is closed and
    // empty. The buffer `out` held goes back to the queue for reuse.
    bool pop(QueuedFrame& out);
    // No more frames: pop() returns what is waiting, then false.
    void close();

    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    const std::size_t capacity_;  // frames; losses do not count
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<QueuedFrame> waiting_;
    std::size_t frames_ = 0;  // in waiting_, losses left out
    std::vector<QueuedFrame> spare_;
    bool closed_ = false;
    std::atomic<uint64_t> dropped_{0};
};

// The queue as the frame loop's source.
class QueueSource : public FrameSource {
public:
    // Called from next() for each loss, with the index and time of the
    // last frame handed out before it (none before the first frame).
    using LossFn = std::function<void(std::optional<int64_t> lastIndex, std::optional<double> lastTime)>;
    explicit QueueSource(FrameQueue& queue, LossFn onLoss = {}) : queue_(queue), onLoss_(std::move(onLoss)) {}
    bool next(SourceFrame& out) override;
    // Whether the frame the last next() handed out has every row.
    bool currentWhole() const { return current_.whole; }

private:
    FrameQueue& queue_;
    LossFn onLoss_;
    QueuedFrame current_;
    bool any_ = false;  // a frame was handed out
    int64_t lastIndex_ = 0;
    double lastTime_ = 0.0;
};

}  // namespace tarvotool

#endif
