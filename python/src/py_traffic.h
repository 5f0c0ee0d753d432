// py_traffic.h - tarvocoil.Traffic: traffic data for a Python frame loop.
//
// The caller processes a frame with its Detector (measuring on) and hands
// the detector, the frame's flags and its time to frame(); the traffic
// engine the tool runs turns them into reported triggers (after each
// coil's holdoff), vehicles on coil pairs, health changes and interval
// rows. process() itself is never changed by any of this.
#ifndef TARVOCOIL_PYTHON_PY_TRAFFIC_H
#define TARVOCOIL_PYTHON_PY_TRAFFIC_H

#include <cstdint>
#include <memory>
#include <vector>

#include <pybind11/pybind11.h>

#include "host/areas_file.h"
#include "host/traffic/traffic_engine.h"
#include "python/src/py_detector.h"

namespace tarvopy {

namespace py = pybind11;

class PyTraffic {
public:
    // areas: the forms Detector() takes (the file's pairs, lengths,
    // holdoffs and health limits only come with a file or an Areas object).
    PyTraffic(py::handle areas, double interval, bool wallClock);

    // One processed frame; returns its events (dicts).
    py::list frame(const PyDetector& detector, py::handle flags, double time, py::handle wallTime);
    py::list streamLost(double time);
    py::list finish();
    // The interval rows closed since the last call.
    py::list takeRows();

    std::size_t areaCount() const { return engine_->areaCount(); }
    std::size_t pairCount() const { return engine_->pairCount(); }
    std::vector<int64_t> reported() const;
    std::vector<int64_t> suppressed() const;
    std::vector<std::string> health() const;
    py::list pairs() const;
    int64_t frames() const { return frames_; }

private:
    py::list collect(const tarvotool::TrafficOutput& out);

    tarvotool::AreasConfig config_;
    std::unique_ptr<tarvotool::TrafficEngine> engine_;  // holds views of its own names: never moved
    bool wallClock_;
    bool finished_ = false;
    int64_t frames_ = 0;
    std::vector<tarvotool::IntervalRow> rows_;
};

}  // namespace tarvopy

#endif
