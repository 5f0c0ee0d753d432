// py_traffic.cpp - the Python Traffic object over the tool's traffic engine.
#include "python/src/py_traffic.h"

#include <cmath>
#include <string>

#include <pybind11/numpy.h>

#include "python/src/areas_arg.h"

namespace tarvopy {

namespace {

using tarvotool::HealthEvent;
using tarvotool::IntervalRow;
using tarvotool::TriggerReport;
using tarvotool::VehicleEvent;

py::dict TriggerDict(const TriggerReport& t) {
    py::dict d;
    d["event"] = "trigger";
    d["frame"] = t.frame;
    d["time"] = t.time;
    d["area"] = t.area;
    d["name"] = std::string(t.name);
    d["entry"] = t.entry;
    return d;
}

py::dict VehicleDict(const VehicleEvent& v) {
    py::dict d;
    d["event"] = "vehicle";
    d["pair"] = std::string(v.pairName);
    d["from"] = std::string(v.from);
    d["to"] = std::string(v.to);
    d["frame"] = v.frame;
    d["time"] = v.time;
    d["speed_kmh"] = v.speedKmh;
    d["length_m"] = v.hasLength() ? py::object(py::float_(v.lengthM)) : py::object(py::none());
    return d;
}

py::dict HealthDict(const HealthEvent& h) {
    py::dict d;
    d["event"] = "health";
    d["state"] = tarvotool::HealthStateText(h.state);
    d["previous"] = tarvotool::HealthStateText(h.previous);
    d["frame"] = h.frame;
    d["time"] = h.time;
    d["area"] = h.area;
    d["name"] = std::string(h.name);
    return d;
}

template <typename T>
py::object OrNone(const std::optional<T>& v) {
    return v ? py::cast(*v) : py::object(py::none());
}

py::dict RowDict(const IntervalRow& r) {
    py::dict d;
    d["start"] = r.start;
    d["end"] = r.end;
    d["area"] = r.area;
    d["name"] = r.name;
    d["frames"] = r.frames;
    d["count"] = r.count;
    d["occupancy"] = OrNone(r.occupancy);
    d["vehicles"] = OrNone(r.vehicles);
    d["mean_speed_kmh"] = OrNone(r.meanSpeedKmh);
    d["mean_length_m"] = OrNone(r.meanLengthM);
    d["health"] = r.health;
    d["wall_start"] = r.wallStart.empty() ? py::object(py::none()) : py::object(py::str(r.wallStart));
    return d;
}

tarvotool::TrafficOptions Options(double interval, bool wallClock) {
    if (!std::isfinite(interval) || interval <= 0)
        throw py::value_error("interval: expected a number of seconds greater than 0, got " + std::to_string(interval));
    tarvotool::TrafficOptions o;
    o.intervalSeconds = interval;
    o.basis = wallClock ? tarvotool::IntervalBasis::WallClock : tarvotool::IntervalBasis::StreamTime;
    return o;
}

void CheckTime(double t, const char* what) {
    if (!std::isfinite(t)) throw py::value_error(std::string(what) + ": expected a finite number of seconds");
}

}  // namespace

PyTraffic::PyTraffic(py::handle areas, double interval, bool wallClock)
    : config_(AreasFromObject(areas, py::none())), wallClock_(wallClock) {
    engine_ = std::make_unique<tarvotool::TrafficEngine>(config_, Options(interval, wallClock));
}

py::list PyTraffic::frame(const PyDetector& detector, py::handle flags, double time, py::handle wallTime) {
    if (finished_) throw py::value_error("frame() after finish(): make a new Traffic for another run");
    CheckTime(time, "time");
    double wall = 0;
    if (wallClock_) {
        wall = wallTime.is_none() ? py::module_::import("time").attr("time")().cast<double>() : wallTime.cast<double>();
        CheckTime(wall, "wall_time");
    }
    const auto f = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(flags);
    if (!f || f.ndim() != 1) throw py::type_error("flags: expected what process() returned (a 1-d int array)");
    const std::size_t n = engine_->areaCount();
    const bool baseline = f.size() == 0;
    if (!baseline && static_cast<std::size_t>(f.size()) != n)
        throw py::value_error("flags: " + std::to_string(f.size()) + " flags for " + std::to_string(n) +
                              " areas (the detector's areas are not this Traffic's)");
    std::vector<tarvocoil::AreaMeasurement> records;
    if (!baseline) {
        records = detector.records();
        // Without the records there is no presence and no margin: the
        // occupancy, the refined times and the lengths would all be wrong.
        if (records.empty()) throw py::value_error("the detector is not measuring: make it with measuring=True");
        if (records.size() != n)
            throw py::value_error("the detector has " + std::to_string(records.size()) + " areas, this Traffic " +
                                  std::to_string(n));
    }
    tarvotool::TrafficFrame tf;
    tf.index = frames_++;
    tf.time = time;
    tf.wallTime = wall;
    tf.baseline = baseline;
    tf.triggers = baseline ? nullptr : f.data();
    tf.measurements = baseline ? nullptr : records.data();
    return collect(engine_->frame(tf));
}

py::list PyTraffic::streamLost(double time) {
    if (finished_) throw py::value_error("stream_lost() after finish()");
    CheckTime(time, "time");
    return collect(engine_->streamLost(frames_, time));
}

py::list PyTraffic::finish() {
    if (finished_) return py::list();
    finished_ = true;
    return collect(engine_->finish());
}

py::list PyTraffic::collect(const tarvotool::TrafficOutput& out) {
    py::list events;
    for (const TriggerReport& t : out.triggers)
        if (!t.suppressed) events.append(TriggerDict(t));
    for (const VehicleEvent& v : out.vehicles) events.append(VehicleDict(v));
    for (const HealthEvent& h : out.health) events.append(HealthDict(h));
    rows_.insert(rows_.end(), out.rows.begin(), out.rows.end());
    for (const std::string& w : out.warnings)
        if (PyErr_WarnEx(PyExc_UserWarning, w.c_str(), 2) < 0) throw py::error_already_set();
    return events;
}

py::list PyTraffic::takeRows() {
    py::list out;
    for (const IntervalRow& r : rows_) out.append(RowDict(r));
    rows_.clear();
    return out;
}

std::vector<int64_t> PyTraffic::reported() const {
    std::vector<int64_t> v;
    for (std::size_t a = 0; a < engine_->areaCount(); ++a) v.push_back(engine_->reported(a));
    return v;
}

std::vector<int64_t> PyTraffic::suppressed() const {
    std::vector<int64_t> v;
    for (std::size_t a = 0; a < engine_->areaCount(); ++a) v.push_back(engine_->suppressed(a));
    return v;
}

std::vector<std::string> PyTraffic::health() const {
    std::vector<std::string> v;
    for (std::size_t a = 0; a < engine_->areaCount(); ++a) v.push_back(tarvotool::HealthStateText(engine_->health(a)));
    return v;
}

py::list PyTraffic::pairs() const {
    py::list out;
    for (std::size_t p = 0; p < config_.pairs.size(); ++p) {
        const tarvotool::PairCounts& c = engine_->pairCounts(p);
        py::dict d;
        d["name"] = config_.pairs[p].name;
        d["from"] = config_.pairs[p].from;
        d["to"] = config_.pairs[p].to;
        d["distance"] = config_.pairs[p].distance;
        d["matched"] = c.matched;
        d["unmatched_from"] = c.unmatchedFrom;
        d["unmatched_to"] = c.unmatchedTo;
        out.append(d);
    }
    return out;
}

}  // namespace tarvopy
