// detector_bank.cpp - many detectors on one pass's frames, on two threads.
#include "tools/evidence/detector_bank.h"

#include <algorithm>

#include "host/errors.h"

namespace tarvotool {

DetectorBank::DetectorBank(std::size_t count, std::size_t areaCount, Each each)
    : detectors_(count),
      measuring_(count, 0),
      areaCount_(areaCount),
      each_(std::move(each)),
      flags_(2, std::vector<int32_t>(std::max<std::size_t>(areaCount, 1))) {
    worker_ = std::thread([this] { workerLoop(); });
}

DetectorBank::~DetectorBank() { finish(); }

void DetectorBank::setMeasuring(std::size_t k, bool on) {
    measuring_[k] = on ? 1 : 0;
    detectors_[k].setMeasuring(on);
}

void DetectorBank::runHalf(int half) {
    const ProcessedFrame& f = *current_;
    std::vector<int32_t>& flags = flags_[half];
    for (std::size_t k = static_cast<std::size_t>(half); k < detectors_.size(); k += 2) {
        std::fill(flags.begin(), flags.end(), 0);
        if (!detectors_[k].process(f.picture, flags.data()))
            throw ToolError("the detector refused frame " + std::to_string(f.index) + " (" +
                            std::to_string(f.picture.width) + "x" + std::to_string(f.picture.height) + ")");
        ProcessedFrame mine = f;
        // The bank's detectors take their first baseline with the loop's
        // and are never reset, as side detectors are.
        mine.baseline = f.index == 0;
        mine.baselineCause = mine.baseline ? BaselineCause::Start : BaselineCause::None;
        if (mine.baseline) std::fill(flags.begin(), flags.end(), 0);
        mine.flags = flags.data();
        mine.areaCount = areaCount_;
        mine.measurements = measuring_[k] ? &detectors_[k].measurements() : nullptr;
        each_(k, mine);
    }
}

void DetectorBank::workerLoop() {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [&] { return quit_ || posted_ != seen; });
            if (quit_) return;
            seen = posted_;
        }
        std::exception_ptr error;
        try {
            runHalf(1);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (error && !workerError_) workerError_ = error;
            done_ = seen;
        }
        cv_.notify_all();
    }
}

void DetectorBank::frame(const ProcessedFrame& f) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = &f;
        ++posted_;
    }
    cv_.notify_all();
    std::exception_ptr mine;
    try {
        runHalf(0);
    } catch (...) {
        mine = std::current_exception();
    }
    std::exception_ptr theirs;
    {
        // The picture must outlive the worker's half: wait for it whatever happened here.
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return done_ == posted_; });
        current_ = nullptr;
        theirs = workerError_;
        workerError_ = nullptr;
    }
    if (mine) std::rethrow_exception(mine);
    if (theirs) std::rethrow_exception(theirs);
}

void DetectorBank::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

}  // namespace tarvotool
