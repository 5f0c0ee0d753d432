// live_run_test.cpp - `tarvocoil run URL` on a live stream that ffmpeg
// serves on 127.0.0.1, killed, stalled and started again mid-run.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/traffic/interval_row.h"
#include "tests/tool/stream_server.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using namespace std::chrono_literals;

namespace {

std::vector<nlohmann::json> Events(const std::string& path) {
    std::vector<nlohmann::json> events;
    for (const std::string& line : Lines(ReadFile(path))) {
        if (line.empty() || line.back() != '}') break;  // a line still being written
        events.push_back(nlohmann::json::parse(line));
    }
    return events;
}

std::size_t Count(const std::vector<nlohmann::json>& events, const std::string& kind) {
    std::size_t n = 0;
    for (const auto& e : events) n += e.at("event") == kind;
    return n;
}

// Waits (bounded) until the events file satisfies `ready`.
template <typename Pred>
bool WaitFor(const std::string& path, Pred ready, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (ready(Events(path))) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// Triggers after the last stream-restored event.
std::size_t TriggersAfterLastReturn(const std::vector<nlohmann::json>& events) {
    std::size_t n = 0;
    for (const auto& e : events) {
        if (e.at("event") == "stream-restored") n = 0;
        if (e.at("event") == "trigger") ++n;
    }
    return n;
}

}  // namespace

TEST(RunLive, SurvivesAStreamThatDiesAndStallsAndDetectsAgainAfterward) {
    const std::string areas = Scratch("live-areas.json");
    WriteFile(areas, ClipAreasJson());
    StreamServer server(ClipPath());
    server.start();
    const std::string events = Scratch("live.jsonl"), out = Scratch("live.out"), err = Scratch("live.err");
    const std::string trace = Scratch("live-trace.jsonl"), stats = Scratch("live-stats.csv");
    const int pid = StartCli({"run", server.url(), "--areas", areas, "--format", "jsonl", "--events", events,
                              "--stall", "1.5", "--retry-max-delay", "1", "--trace", trace, "--stats", stats,
                              "--stats-interval", "1"},
                             out, err);
    auto triggers = [](std::size_t n) {
        return [n](const std::vector<nlohmann::json>& e) { return Count(e, "trigger") >= n; };
    };
    ASSERT_TRUE(WaitFor(events, triggers(2), 30s)) << ReadFile(err);

    server.kill();  // the stream ends: EOF on a live source
    ASSERT_TRUE(WaitFor(events, [](const auto& e) { return Count(e, "stream-lost") >= 1; }, 20s)) << ReadFile(err);
    std::this_thread::sleep_for(1500ms);  // some refused reconnection attempts
    server.start();
    ASSERT_TRUE(WaitFor(events, [](const auto& e) { return Count(e, "stream-restored") >= 1 &&
                                                           TriggersAfterLastReturn(e) >= 2; }, 40s))
        << ReadFile(err);

    server.pause();  // the stream stalls: no frame for --stall seconds
    ASSERT_TRUE(WaitFor(events, [](const auto& e) { return Count(e, "stream-lost") >= 2; }, 20s)) << ReadFile(err);
    server.kill();
    server.start();
    ASSERT_TRUE(WaitFor(events, [](const auto& e) { return Count(e, "stream-restored") >= 2 &&
                                                           TriggersAfterLastReturn(e) >= 1; }, 40s))
        << ReadFile(err);

    kill(pid, SIGINT);
    const int status = WaitCli(pid, 30);
    const std::string log = ReadFile(err);
    EXPECT_EQ(status, 0) << log;  // a signal is how a live run ends
    EXPECT_NE(log.find(", stopped by SIGINT"), std::string::npos) << log;

    const std::vector<nlohmann::json> all = Events(events);
    // The summary counts every event it wrote, the stream events too.
    EXPECT_NE(log.find(" frames lost, " + std::to_string(all.size()) + " events,"), std::string::npos) << log;
    int64_t lastFrame = -1;
    uint64_t lastId = 0;
    std::vector<std::string> reasons;
    std::vector<int64_t> restoredAt;
    for (const auto& e : all) {
        EXPECT_GT(e.at("id").get<uint64_t>(), lastId);  // ids grow
        lastId = e.at("id").get<uint64_t>();
        if (e.at("event") == "stream-lost") reasons.push_back(e.at("reason").get<std::string>());
        if (e.at("event") == "stream-restored") {
            EXPECT_GT(e.at("gap").get<double>(), 0.0);
            restoredAt.push_back(e.at("frame").get<int64_t>());
        }
        if (e.contains("frame") && e.at("event") != "stream-lost") {
            // frame indices keep counting across reconnections
            EXPECT_GT(e.at("frame").get<int64_t>(), lastFrame) << e.dump();
            lastFrame = e.at("frame").get<int64_t>();
        }
    }
    ASSERT_EQ(reasons.size(), 2u);
    EXPECT_NE(reasons[0].find_first_not_of(' '), std::string::npos);  // EOF or a reset, as the network tells
    EXPECT_EQ(reasons[1], "no frame for 1.5 s");
    EXPECT_NE(log.find("the stream came back; taking a new baseline"), std::string::npos) << log;

    // The trace: the first frame's baseline, and one at each return (the
    // frame the stream-restored event names), one row per area.
    std::vector<std::string> baselines;
    std::vector<int64_t> back;
    for (const std::string& row : Lines(ReadFile(trace))) {
        const auto j = nlohmann::json::parse(row);
        if (j.at("kind") != "baseline") continue;
        baselines.push_back(j.at("reason"));
        if (j.at("reason") == "reconnect" && j.at("area") == 0) back.push_back(j.at("frame"));
    }
    ASSERT_EQ(baselines.size(), 3u * 3u) << "three areas, three baselines";
    // Stats over the gaps: wall-clock seconds in order, and every
    // detection frame of the trace counted once.
    const auto rows = tarvotool::ReadIntervalRows(ReadFile(stats), tarvotool::IntervalFormat::Csv, stats);
    int64_t detectRecords = 0, counted = 0;
    for (const std::string& row : Lines(ReadFile(trace)))
        detectRecords += nlohmann::json::parse(row).at("kind") == "detect" ? 1 : 0;
    std::vector<std::string> starts;
    for (const auto& row : rows) {
        counted += row.frames;
        EXPECT_EQ(row.wallStart.size(), 20u) << "whole UTC seconds: " << row.wallStart;
        EXPECT_EQ(row.wallStart.back(), 'Z') << row.wallStart;
        if (row.area == 0) starts.push_back(row.wallStart);
    }
    EXPECT_EQ(counted, detectRecords);
    // ISO 8601 text orders as time does; each second once.
    for (std::size_t i = 1; i < starts.size(); ++i) EXPECT_LT(starts[i - 1], starts[i]);
    EXPECT_EQ(std::count(baselines.begin(), baselines.end(), "start"), 3);
    EXPECT_EQ(std::count(baselines.begin(), baselines.end(), "reconnect"), 6);
    EXPECT_EQ(back, restoredAt);
}

TEST(RunLive, AStreamGivenUpOnEndsTheRunWithAnError) {
    const std::string areas = Scratch("live-areas2.json");
    WriteFile(areas, ClipAreasJson());
    StreamServer server(ClipPath());
    server.start();
    const std::string events = Scratch("live2.jsonl"), out = Scratch("live2.out"), err = Scratch("live2.err");
    const int pid = StartCli({"run", server.url(), "--areas", areas, "--format", "jsonl", "--events", events,
                              "--max-retries", "2", "--retry-max-delay", "0.5"},
                             out, err);
    ASSERT_TRUE(WaitFor(events, [](const auto& e) { return Count(e, "trigger") >= 1; }, 30s)) << ReadFile(err);
    server.kill();
    const int status = WaitCli(pid, 30);
    const std::string log = ReadFile(err);
    EXPECT_EQ(status, 1) << log;
    EXPECT_NE(log.find("gave up after 2 failed reconnection attempts"), std::string::npos) << log;
    EXPECT_NE(log.find(" processed, "), std::string::npos) << "the summary comes first\n" << log;
    const auto all = Events(events);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().at("event"), "stream-lost");
}

// SIGTERM, as a service manager stops the tool: events, trace and review
// complete, the summary printed, exit 0. Files keep 128 + the signal
// (hostile_input_test).
TEST(RunLive, ASignalEndsALiveRunNormallyWithAPlayableReview) {
    const std::string areas = Scratch("live-areas3.json");
    WriteFile(areas, ClipAreasJson());
    StreamServer server(ClipPath());
    server.start();
    const std::string events = Scratch("live3.jsonl"), review = Scratch("live3.mp4"), err = Scratch("live3.err");
    const int pid = StartCli({"run", server.url(), "--areas", areas, "--format", "jsonl", "--events", events,
                              "--review", review},
                             Scratch("live3.out"), err);
    ASSERT_TRUE(WaitFor(events, [](const auto& e) { return Count(e, "trigger") >= 2; }, 30s)) << ReadFile(err);
    kill(pid, SIGTERM);
    const int status = WaitCli(pid, 30);
    const std::string log = ReadFile(err);
    EXPECT_EQ(status, 0) << log;
    const std::size_t at = log.find(" processed, ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find(", stopped by SIGTERM"), std::string::npos) << log;
    const long processed = std::stol(log.substr(log.rfind(", ", at) + 2));
    EXPECT_EQ(static_cast<long>(DecodeAll(review).size()), processed);  // playable: the index was written
    const std::string text = ReadFile(events);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');  // no event cut short
    EXPECT_GE(Count(Events(events), "trigger"), 2u);
}

// A V4L2 camera that is not there (none is on a test machine): a clear
// error at once, not a wait for a stream.
TEST(RunLive, AMissingCameraDeviceFailsAtOnce) {
    const std::string areas = Scratch("live-areas4.json");
    WriteFile(areas, ClipAreasJson());
    const CliResult r = RunCli({"run", "/dev/video-none-97", "--areas", areas, "--stall", "2"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find("tarvocoil: cannot open video '/dev/video-none-97': "), 0u) << r.err;
}
