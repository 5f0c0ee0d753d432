// traffic_engine.cpp - one frame at a time: holdoff, entry and exit times,
// pair matching, health and the interval tallies.
#include "host/traffic/traffic_engine.h"

#include <algorithm>
#include <cmath>

#include "host/errors.h"
#include "host/traffic/margin.h"
#include "host/traffic/vehicle_length.h"

namespace tarvotool {

namespace {

std::vector<bool> ToCoils(const AreasConfig& config) {
    std::vector<bool> to(config.areas.size(), false);
    for (const PairSpec& p : config.pairs) to[p.toArea] = true;
    return to;
}

IntervalClock CheckedClock(const TrafficOptions& options) {
    if (!std::isfinite(options.intervalSeconds) || options.intervalSeconds <= 0)
        throw ToolError("the traffic interval must be a number of seconds greater than 0");
    return IntervalClock(options.intervalSeconds, options.basis);
}

HealthLimits Limits(const AreasConfig& config) {
    const HealthSpec checks = config.health.value_or(HealthSpec{});
    return HealthLimits{checks.noActivityOr(), checks.maxPresenceOr(), checks.chatterOr()};
}

}  // namespace

void TrafficOutput::clear() {
    triggers.clear();
    vehicles.clear();
    health.clear();
    rows.clear();
    warnings.clear();
}

TrafficEngine::TrafficEngine(const AreasConfig& config, const TrafficOptions& options)
    : states_(config.areas.size(), HealthState::Ok),
      table_(CheckedClock(options), AreaNames(config), ToCoils(config)) {
    const HealthLimits limits = Limits(config);
    areas_.reserve(config.areas.size());
    for (const AreaSpec& given : config.areas) {
        Area a;
        a.name = given.name;
        a.length = given.length.value_or(NAN);
        a.holdoff = HoldoffFilter(given.holdoff.value_or(0.0));
        a.health = CoilHealth(limits);
        areas_.push_back(std::move(a));
    }
    pairs_.reserve(config.pairs.size());
    for (std::size_t i = 0; i < config.pairs.size(); ++i) {
        const PairSpec& given = config.pairs[i];
        Pair p;
        p.name = given.name;
        p.from = given.from;
        p.to = given.to;
        p.fromArea = given.fromArea;
        p.toArea = given.toArea;
        p.distance = given.distance;
        p.matcher = PairMatcher(given.maxTimeOr());
        pairs_.push_back(std::move(p));
        areas_[given.fromArea].fromOf = static_cast<int>(i);
        areas_[given.toArea].toOf = static_cast<int>(i);
    }
    // Events name coils and pairs by views of the strings above, which
    // stay where they are from here on.
    out_.triggers.reserve(areas_.size());
    out_.vehicles.reserve(pairs_.size() + areas_.size());
    out_.health.reserve(areas_.size());
    out_.rows.reserve(2 * areas_.size());
}

const TrafficOutput& TrafficEngine::frame(const TrafficFrame& f) {
    out_.clear();
    table_.advance(f.time, f.wallTime, states_, out_.rows, out_.warnings);
    if (!started_) {
        started_ = true;
        for (Area& a : areas_) a.health.start(f.time);
    }
    for (Pair& p : pairs_) p.matcher.expire(f.time);
    for (std::size_t a = 0; a < areas_.size(); ++a) {
        const tarvocoil::AreaMeasurement* m = f.measurements ? &f.measurements[a] : nullptr;
        const bool detect = !f.baseline && m && m->kind == tarvocoil::AreaMeasurement::Kind::Detect;
        const double margin = detect ? Margin(*m) : NAN;
        const bool trig = !f.baseline && f.triggers && f.triggers[a] != 0;
        coilFrame(a, f, margin, detect && m->present, trig);
    }
    return out_;
}

void TrafficEngine::coilFrame(std::size_t a, const TrafficFrame& f, double margin, bool present, bool trig) {
    Area& s = areas_[a];
    if (f.baseline) {
        // A new baseline starts every presence afresh: the one under way
        // is never seen to end.
        if (s.present) presenceEnded(a, f.time, false);
        s.hadFrame = false;
        updateHealth(a, f, false, false, false);
        return;
    }
    if (s.present && !present) {
        const double exit = s.hadFrame ? CrossingTime(s.prevTime, s.prevMargin, f.time, margin) : f.time;
        presenceEnded(a, exit, true);
    }
    if (present) s.peak = s.present ? std::fmax(s.peak, margin) : margin;
    s.present = present;
    bool reported = false;
    CoilTally& tally = table_.tally(a);
    if (trig) {
        const double entry = s.hadFrame ? CrossingTime(s.prevTime, s.prevMargin, f.time, margin) : f.time;
        reported = s.holdoff.report(f.time);
        out_.triggers.push_back(TriggerReport{a, s.name, f.index, f.time, entry, !reported});
        if (reported) {
            ++s.reported;
            ++tally.count;
            trigger(a, f, entry);
        } else {
            ++s.suppressed;
        }
    }
    ++tally.frames;
    if (present) ++tally.present;
    updateHealth(a, f, trig, reported, present);
    s.prevTime = f.time;
    s.prevMargin = margin;
    s.hadFrame = true;
}

void TrafficEngine::trigger(std::size_t a, const TrafficFrame& f, double entry) {
    Area& s = areas_[a];
    if (s.fromOf >= 0) pairs_[static_cast<std::size_t>(s.fromOf)].matcher.addFrom(PendingFrom{f.index, f.time, entry});
    if (s.toOf < 0) return;
    const std::size_t pi = static_cast<std::size_t>(s.toOf);
    Pair& p = pairs_[pi];
    PendingFrom from;
    if (!p.matcher.matchTo(entry, from)) return;
    const double speed = p.distance / (entry - from.entry);  // matchTo keeps from.entry < entry
    s.vehicle = VehicleEvent{pi, p.name, p.from, p.to, f.index, f.time, speed * 3.6, NAN};
    s.vehicleEntry = entry;
    s.vehicleSpeed = speed;
    s.vehicleInterval = table_.openIndex();
    s.vehicleWaiting = true;
    CoilTally& tally = table_.tally(a);
    ++tally.vehicles;
    tally.speedSum += speed * 3.6;
    // Without a presence record the coil's passage cannot be followed.
    if (!s.present) presenceEnded(a, f.time, false);
}

void TrafficEngine::presenceEnded(std::size_t a, double exit, bool seen) {
    Area& s = areas_[a];
    s.present = false;
    if (!s.vehicleWaiting) return;
    s.vehicleWaiting = false;
    if (seen && std::isfinite(s.length))
        s.vehicle.lengthM = VehicleLength(s.vehicleSpeed, s.vehicleEntry, exit, s.length, s.peak);
    // The vehicle counts in the interval of its "to" trigger; its length
    // joins that interval's mean only if the interval is still open.
    if (s.vehicle.hasLength() && table_.open() && table_.openIndex() == s.vehicleInterval) {
        CoilTally& tally = table_.tally(a);
        ++tally.lengths;
        tally.lengthSum += s.vehicle.lengthM;
    }
    out_.vehicles.push_back(s.vehicle);
}

void TrafficEngine::updateHealth(std::size_t a, const TrafficFrame& f, bool trig, bool reported, bool present) {
    Area& s = areas_[a];
    const HealthState before = s.health.state();
    const HealthState now = s.health.frame(f.time, trig, reported, present);
    states_[a] = now;
    CoilTally& tally = table_.tally(a);
    tally.worst = std::max(tally.worst, now);
    if (now != before) out_.health.push_back(HealthEvent{now, before, f.index, f.time, a, s.name});
}

const TrafficOutput& TrafficEngine::streamLost(int64_t /*frame*/, double time) {
    out_.clear();
    for (std::size_t a = 0; a < areas_.size(); ++a) {
        Area& s = areas_[a];
        if (s.present) presenceEnded(a, time, false);
        s.hadFrame = false;
        s.health.presenceLost();
    }
    return out_;
}

const TrafficOutput& TrafficEngine::finish() {
    out_.clear();
    for (std::size_t a = 0; a < areas_.size(); ++a)
        if (areas_[a].vehicleWaiting) presenceEnded(a, NAN, false);
    for (Pair& p : pairs_) p.matcher.giveUpAll();
    table_.finish(out_.rows);
    return out_;
}

}  // namespace tarvotool
