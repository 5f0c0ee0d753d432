// traffic_test.cpp - the element's traffic messages (reported triggers,
// vehicles, health, stats rows) are the traffic engine's, driven as the
// tool drives it, on the tool's clip with a pair of coils.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/traffic/traffic_engine.h"
#include "tarvocoil.hpp"
#include "tests/gst/gst_test_util.h"
#include "tests/tool/tool_test_util.h"

using tarvotool::BgrImage;

namespace {

// The clip's block crosses "left" then "right" twice, 2.4 s apart; the
// holdoff on "left" suppresses its second trigger, so only the first
// passage becomes a vehicle and the second "right" trigger stays unmatched.
const char* kPairAreas = R"({"areas": [
    {"name": "left", "vertices": [[20, 30], [60, 30], [60, 70], [20, 70]], "length": 4.0, "holdoff": 3.0},
    {"name": "right", "vertices": [[95, 30], [135, 32], [133, 70], [95, 68]], "length": 4.0}],
  "pairs": [{"name": "lane", "from": "left", "to": "right", "distance": 7.5}],
  "health": {"no_activity": 1}})";

struct Expected {
    gsttest::Events triggers;
    std::vector<tarvotool::VehicleEvent> vehicles;
    std::vector<tarvotool::HealthEvent> health;
    std::vector<tarvotool::IntervalRow> rows;
    int raw = 0;  // triggers before holdoff
};

// The engine fed as `tarvocoil run` feeds it: processed-frame index, the
// file's time, the first frame a baseline, the detector's own records.
Expected EngineOnFrames(const tarvotool::AreasConfig& config, const std::vector<BgrImage>& frames,
                        const std::vector<double>& times, double interval) {
    tarvocoil::Detector det;
    tarvotool::ApplyAreas(det, config);
    det.setMeasuring(true);
    tarvotool::TrafficOptions options;
    options.intervalSeconds = interval;
    tarvotool::TrafficEngine engine(config, options);
    Expected e;
    auto take = [&](const tarvotool::TrafficOutput& o) {
        e.vehicles.insert(e.vehicles.end(), o.vehicles.begin(), o.vehicles.end());
        e.health.insert(e.health.end(), o.health.begin(), o.health.end());
        e.rows.insert(e.rows.end(), o.rows.begin(), o.rows.end());
        for (const tarvotool::TriggerReport& t : o.triggers)
            if (!t.suppressed) e.triggers.emplace_back(t.frame, static_cast<int>(t.area), std::string(t.name));
    };
    std::vector<int32_t> flags(config.areas.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::fill(flags.begin(), flags.end(), 0);
        const tarvocoil::FrameView view{frames[i].data.data(), frames[i].width, frames[i].height, frames[i].stride};
        EXPECT_TRUE(det.process(view, flags.data()));
        for (int32_t f : flags) e.raw += f;
        tarvotool::TrafficFrame f;
        f.index = static_cast<int64_t>(i);
        f.time = times[i];
        f.baseline = i == 0;
        f.triggers = flags.data();
        f.measurements = det.measurements().data();
        take(engine.frame(f));
    }
    take(engine.finish());
    return e;
}

std::vector<const GstStructure*> Named(const gsttest::BusLog& log, const char* name) {
    std::vector<const GstStructure*> out;
    for (const auto& s : log.traffic)
        if (gst_structure_has_name(s.get(), name)) out.push_back(s.get());
    return out;
}

double Double(const GstStructure* s, const char* field) {
    double v = NAN;
    EXPECT_TRUE(gst_structure_get_double(s, field, &v)) << field;
    return v;
}

gint64 Int64(const GstStructure* s, const char* field) {
    gint64 v = -1;
    EXPECT_TRUE(gst_structure_get_int64(s, field, &v)) << field;
    return v;
}

std::string Text(const GstStructure* s, const char* field) {
    const char* v = gst_structure_get_string(s, field);
    return v ? v : "";
}

gsttest::BusLog Play(const std::string& areas, const std::vector<BgrImage>& frames, const std::vector<double>& times,
                     const std::string& properties) {
    gsttest::Feeder f("", frames[0].width, frames[0].height, "areas-file=" + areas + " " + properties);
    for (std::size_t i = 0; i < frames.size(); ++i) f.push(frames[i], frames[i].stride, std::llround(times[i] * 1e9));
    return f.finish();
}

void ExpectSameRow(const tarvotool::IntervalRow& want, const GstStructure* got) {
    EXPECT_DOUBLE_EQ(Double(got, "start"), want.start);
    EXPECT_DOUBLE_EQ(Double(got, "end"), want.end);
    EXPECT_EQ(Text(got, "name"), want.name);
    EXPECT_EQ(Int64(got, "frames"), want.frames);
    EXPECT_EQ(Int64(got, "count"), want.count);
    EXPECT_EQ(Text(got, "health"), want.health);
    EXPECT_EQ(gst_structure_has_field(got, "occupancy"), want.occupancy.has_value());
    if (want.occupancy) {
        EXPECT_DOUBLE_EQ(Double(got, "occupancy"), *want.occupancy);
    }
    EXPECT_EQ(gst_structure_has_field(got, "vehicles"), want.vehicles.has_value());
    if (want.vehicles) {
        EXPECT_EQ(Int64(got, "vehicles"), *want.vehicles);
    }
    EXPECT_EQ(gst_structure_has_field(got, "mean-speed-kmh"), want.meanSpeedKmh.has_value());
    if (want.meanSpeedKmh) {
        EXPECT_DOUBLE_EQ(Double(got, "mean-speed-kmh"), *want.meanSpeedKmh);
    }
    if (want.meanLengthM) {
        EXPECT_DOUBLE_EQ(Double(got, "mean-length-m"), *want.meanLengthM);
    }
}

}  // namespace

TEST(GstTraffic, MessagesAreTheEnginesOnTheToolsFrames) {
    const std::string areas = tooltest::Scratch("pair.json");
    tooltest::WriteFile(areas, kPairAreas);
    std::vector<double> times;
    const std::vector<BgrImage> frames = tooltest::DecodeAll(tooltest::ClipPath(), &times);
    const Expected want = EngineOnFrames(tarvotool::ParseAreas(kPairAreas, "pair"), frames, times, 2.0);
    ASSERT_EQ(want.vehicles.size(), 1u);
    ASSERT_EQ(want.raw, static_cast<int>(want.triggers.size()) + 1);  // the holdoff took one
    ASSERT_FALSE(want.health.empty());

    const gsttest::BusLog log = Play(areas, frames, times, "stats-interval=2");
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_EQ(log.triggers, want.triggers);

    const auto vehicles = Named(log, "tarvocoil-vehicle");
    ASSERT_EQ(vehicles.size(), 1u);
    const tarvotool::VehicleEvent& v = want.vehicles[0];
    EXPECT_EQ(Text(vehicles[0], "pair"), "lane");
    EXPECT_EQ(Text(vehicles[0], "from") + ">" + Text(vehicles[0], "to"), "left>right");
    guint64 frame = 0;
    EXPECT_TRUE(gst_structure_get_uint64(vehicles[0], "frame", &frame));
    EXPECT_EQ(static_cast<int64_t>(frame), v.frame);
    EXPECT_DOUBLE_EQ(Double(vehicles[0], "speed-kmh"), v.speedKmh);
    EXPECT_NEAR(v.speedKmh, 36.0, 36.0 * 0.08);  // 4 px a frame at 25 fps, 0.1 m a pixel
    ASSERT_TRUE(v.hasLength());
    EXPECT_DOUBLE_EQ(Double(vehicles[0], "length-m"), v.lengthM);

    const auto health = Named(log, "tarvocoil-health");
    ASSERT_EQ(health.size(), want.health.size());
    for (std::size_t k = 0; k < health.size(); ++k) {
        EXPECT_EQ(Text(health[k], "state"), tarvotool::HealthStateText(want.health[k].state));
        EXPECT_EQ(Text(health[k], "previous"), tarvotool::HealthStateText(want.health[k].previous));
        EXPECT_EQ(Text(health[k], "name"), std::string(want.health[k].name));
        EXPECT_DOUBLE_EQ(Double(health[k], "time"), want.health[k].time);
    }

    const auto stats = Named(log, "tarvocoil-stats");
    ASSERT_EQ(stats.size(), want.rows.size());
    ASSERT_EQ(stats.size(), 6u);  // 4.8 s in 2 s intervals, two coils
    for (std::size_t k = 0; k < stats.size(); ++k) ExpectSameRow(want.rows[k], stats[k]);
}

TEST(GstTraffic, WithoutAnIntervalNoStatsButVehiclesAndHoldoffStay) {
    const std::string areas = tooltest::Scratch("pair.json");
    tooltest::WriteFile(areas, kPairAreas);
    std::vector<double> times;
    const std::vector<BgrImage> frames = tooltest::DecodeAll(tooltest::ClipPath(), &times);
    const gsttest::BusLog log = Play(areas, frames, times, "");
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_TRUE(Named(log, "tarvocoil-stats").empty());
    EXPECT_EQ(Named(log, "tarvocoil-vehicle").size(), 1u);
    const Expected want = EngineOnFrames(tarvotool::ParseAreas(kPairAreas, "pair"), frames, times, 2.0);
    EXPECT_EQ(log.triggers, want.triggers);
}

TEST(GstTraffic, PlayedAgainAfterItsEndTheStreamCountsAfresh) {
    const std::string areas = tooltest::Scratch("pair.json");
    tooltest::WriteFile(areas, kPairAreas);
    std::vector<double> times;
    const std::vector<BgrImage> frames = tooltest::DecodeAll(tooltest::ClipPath(), &times);
    const int w = frames[0].width, h = frames[0].height;
    std::string raw;
    for (const BgrImage& img : frames)
        for (int y = 0; y < h; ++y) raw.append(reinterpret_cast<const char*>(img.row(y)), w * 3);
    const std::string bgr = tooltest::Scratch("pair.bgr");
    tooltest::WriteFile(bgr, raw);
    const gsttest::BusLog log = gsttest::RunToEndTwice(gsttest::Parse(
        "filesrc location=" + bgr + " ! rawvideoparse format=bgr framerate=25/1 width=" + std::to_string(w) +
        " height=" + std::to_string(h) + " plane-strides=<" + std::to_string(3 * w) +
        "> ! tarvocoil stats-interval=2 areas-file=" + areas + " ! fakesink"));
    EXPECT_TRUE(log.eos && log.errors.empty());
    // Each pass: its vehicle and its three intervals per coil, the second
    // pass's intervals counted from its own first frame again.
    EXPECT_EQ(Named(log, "tarvocoil-vehicle").size(), 2u);
    const auto stats = Named(log, "tarvocoil-stats");
    ASSERT_EQ(stats.size(), 12u);
    for (std::size_t k = 0; k < 6; ++k) {
        EXPECT_DOUBLE_EQ(Double(stats[k + 6], "start"), Double(stats[k], "start"));
        EXPECT_EQ(Int64(stats[k + 6], "count"), Int64(stats[k], "count"));
    }
}
