// edit_traffic.cpp - the traffic data of an editor test run.
#include "tools/edit/edit_traffic.h"

namespace tarvotool {

namespace {

// A test covers one stretch of video: one interval holds all of it.
TrafficOptions WholeRun() {
    TrafficOptions o;
    o.intervalSeconds = 1e9;
    return o;
}

// Worst first, as the engine orders the states.
int Rank(const std::string& health) {
    for (HealthState s : {HealthState::MaxPresence, HealthState::Chatter, HealthState::NoActivity})
        if (health == HealthStateText(s)) return static_cast<int>(s);
    return 0;
}

nlohmann::json OrNull(const std::optional<double>& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); }

}  // namespace

TrafficTestSink::TrafficTestSink(const AreasConfig& areas, TestTraffic& out)
    : areas_(areas), out_(out), engine_(areas, WholeRun()) {}

void TrafficTestSink::frame(const ProcessedFrame& f) {
    TrafficFrame tf;
    tf.index = f.index;
    tf.time = f.time;
    tf.baseline = f.baseline;
    tf.triggers = f.flags;
    tf.measurements = f.measurements && f.measurements->size() == f.areaCount ? f.measurements->data() : nullptr;
    keep(engine_.frame(tf));
}

void TrafficTestSink::keep(const TrafficOutput& o) {
    for (const VehicleEvent& v : o.vehicles) {
        TestTraffic::Vehicle k{v.pair, std::string(v.pairName), v.frame, v.time, v.speedKmh, std::nullopt};
        if (v.hasLength()) k.lengthM = v.lengthM;
        out_.vehicles.push_back(std::move(k));
    }
    rows_.insert(rows_.end(), o.rows.begin(), o.rows.end());
}

void TrafficTestSink::finish() {
    if (finished_) return;
    finished_ = true;
    keep(engine_.finish());
    out_.coils.assign(areas_.areas.size(), TestTraffic::Coil{});
    for (std::size_t a = 0; a < areas_.areas.size(); ++a) {
        TestTraffic::Coil& c = out_.coils[a];
        c.name = areas_.areas[a].name;
        c.suppressed = engine_.suppressed(a);
    }
    // Rows of an interval the clock jumped over add up per coil.
    for (const IntervalRow& r : rows_) {
        if (r.area < 0 || static_cast<std::size_t>(r.area) >= out_.coils.size()) continue;
        TestTraffic::Coil& c = out_.coils[static_cast<std::size_t>(r.area)];
        const double present = r.occupancy ? *r.occupancy * static_cast<double>(r.frames) : 0.0;
        const double before = c.occupancy ? *c.occupancy * static_cast<double>(c.frames) : 0.0;
        c.frames += r.frames;
        c.count += r.count;
        if (c.frames > 0) c.occupancy = (before + present) / static_cast<double>(c.frames);
        if (Rank(r.health) > Rank(c.health)) c.health = r.health;
    }
    for (std::size_t p = 0; p < areas_.pairs.size(); ++p) {
        const PairSpec& given = areas_.pairs[p];
        const PairCounts& counts = engine_.pairCounts(p);
        TestTraffic::Pair pair{given.name, given.from, given.to, given.distance, 0, counts.unmatchedFrom,
                               counts.unmatchedTo, std::nullopt};
        double sum = 0;
        for (const TestTraffic::Vehicle& v : out_.vehicles)
            if (v.pairIndex == p) ++pair.vehicles, sum += v.speedKmh;
        if (pair.vehicles > 0) pair.meanSpeedKmh = sum / static_cast<double>(pair.vehicles);
        out_.pairs.push_back(std::move(pair));
    }
}

nlohmann::json TrafficJson(const TestTraffic& t) {
    nlohmann::json coils = nlohmann::json::array(), pairs = nlohmann::json::array(),
                   vehicles = nlohmann::json::array();
    for (const TestTraffic::Coil& c : t.coils)
        coils.push_back({{"name", c.name}, {"frames", c.frames}, {"count", c.count}, {"suppressed", c.suppressed},
                         {"occupancy", OrNull(c.occupancy)}, {"health", c.health}});
    for (const TestTraffic::Pair& p : t.pairs)
        pairs.push_back({{"name", p.name}, {"from", p.from}, {"to", p.to}, {"distance", p.distance},
                         {"vehicles", p.vehicles}, {"unmatched_from", p.unmatchedFrom},
                         {"unmatched_to", p.unmatchedTo}, {"mean_speed_kmh", OrNull(p.meanSpeedKmh)}});
    for (const TestTraffic::Vehicle& v : t.vehicles)
        vehicles.push_back({{"pair", v.pair}, {"frame", v.frame}, {"time", v.time}, {"speed_kmh", v.speedKmh},
                            {"length_m", OrNull(v.lengthM)}});
    return {{"coils", coils}, {"pairs", pairs}, {"vehicles", vehicles}};
}

}  // namespace tarvotool
