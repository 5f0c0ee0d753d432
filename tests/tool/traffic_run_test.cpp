// traffic_run_test.cpp - `run --stats`, holdoff and the traffic events on
// the test clip, checked against the run's own trace.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/traffic/interval_row.h"
#include "tests/tool/tool_test_util.h"
#include "tools/evidence/reported_triggers.h"

using namespace tooltest;
using json = nlohmann::ordered_json;

namespace {

// The clip's areas with a holdoff on the left coil (its second passage,
// 2.4 s after the first, is held back), a pair from the left coil to the
// right one, and a max-presence check short enough for the clip's blocks
// to set it off.
std::string TrafficAreasJson() {
    std::string text = ClipAreasJson();
    const std::string left = "\"threshold\": 0.1}";
    text.replace(text.find(left), left.size(), "\"threshold\": 0.1, \"holdoff\": 2.5}");
    const std::string right = "[95, 68]], \"threshold\": 0.1}";
    text.replace(text.find(right), right.size(), "[95, 68]], \"threshold\": 0.1, \"length\": 2.0}");
    const std::string end = "\n  ]\n}";
    text.replace(text.rfind(end), end.size(),
                 "\n  ],\n  \"pairs\": [{\"name\": \"lane\", \"from\": \"left, \\\"A\\\"\", \"to\": \"right\", "
                 "\"distance\": 6.0, \"max_time\": 4.0}],\n  \"health\": {\"max_presence\": 0.2}\n}");
    return text;
}

std::vector<json> JsonLines(const std::string& text) {
    std::vector<json> out;
    for (const std::string& line : Lines(text)) out.push_back(json::parse(line));
    return out;
}

// One coil's interval as recomputed from trace records.
struct Tally {
    int64_t frames = 0, present = 0, count = 0;
};

struct RunOutput {
    CliResult cli;
    std::vector<json> trace, events;
    std::vector<tarvotool::IntervalRow> rows;
};

RunOutput RunWithStats(const std::string& name, const std::vector<std::string>& extra) {
    const std::string areas = Scratch(name + "-areas.json"), trace = Scratch(name + "-trace.jsonl"),
                      events = Scratch(name + "-events.jsonl"), stats = Scratch(name + "-stats.csv");
    WriteFile(areas, TrafficAreasJson());
    std::vector<std::string> args = {"run",     ClipPath(), "--areas", areas, "--trace", trace, "--stats",
                                     stats,     "--format", "jsonl",   "--events", events};
    args.insert(args.end(), extra.begin(), extra.end());
    RunOutput out;
    out.cli = RunCli(args);
    if (out.cli.status != 0) return out;
    out.trace = JsonLines(ReadFile(trace));
    out.events = JsonLines(ReadFile(events));
    out.rows = tarvotool::ReadIntervalRows(ReadFile(stats), tarvotool::IntervalFormat::Csv, stats);
    return out;
}

}  // namespace

// Every row's frames, count and occupancy follow from the trace: frames
// are the detection records in the interval, occupancy the share of them
// with `present`, count the triggers not marked suppressed. The events
// file carries exactly those reported triggers, and the summary counts the
// suppressed ones.
TEST(TrafficRun, StatsRowsAndReportedTriggersFollowFromTheTrace) {
    const double interval = 0.5;
    const RunOutput r = RunWithStats("rows", {"--stats-interval", "0.5"});
    ASSERT_EQ(r.cli.status, 0) << r.cli.err;
    ASSERT_EQ(r.trace.size(), 3u * kClipFrames);
    const double t0 = r.trace.front()["time"].get<double>();
    std::map<std::pair<int64_t, int>, Tally> tallies;
    std::vector<std::pair<int64_t, int>> reported;
    int64_t suppressed = 0;
    for (const json& rec : r.trace) {
        const int area = rec["area"].get<int>();
        const double t = rec["time"].get<double>();
        const int64_t k = static_cast<int64_t>(std::floor((t - t0) / interval + 1e-9));
        Tally& tally = tallies[{k, area}];
        if (rec["kind"] != "detect") continue;
        ++tally.frames;
        tally.present += rec["present"].get<bool>() ? 1 : 0;
        const bool held = rec.value("suppressed", false);
        if (held) {
            EXPECT_EQ(rec["result"], 1) << "only triggers are marked: " << rec.dump();
        }
        if (rec["result"] == 1 && !held) {
            ++tally.count;
            reported.push_back({rec["frame"].get<int64_t>(), area});
        }
        suppressed += held ? 1 : 0;
    }
    EXPECT_GT(suppressed, 0) << "the clip should re-trigger the left coil within its holdoff";

    // 4.76 s of frames in 0.5 s intervals: 10 intervals of 3 coils.
    ASSERT_EQ(r.rows.size(), 30u);
    for (const tarvotool::IntervalRow& row : r.rows) {
        const int64_t k = static_cast<int64_t>(std::llround((row.start - t0) / interval));
        SCOPED_TRACE("interval " + std::to_string(k) + " area " + std::to_string(row.area));
        const Tally& want = tallies[{k, static_cast<int>(row.area)}];
        EXPECT_NEAR(row.end - row.start, interval, 1e-6);
        EXPECT_EQ(row.frames, want.frames);
        EXPECT_EQ(row.count, want.count);
        ASSERT_TRUE(row.occupancy.has_value());
        EXPECT_NEAR(*row.occupancy, static_cast<double>(want.present) / want.frames, 0.00005);
        EXPECT_EQ(row.wallStart, "");
        EXPECT_EQ(row.vehicles.has_value(), row.area == 1) << "vehicles only on the pair's second coil";
    }

    std::vector<std::pair<int64_t, int>> written;
    for (const json& e : r.events)
        if (e["event"] == "trigger") written.push_back({e["frame"].get<int64_t>(), e["area"].get<int>()});
    EXPECT_EQ(written, reported);
    EXPECT_NE(r.cli.err.find(std::to_string(suppressed) + " triggers held back by holdoff"), std::string::npos)
        << r.cli.err;
}

// Vehicles on the pair go to the events file in the event object's form,
// each after its "to" trigger, and count in the row of that trigger's time;
// with --stats-events each row is also an event carrying the row's values.
TEST(TrafficRun, VehicleAndStatsEventsReachTheEventsFile) {
    const RunOutput r = RunWithStats("events", {"--stats-interval", "2", "--stats-events"});
    ASSERT_EQ(r.cli.status, 0) << r.cli.err;
    std::vector<json> vehicles, stats, health;
    std::map<int64_t, double> triggerTime;  // frame of each "right" trigger
    uint64_t lastId = 0;
    for (const json& e : r.events) {
        EXPECT_GT(e["id"].get<uint64_t>(), lastId) << "ids increase";
        lastId = e["id"].get<uint64_t>();
        if (e["event"] == "trigger" && e["area"] == 1) triggerTime[e["frame"].get<int64_t>()] = e["time"];
        if (e["event"] == "vehicle") {
            EXPECT_EQ(triggerTime.count(e["frame"].get<int64_t>()), 1u) << "after its trigger: " << e.dump();
            vehicles.push_back(e);
        }
        if (e["event"] == "stats") stats.push_back(e);
        if (e["event"] == "health") health.push_back(e);
    }
    ASSERT_FALSE(vehicles.empty()) << "the clip's blocks cross the left coil, then the right one";
    for (const json& v : vehicles) {
        std::vector<std::string> keys;
        for (auto it = v.begin(); it != v.end(); ++it) keys.push_back(it.key());
        const std::vector<std::string> head = {"event", "id", "wall_time", "pair", "from", "to", "frame", "time",
                                               "speed_kmh"};
        EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 9), head) << v.dump();
        EXPECT_EQ(v["pair"], "lane");
        EXPECT_EQ(v["from"], "left, \"A\"");
        EXPECT_GT(v["speed_kmh"].get<double>(), 0.0);
    }
    // Each coil's health goes to max-presence and back to ok, in turn.
    ASSERT_FALSE(health.empty());
    std::map<int, std::string> state;
    for (const json& h : health) {
        std::vector<std::string> keys;
        for (auto it = h.begin(); it != h.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"event", "id", "wall_time", "state", "previous", "frame", "time",
                                                  "area", "name"}));
        const int area = h["area"].get<int>();
        EXPECT_EQ(h["previous"], state.count(area) ? state[area] : "ok") << h.dump();
        EXPECT_NE(h["state"], h["previous"]);
        state[area] = h["state"].get<std::string>();
    }
    ASSERT_EQ(stats.size(), r.rows.size());
    int64_t vehiclesInRows = 0;
    for (std::size_t i = 0; i < stats.size(); ++i) {
        EXPECT_EQ(stats[i]["name"], r.rows[i].name);
        EXPECT_EQ(stats[i]["frames"], r.rows[i].frames);
        EXPECT_EQ(stats[i]["count"], r.rows[i].count);
        EXPECT_NEAR(stats[i]["start"].get<double>(), r.rows[i].start, 1e-6);
        EXPECT_EQ(stats[i]["wall_start"], nullptr);
        vehiclesInRows += r.rows[i].vehicles.value_or(0);
    }
    EXPECT_EQ(vehiclesInRows, static_cast<int64_t>(vehicles.size()));
}

// CSV events keep the triggers' columns; the stats file in JSON Lines
// reads back as the CSV one does.
TEST(TrafficRun, CsvEventsKeepTriggersAndStatsFormatsAgree) {
    const std::string areas = Scratch("fmt-areas.json"), csvStats = Scratch("fmt.csv"),
                      jsonStats = Scratch("fmt.jsonl");
    WriteFile(areas, TrafficAreasJson());
    const CliResult a = RunCli({"run", ClipPath(), "--areas", areas, "--stats", csvStats, "--quiet"});
    ASSERT_EQ(a.status, 0) << a.err;
    for (const std::string& line : Lines(a.out)) EXPECT_EQ(line.find("vehicle"), std::string::npos) << line;
    const CliResult b = RunCli(
        {"run", ClipPath(), "--areas", areas, "--stats", jsonStats, "--stats-format", "jsonl", "--quiet"});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
    const auto fromCsv = tarvotool::ReadIntervalRows(ReadFile(csvStats), tarvotool::IntervalFormat::Csv, csvStats);
    const auto fromJson =
        tarvotool::ReadIntervalRows(ReadFile(jsonStats), tarvotool::IntervalFormat::Jsonl, jsonStats);
    ASSERT_EQ(fromCsv.size(), 3u) << "one 60 s interval, three coils";
    ASSERT_EQ(fromJson.size(), fromCsv.size());
    for (std::size_t i = 0; i < fromCsv.size(); ++i) {
        EXPECT_EQ(fromJson[i].frames, fromCsv[i].frames);
        EXPECT_EQ(fromJson[i].count, fromCsv[i].count);
        EXPECT_EQ(fromJson[i].occupancy, fromCsv[i].occupancy);
        EXPECT_EQ(fromJson[i].meanSpeedKmh, fromCsv[i].meanSpeedKmh);
    }
    EXPECT_EQ(fromCsv[0].frames, kClipFrames - 1) << "the baseline frame is not counted";
    EXPECT_NE(RunCli({"run", ClipPath(), "--areas", areas, "--stats", csvStats, "--stats-interval", "0"}).status, 0);
    EXPECT_NE(RunCli({"run", ClipPath(), "--areas", areas, "--stats", areas}).status, 0)
        << "the stats file may not overwrite the areas file";
    // A stats file that cannot be made fails the run before the events
    // file is touched.
    const std::string kept = Scratch("fmt-kept.csv");
    WriteFile(kept, "kept\n");
    const CliResult bad =
        RunCli({"run", ClipPath(), "--areas", areas, "--events", kept, "--stats", Scratch("no-such-dir/s.csv")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("cannot write stats file"), std::string::npos) << bad.err;
    EXPECT_EQ(ReadFile(kept), "kept\n");
}

// Holdoff over whole trigger lists (what tune and the editor's Test score)
// keeps exactly the triggers the frame-by-frame filter of `run` reports.
TEST(TrafficRun, HoldoffOverTriggerListsAsRunReportsThem) {
    const std::vector<double> times = {0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
    // Counted from the last reported trigger, not the last raw one: a
    // steady chatter still gets one trigger through per holdoff.
    EXPECT_EQ(tarvotool::ReportedFrames({1, 2, 3, 4, 5, 6}, times, 0.25), (std::vector<int64_t>{1, 4}));
    EXPECT_EQ(tarvotool::ReportedFrames({1, 2, 3}, times, 0.0), (std::vector<int64_t>{1, 2, 3}));
    // A frame without a time is kept rather than dropped.
    EXPECT_EQ(tarvotool::ReportedFrames({1, 2, 40}, times, 0.5), (std::vector<int64_t>{1, 40}));
    tarvotool::AreasConfig areas;
    areas.areas.resize(2);
    areas.areas[0].holdoff = 1.0;
    const std::vector<tarvotool::Event> events = {
        {5, 0.2, 0, "a"}, {6, 0.24, 1, "b"}, {7, 0.28, 0, "a"}, {8, 0.32, 1, "b"}, {40, 1.6, 0, "a"}};
    std::vector<int64_t> kept;
    for (const tarvotool::Event& e : tarvotool::ReportedEvents(events, areas)) kept.push_back(e.frame);
    EXPECT_EQ(kept, (std::vector<int64_t>{5, 6, 8, 40})) << "each coil its own holdoff";
}
