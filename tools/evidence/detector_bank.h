// detector_bank.h - many detectors on one pass's frames, on two threads.
//
// A search compares hundreds of detector configurations on the same video.
// Decoding is the costly part that they can share: the bank is one sink on
// the frame loop that hands each decoded picture to every detector it
// holds. The detectors are split over two threads (the calling one and a
// worker of the bank's own), alternately, so that cheap and costly
// configurations spread evenly; the picture is only read, and frame()
// returns once both halves are done with it.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_DETECTOR_BANK_H
#define TARVOCOIL_TOOLS_EVIDENCE_DETECTOR_BANK_H

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/loop/frame_loop.h"
#include "tarvocoil.hpp"

namespace tarvotool {

class DetectorBank : public FrameSink {
public:
    // `each` sees detector k's processed frame (its own flags, and its own
    // measurements when measuring was asked for k); it runs on the thread
    // that owns k, so it must touch only k's state.
    using Each = std::function<void(std::size_t detector, const ProcessedFrame&)>;
    DetectorBank(std::size_t count, std::size_t areaCount, Each each);
    ~DetectorBank() override;
    DetectorBank(const DetectorBank&) = delete;
    DetectorBank& operator=(const DetectorBank&) = delete;

    // Set up before the run: the detector and whether it records measurements.
    tarvocoil::Detector& detector(std::size_t k) { return detectors_[k]; }
    void setMeasuring(std::size_t k, bool on);
    std::size_t size() const { return detectors_.size(); }

    void frame(const ProcessedFrame& f) override;
    void finish() override;

private:
    void runHalf(int half);
    void workerLoop();

    std::vector<tarvocoil::Detector> detectors_;
    std::vector<char> measuring_;
    std::size_t areaCount_;
    Each each_;
    std::vector<std::vector<int32_t>> flags_;  // per thread

    // The frame in hand and the hand-over between the two threads.
    const ProcessedFrame* current_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t posted_ = 0, done_ = 0;
    bool quit_ = false;
    std::exception_ptr workerError_;
    std::thread worker_;
};

}  // namespace tarvotool

#endif
