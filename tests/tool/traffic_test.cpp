// traffic_test.cpp - traffic data from trigger flags and measurement
// records: entry/exit times, pairs, holdoff, health and interval rows, on
// frames made here with known margins.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/errors.h"
#include "host/traffic/interval_row.h"
#include "host/traffic/margin.h"
#include "host/traffic/traffic_engine.h"
#include "host/traffic/vehicle_length.h"

using namespace tarvotool;
using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

namespace {

constexpr int64_t kLimit = 1000;

AreaMeasurement Record(double margin) {
    AreaMeasurement m;
    m.kind = AreaMeasurement::Kind::Detect;
    m.presenceLimit.value = kLimit;
    m.bgDiffSum = static_cast<int64_t>(std::llround(margin * kLimit));
    m.present = m.bgDiffSum > kLimit;
    return m;
}

// Feeds an engine frames whose margins are given per area, with the
// detector's trigger rule (a flag on the first present frame).
class Feed {
public:
    Feed(const AreasConfig& config, TrafficOptions options = {})
        : engine(config, options), records(config.areas.size()), flags(config.areas.size(), 0),
          was(config.areas.size(), false) {}

    const TrafficOutput& baseline(double t) {
        for (auto& r : records) r = AreaMeasurement{};
        std::fill(flags.begin(), flags.end(), 0);
        std::fill(was.begin(), was.end(), false);
        return push(t, true);
    }

    const TrafficOutput& frame(double t, const std::vector<double>& margins) {
        for (std::size_t a = 0; a < margins.size(); ++a) {
            records[a] = Record(margins[a]);
            flags[a] = records[a].present && !was[a];
            was[a] = records[a].present;
        }
        return push(t, false);
    }

    // Collects everything the frames produce.
    std::vector<TriggerReport> triggers;
    std::vector<VehicleEvent> vehicles;
    std::vector<HealthEvent> health;
    std::vector<IntervalRow> rows;
    std::vector<std::string> warnings;

    void collect(const TrafficOutput& o) {
        triggers.insert(triggers.end(), o.triggers.begin(), o.triggers.end());
        vehicles.insert(vehicles.end(), o.vehicles.begin(), o.vehicles.end());
        health.insert(health.end(), o.health.begin(), o.health.end());
        rows.insert(rows.end(), o.rows.begin(), o.rows.end());
        warnings.insert(warnings.end(), o.warnings.begin(), o.warnings.end());
    }
    void finish() { collect(engine.finish()); }

    TrafficEngine engine;

private:
    const TrafficOutput& push(double t, bool base) {
        TrafficFrame f;
        f.index = index_++;
        f.time = t;
        f.baseline = base;
        f.triggers = flags.data();
        f.measurements = records.data();
        const TrafficOutput& o = engine.frame(f);
        collect(o);
        return o;
    }

    std::vector<AreaMeasurement> records;
    std::vector<int32_t> flags;
    std::vector<bool> was;
    int64_t index_ = 0;
};

AreasConfig Config(const std::string& extra, const std::string& areaExtra = "") {
    return ParseAreas(R"({"areas": [{"name": "in", "vertices": [[0,0],[9,0],[9,9],[0,9]])" + areaExtra +
                          R"(}, {"name": "out", "vertices": [[0,20],[9,20],[9,29],[0,29]])" + areaExtra + "}]" +
                          extra + "}",
                      "test");
}

// The fraction of a coil [x, x + lc] covered by a vehicle whose front is
// at `front` and which is `lv` long.
double Covered(double front, double lv, double x, double lc) {
    const double lo = std::max(front - lv, x), hi = std::min(front, x + lc);
    return hi > lo ? (hi - lo) / lc : 0.0;
}

}  // namespace

TEST(TrafficTimes, CrossingBetweenFramesAndItsFallbacks) {
    // Margin 0.5 at t 1.0, 2.5 at t 1.04: crosses 1 a quarter of the way.
    EXPECT_DOUBLE_EQ(CrossingTime(1.0, 0.5, 1.04, 2.5), 1.01);
    // Downwards as well (an exit).
    EXPECT_DOUBLE_EQ(CrossingTime(1.0, 3.0, 1.04, 0.0), 1.0 + 2.0 / 3.0 * 0.04);
    // Exactly on a frame.
    EXPECT_DOUBLE_EQ(CrossingTime(1.0, 1.0, 1.04, 3.0), 1.0);
    const double nan = std::nan("");
    EXPECT_EQ(CrossingTime(1.0, nan, 1.04, 2.0), 1.04);   // the frame before has no margin
    EXPECT_EQ(CrossingTime(1.0, 0.5, 1.04, nan), 1.04);   // nor this one
    EXPECT_EQ(CrossingTime(1.0, 2.0, 1.04, 2.0), 1.04);   // flat
    EXPECT_EQ(CrossingTime(1.0, 1.5, 1.04, 2.0), 1.04);   // already above 1 before: outside the interval
    EXPECT_EQ(CrossingTime(1.0, 0.2, 1.04, 0.5), 1.04);   // never reaches 1: beyond the frame
    EXPECT_EQ(CrossingTime(1.04, 0.5, 1.0, 2.0), 1.0);    // time ran backwards

    AreaMeasurement m = Record(2.0);
    EXPECT_DOUBLE_EQ(Margin(m), 2.0);
    const LimitValue::State missing[] = {LimitValue::State::NotANumber, LimitValue::State::SaturatedHigh,
                                         LimitValue::State::SaturatedLow};
    for (LimitValue::State s : missing) {
        m.presenceLimit.state = s;
        EXPECT_TRUE(std::isnan(Margin(m)));
    }
    m.presenceLimit = LimitValue{};  // a limit of 0
    EXPECT_TRUE(std::isnan(Margin(m)));
    m.presenceLimit.value = -5;
    EXPECT_TRUE(std::isnan(Margin(m)));
    EXPECT_TRUE(std::isnan(Margin(AreaMeasurement{})));  // a baseline record

    // The engine takes the first detection frame after a baseline at its
    // own time: the baseline frame has no margin.
    Feed feed(Config(""));
    feed.baseline(0.0);
    feed.frame(0.04, {3.0, 0.0});
    ASSERT_EQ(feed.triggers.size(), 1u);
    EXPECT_EQ(feed.triggers[0].entry, 0.04);
    feed.frame(0.08, {0.5, 0.0});
    feed.frame(0.12, {1.5, 0.0});
    ASSERT_EQ(feed.triggers.size(), 2u);
    EXPECT_DOUBLE_EQ(feed.triggers[1].entry, 0.10);
}

TEST(TrafficTimes, LengthCorrectedForThePresenceThreshold) {
    // 20 m/s over 1.2 s on a 2 m coil: 22 m uncorrected would be 24 - 2.
    EXPECT_DOUBLE_EQ(VehicleLength(20, 10, 11.2, 2, NAN), 22);
    // Peak margin 4: seen 2/4 of the coil short, so 24 - 2 * (1 - 0.5).
    EXPECT_DOUBLE_EQ(VehicleLength(20, 10, 11.2, 2, 4), 23);
    EXPECT_TRUE(std::isnan(VehicleLength(20, 10, 10.05, 2, NAN)));  // comes out negative
    EXPECT_TRUE(std::isnan(VehicleLength(0, 10, 11, 2, 3)));
    EXPECT_TRUE(std::isnan(VehicleLength(20, 11, 10, 2, 3)));
}

// Vehicles driven over a 6 m trap with 2 m coils at 25 fps: speed and
// length come back close to the truth, at speeds where whole frames alone
// would be several per cent off.
TEST(TrafficPairs, SpeedAndLengthOfVehiclesOverATrap) {
    const AreasConfig config =
        Config(R"(, "pairs": [{"name": "lane", "from": "in", "to": "out", "distance": 6, "max_time": 2}])",
               R"(, "length": 2)");
    Feed feed(config);
    const double dt = 0.04, peak = 3.0, lc = 2.0, gap = 6.0;
    const struct {
        double speed, length, offset;
    } cars[] = {{8.3, 4.5, 0.013}, {16.7, 4.2, 0.029}, {25.0, 12.0, 0.007}, {36.1, 4.0, 0.031}};
    double t0 = 0;
    feed.baseline(0);
    int64_t frame = 1;
    for (const auto& car : cars) {
        // The vehicle's front at x = 0 (the first coil's leading edge) at t0 + offset.
        const double start = t0 + car.offset;
        for (int k = 0; k < 200; ++k, ++frame) {
            const double t = static_cast<double>(frame) * dt;
            const double front = car.speed * (t - start) + 1.0;  // starts a metre before
            feed.frame(t, {peak * Covered(front - 1.0, car.length, 0, lc), peak * Covered(front - 1.0, car.length, gap, lc)});
            if (front - car.length > gap + lc + 2) break;
        }
        t0 = static_cast<double>(++frame) * dt;
    }
    feed.finish();
    ASSERT_EQ(feed.vehicles.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(feed.vehicles[i].speedKmh, cars[i].speed * 3.6, cars[i].speed * 3.6 * 0.01);
        ASSERT_TRUE(feed.vehicles[i].hasLength());
        EXPECT_NEAR(feed.vehicles[i].lengthM, cars[i].length, cars[i].length * 0.05);
        EXPECT_EQ(feed.vehicles[i].pairName, "lane");
    }
    EXPECT_EQ(feed.engine.pairCounts(0).matched, 4);
    EXPECT_EQ(feed.engine.pairCounts(0).unmatchedFrom, 0);
}

TEST(TrafficPairs, UnmatchedAndOutOfOrderTriggers) {
    Feed feed(Config(R"(, "pairs": [{"name": "lane", "from": "in", "to": "out", "distance": 10, "max_time": 1}])"));
    // Each trigger's margin rises from 0 to 2: it entered halfway between frames.
    auto entry = [&](int64_t frame, std::size_t area) {
        for (const TriggerReport& r : feed.triggers)
            if (r.frame == frame && r.area == area) return r.entry;
        ADD_FAILURE() << "no trigger on frame " << frame;
        return 0.0;
    };
    feed.baseline(0);
    // A "to" trigger with nothing waiting.
    feed.frame(0.1, {0, 2});
    feed.frame(0.2, {0, 0});
    // Both coils on the same frame: no "from" before the "to".
    feed.frame(0.3, {2, 2});
    feed.frame(0.4, {0, 0});
    EXPECT_EQ(feed.engine.pairCounts(0).unmatchedTo, 2);
    EXPECT_DOUBLE_EQ(entry(3, 0), 0.25);
    // The "from" of frame 3 is still waiting; a "to" within max_time takes it.
    feed.frame(0.8, {0, 2});
    feed.frame(0.9, {0, 0});
    ASSERT_EQ(feed.vehicles.size(), 1u);
    EXPECT_DOUBLE_EQ(feed.vehicles[0].speedKmh, 10.0 / (entry(5, 1) - entry(3, 0)) * 3.6);
    EXPECT_FALSE(feed.vehicles[0].hasLength());  // the "to" coil has no length
    // Two "from" triggers; the first is given up after max_time, the
    // second is matched: the earliest within max_time wins.
    feed.frame(1.0, {2, 0});
    feed.frame(1.1, {0, 0});
    feed.frame(1.8, {2, 0});
    feed.frame(1.9, {0, 0});
    feed.frame(2.3, {0, 2});
    feed.frame(2.4, {0, 0});
    ASSERT_EQ(feed.vehicles.size(), 2u);
    EXPECT_DOUBLE_EQ(feed.vehicles[1].speedKmh, 10.0 / (entry(11, 1) - entry(9, 0)) * 3.6);
    EXPECT_EQ(feed.vehicles[1].frame, 11);
    EXPECT_EQ(feed.vehicles[1].time, 2.3);
    EXPECT_EQ(feed.engine.pairCounts(0).unmatchedFrom, 1);
    // One left waiting at the end is unmatched; a vehicle still over its
    // "to" coil goes out without length.
    feed.frame(3.0, {2, 0});
    feed.frame(3.1, {0, 2});
    feed.finish();
    ASSERT_EQ(feed.vehicles.size(), 3u);
    EXPECT_FALSE(feed.vehicles[2].hasLength());
    EXPECT_EQ(feed.engine.pairCounts(0).matched, 3);
    EXPECT_EQ(feed.engine.pairCounts(0).unmatchedFrom, 1);
}

TEST(TrafficHoldoff, ABurstGivesOneReportedTrigger) {
    AreasConfig c = Config("", R"(, "holdoff": 0.5)");
    Feed burst(c, TrafficOptions{1000, IntervalBasis::StreamTime});
    burst.baseline(0);
    // Three triggers within a second, as front light flicker gives them.
    const double times[] = {1.0, 1.2, 1.4, 1.6, 1.8, 2.1};
    for (double t : times) {
        burst.frame(t, {2, 0});
        burst.frame(t + 0.04, {0, 0});
    }
    std::vector<bool> suppressed;
    for (const TriggerReport& r : burst.triggers) suppressed.push_back(r.suppressed);
    // 1.0 reported; 1.2, 1.4 within 0.5 s of it; 1.6 reported; 1.8 not; 2.1 reported.
    EXPECT_EQ(suppressed, (std::vector<bool>{false, true, true, false, true, false}));
    EXPECT_EQ(burst.engine.reported(0), 3);
    EXPECT_EQ(burst.engine.suppressed(0), 3);
    // A clock that jumps back does not silence the coil.
    burst.frame(0.5, {2, 0});
    EXPECT_FALSE(burst.triggers.back().suppressed);
    burst.finish();
    ASSERT_EQ(burst.rows.size(), 2u);
    EXPECT_EQ(burst.rows[0].count, 4);
}

TEST(TrafficHealth, EveryStateEnteredAndLeft) {
    AreasConfig c = Config(R"(, "health": {"no_activity": 10, "max_presence": 5, "chatter": 4})");
    Feed feed(c, TrafficOptions{1000, IntervalBasis::StreamTime});
    feed.baseline(0);
    auto states = [&](std::size_t area) {
        std::vector<std::string> s;
        for (const HealthEvent& e : feed.health)
            if (e.area == area) s.push_back(std::string(HealthStateText(e.previous)) + ">" + HealthStateText(e.state));
        return s;
    };
    // Area "in": kept present for 6 s, then left; both areas go quiet long
    // enough for no-activity ("out" never triggers).
    for (int k = 1; k <= 60; ++k) feed.frame(k * 0.1, {2, 0});
    EXPECT_EQ(feed.engine.health(0), HealthState::MaxPresence);
    feed.frame(6.1, {0, 0});
    EXPECT_EQ(feed.engine.health(0), HealthState::Ok);
    for (int k = 62; k <= 120; ++k) feed.frame(k * 0.1, {0, 0});
    EXPECT_EQ(feed.engine.health(0), HealthState::NoActivity);
    EXPECT_EQ(feed.engine.health(1), HealthState::NoActivity);
    // Four raw triggers within a minute: the first ends no-activity, the
    // fourth makes it chatter.
    for (int k = 0; k < 4; ++k) {
        feed.frame(13 + k, {2, 0});
        feed.frame(13.5 + k, {0, 0});
    }
    EXPECT_EQ(feed.engine.health(0), HealthState::Chatter);
    // A minute later the triggers have left the window.
    feed.frame(75, {0, 0});
    EXPECT_EQ(feed.engine.health(0), HealthState::NoActivity);
    feed.frame(75.1, {2, 0});
    EXPECT_EQ(feed.engine.health(0), HealthState::Ok);
    EXPECT_EQ(states(0), (std::vector<std::string>{"ok>max-presence", "max-presence>ok", "ok>no-activity",
                                                   "no-activity>ok", "ok>chatter", "chatter>no-activity",
                                                   "no-activity>ok"}));
    EXPECT_EQ(states(1), (std::vector<std::string>{"ok>no-activity"}));
    feed.finish();
    // The row holds the worst state of its interval.
    ASSERT_EQ(feed.rows.size(), 2u);
    EXPECT_EQ(feed.rows[0].health, "max-presence");
    EXPECT_EQ(feed.rows[1].health, "no-activity");
}

TEST(TrafficIntervals, GapsBackwardTimeAndThePartialLast) {
    Feed feed(Config(R"(, "pairs": [{"from": "in", "to": "out", "distance": 5}])"),
              TrafficOptions{10, IntervalBasis::StreamTime});
    feed.baseline(100);  // t0: intervals start at 100, 110, ...
    feed.frame(101, {2, 0});
    feed.frame(102, {0, 0});
    feed.frame(103, {0, 0});
    feed.frame(104, {2, 0});
    feed.frame(99, {2, 0});  // backwards: counts into the open interval
    EXPECT_TRUE(feed.rows.empty());
    feed.frame(135, {0, 0});  // forward into interval 3: 1 and 2 are empty
    ASSERT_EQ(feed.rows.size(), 6u);
    const IntervalRow& first = feed.rows[0];
    EXPECT_EQ(first.start, 100);
    EXPECT_EQ(first.end, 110);
    EXPECT_EQ(first.frames, 5);  // the baseline frame not among them
    EXPECT_EQ(first.count, 2);
    EXPECT_DOUBLE_EQ(*first.occupancy, 3.0 / 5.0);
    EXPECT_FALSE(first.vehicles);  // "in" is no pair's "to"
    EXPECT_EQ(*feed.rows[1].vehicles, 0);
    EXPECT_FALSE(feed.rows[1].meanSpeedKmh);
    for (std::size_t r = 2; r < 6; ++r) {
        EXPECT_EQ(feed.rows[r].frames, 0);
        EXPECT_FALSE(feed.rows[r].occupancy);
    }
    EXPECT_EQ(feed.rows[4].start, 120);
    feed.finish();
    ASSERT_EQ(feed.rows.size(), 8u);
    EXPECT_EQ(feed.rows[6].start, 130);
    EXPECT_EQ(feed.rows[6].end, 140);  // the partial last one keeps its full span
    EXPECT_EQ(feed.rows[6].frames, 1);
    EXPECT_TRUE(feed.warnings.empty());

    // Beyond an hour of gap: an hour of empty intervals, then one warning.
    Feed gap(Config(""), TrafficOptions{600, IntervalBasis::StreamTime});
    gap.frame(0, {0, 0});
    gap.frame(86400, {0, 0});
    EXPECT_EQ(gap.rows.size(), 2u * 7);  // the closed one and six empty ones
    ASSERT_EQ(gap.warnings.size(), 1u);
    gap.finish();
    EXPECT_EQ(gap.rows.back().start, 86400);
}

TEST(TrafficIntervals, LiveIntervalsFollowTheWallClock) {
    TrafficEngine engine(Config(""), TrafficOptions{60, IntervalBasis::WallClock});
    std::vector<AreaMeasurement> records(2, Record(0));
    TrafficFrame f;
    f.measurements = records.data();
    f.time = 5;
    f.wallTime = 1796847990;  // 2026-12-09T20:26:30Z
    engine.frame(f);
    f.time = 36;
    f.wallTime += 31;
    const TrafficOutput& out = engine.frame(f);
    ASSERT_EQ(out.rows.size(), 2u);
    EXPECT_EQ(out.rows[0].wallStart, "2026-12-09T20:26:00Z");
    EXPECT_EQ(out.rows[0].start, -25);  // 30 s before the first frame, in stream seconds
    EXPECT_THROW(TrafficEngine(Config(""), TrafficOptions{0, IntervalBasis::WallClock}), ToolError);
}

TEST(TrafficIntervals, RowsReadBackFromBothForms) {
    IntervalRow a;
    a.start = 60;
    a.end = 120;
    a.area = 1;
    a.name = "lane \"1\", out";
    a.frames = 1500;
    a.count = 12;
    a.occupancy = 0.123456;
    a.vehicles = 11;
    a.meanSpeedKmh = 48.256;
    a.health = "chatter";
    a.wallStart = "2026-12-09T20:26:00Z";
    IntervalRow b;
    b.name = "in";
    EXPECT_EQ(IntervalCsv(a), "60.000000,120.000000,1,\"lane \"\"1\"\", out\",1500,12,0.1235,11,48.26,,chatter,"
                              "2026-12-09T20:26:00Z\n");
    for (IntervalFormat format : {IntervalFormat::Csv, IntervalFormat::Jsonl}) {
        const bool csv = format == IntervalFormat::Csv;
        const std::string text = csv ? IntervalCsvHeader() + IntervalCsv(a) + IntervalCsv(b)
                                     : IntervalJsonl(a) + IntervalJsonl(b);
        const std::vector<IntervalRow> back = ReadIntervalRows(text, format, "rows");
        ASSERT_EQ(back.size(), 2u);
        EXPECT_EQ(back[0].name, a.name);
        EXPECT_EQ(*back[0].occupancy, 0.1235);
        EXPECT_EQ(*back[0].meanSpeedKmh, 48.26);
        EXPECT_FALSE(back[0].meanLengthM);
        EXPECT_EQ(back[0].wallStart, a.wallStart);
        EXPECT_FALSE(back[1].occupancy);
        EXPECT_FALSE(back[1].vehicles);
        EXPECT_EQ(back[1].wallStart, "");
    }
    EXPECT_THROW(ReadIntervalRows("start,end\n", IntervalFormat::Csv, "rows"), ToolError);
    EXPECT_THROW(ReadIntervalRows(std::string(IntervalCsvHeader()) + "1,2,3\n", IntervalFormat::Csv, "rows"), ToolError);
    EXPECT_THROW(ReadIntervalRows("{\"start\": 1}\n", IntervalFormat::Jsonl, "rows"), ToolError);
}
