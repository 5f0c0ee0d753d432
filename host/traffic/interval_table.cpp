// interval_table.cpp - closing intervals into rows.
#include "host/traffic/interval_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvotool {

IntervalTable::IntervalTable(IntervalClock clock, std::vector<std::string> names, std::vector<bool> toCoil)
    : clock_(clock), names_(std::move(names)), toCoil_(std::move(toCoil)), tallies_(names_.size()) {}

IntervalRow IntervalTable::row(int64_t k, std::size_t area, const CoilTally& t) const {
    IntervalRow r;
    r.start = clock_.start(k);
    r.end = r.start + clock_.seconds();
    r.area = static_cast<int64_t>(area);
    r.name = names_[area];
    r.frames = t.frames;
    r.count = t.count;
    if (t.frames > 0) r.occupancy = static_cast<double>(t.present) / static_cast<double>(t.frames);
    if (toCoil_[area]) {
        r.vehicles = t.vehicles;
        if (t.vehicles > 0) r.meanSpeedKmh = t.speedSum / static_cast<double>(t.vehicles);
        if (t.lengths > 0) r.meanLengthM = t.lengthSum / static_cast<double>(t.lengths);
    }
    r.health = HealthStateText(t.worst);
    r.wallStart = clock_.wallStart(k);
    return r;
}

void IntervalTable::closeOpen(std::vector<IntervalRow>& rows) {
    for (std::size_t a = 0; a < tallies_.size(); ++a) rows.push_back(row(index_, a, tallies_[a]));
}

void IntervalTable::reopen(int64_t k, const std::vector<HealthState>& health) {
    index_ = k;
    for (std::size_t a = 0; a < tallies_.size(); ++a) {
        tallies_[a] = CoilTally{};
        tallies_[a].worst = health[a];
    }
}

void IntervalTable::advance(double t, double wall, const std::vector<HealthState>& health,
                            std::vector<IntervalRow>& rows, std::vector<std::string>& warnings) {
    const int64_t k = clock_.index(t, wall);
    if (k == IntervalClock::kNone) return;
    if (!open_) {
        open_ = true;
        reopen(k, health);
        return;
    }
    if (k <= index_) return;
    closeOpen(rows);
    // Both sides lie within the clock's range, so the difference fits.
    const uint64_t between = static_cast<uint64_t>(k) - static_cast<uint64_t>(index_) - 1;
    const uint64_t maxEmpty = static_cast<uint64_t>(std::ceil(kMaxGapSeconds / clock_.seconds()));
    const uint64_t empty = std::min(between, maxEmpty);
    for (uint64_t e = 1; e <= empty; ++e) {
        reopen(index_ + 1, health);
        closeOpen(rows);
    }
    if (between > maxEmpty) {
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      "traffic intervals: the time jumped %.0f s forward; the first hour of it is written as "
                      "intervals without frames, the rest left out",
                      static_cast<double>(between) * clock_.seconds());
        warnings.push_back(buf);
    }
    reopen(k, health);
}

void IntervalTable::finish(std::vector<IntervalRow>& rows) {
    if (!open_) return;
    closeOpen(rows);
    open_ = false;
}

}  // namespace tarvotool
