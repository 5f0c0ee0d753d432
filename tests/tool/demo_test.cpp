// demo_test.cpp - the built-in demo and its scoring.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tools/demo/demo_scene.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using tarvotool::DemoEntry;

namespace {
std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}
}  // namespace

TEST(Demo, DayTablePerCoilAndOutputFiles) {
    const std::string dir = Scratch("demo-day");
    const CliResult r = RunCli({"demo", "--frames", "60", "--no-review", "-o", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    std::size_t header = 0;
    while (header < lines.size() && lines[header].rfind("coil ", 0) != 0) ++header;
    ASSERT_LT(header + 4, lines.size()) << r.out;
    EXPECT_EQ(Words(lines[header]),
              (std::vector<std::string>{"coil", "vehicles", "triggers", "hits", "misses", "false", "latency"}));
    const char* const names[] = {"lane 1 in", "lane 1 out", "lane 2 in", "lane 2 out", "lane 3 in", "lane 3 out", "all"};
    ASSERT_LT(header + 7, lines.size()) << r.out;
    for (int i = 0; i < 7; ++i) {
        const std::string& line = lines[header + 1 + i];
        SCOPED_TRACE(line);
        ASSERT_EQ(line.rfind(names[i], 0), 0u);
        const std::vector<std::string> w = Words(line.substr(std::string(names[i]).size()));
        ASSERT_EQ(w.size(), 6u);
        for (int k = 0; k < 5; ++k) EXPECT_EQ(w[k].find_first_not_of("0123456789"), std::string::npos);
        EXPECT_TRUE(w[5] == "-" || (w[5].size() >= 3 && w[5][w[5].size() - 2] == '.'));
    }
    // The pairs' table: a row per lane and the total; "-" where a pair
    // measured nothing in so few frames.
    std::size_t pairs = header;
    while (pairs < lines.size() && lines[pairs].rfind("pair ", 0) != 0) ++pairs;
    ASSERT_LT(pairs + 4, lines.size()) << r.out;
    const char* const lanes[] = {"lane 1 ", "lane 2 ", "lane 3 ", "all "};
    for (int i = 0; i < 4; ++i) {
        const std::string& line = lines[pairs + 1 + i];
        SCOPED_TRACE(line);
        ASSERT_EQ(line.rfind(lanes[i], 0), 0u);
        const std::vector<std::string> w = Words(line.substr(std::string(lanes[i]).size()));
        ASSERT_EQ(w.size(), 8u);
        for (int k : {0, 1, 2, 5}) EXPECT_EQ(w[k].find_first_not_of("0123456789"), std::string::npos);
        for (int k : {3, 4, 6, 7}) EXPECT_TRUE(w[k] == "-" || w[k].back() == '%');
    }
    EXPECT_NE(r.out.find("\nspeed: detector "), std::string::npos);

    EXPECT_EQ(Lines(ReadFile(dir + "/day-events.csv")).at(0), "frame,time,area,name");
    EXPECT_EQ(Lines(ReadFile(dir + "/day-truth.csv")).at(0), "vehicle,kind,lane,coil,entry_frame,trigger_frame");
    const tarvotool::AreasConfig areas = tarvotool::LoadAreasFile(dir + "/day-areas.json");
    EXPECT_EQ(areas.areas.size(), 6u);
    ASSERT_EQ(areas.pairs.size(), 3u);
    EXPECT_EQ(areas.pairs[1].from, "lane 2 in");
    EXPECT_EQ(areas.pairs[1].to, "lane 2 out");
    EXPECT_DOUBLE_EQ(areas.pairs[1].distance, 6.0);
    EXPECT_DOUBLE_EQ(areas.areas[3].length.value_or(0), 2.0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/day-review.mp4"));
}

TEST(Demo, NightWritesADecodableReviewVideo) {
    const std::string dir = Scratch("demo-night");
    const CliResult r = RunCli({"demo", "--night", "--frames", "40", "-o", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("front-light triggering on"), std::string::npos);
    const auto areas = tarvotool::LoadAreasFile(dir + "/night-areas.json");
    EXPECT_TRUE(areas.frontLight.value_or(false));
    const auto frames = DecodeAll(dir + "/night-review.mp4");
    EXPECT_EQ(frames.size(), 40u);
    EXPECT_EQ(frames.at(0).width, 720);
    EXPECT_EQ(frames.at(0).height, 576);
}

TEST(Demo, SceneIsReproducibleAndRecordsEntries) {
    tarvotool::DemoOptions opt;
    opt.frames = 250;
    tarvotool::DemoScene a(opt), b(opt);
    tarvotool::BgrImage fa, fb;
    for (int i = 0; i < opt.frames; ++i) {
        a.render(i, fa);
        if (i >= 30) continue;
        b.render(i, fb);
        ASSERT_EQ(fa.data, fb.data) << i;
    }
    ASSERT_FALSE(a.entries().empty());
    for (const DemoEntry& e : a.entries()) {
        EXPECT_GT(e.frame, 0) << "nothing touches a coil on the baseline frame";
        EXPECT_EQ(a.vehicles()[e.vehicle].lane, e.coil / 2) << "vehicles keep to their lane";
    }
}

TEST(Demo, ScoringMatchesEachEntryWithTheFirstTriggerInItsWindow) {
    tarvotool::AreasConfig areas;
    areas.areas.resize(2);
    areas.areas[0].name = "a";
    areas.areas[1].name = "b";
    const std::vector<DemoEntry> entries = {
        {0, 0, 100},  // hit at 103
        {1, 0, 105},  // its window holds 103 (taken) and nothing else: miss
        {2, 0, 200},  // trigger 211 is one frame too late: miss, and 211 is false
        {3, 1, 50},   // hit at 50, latency 0
        {4, 1, 295},  // the run ends before its window does: left out with its trigger
    };
    const std::vector<std::vector<int>> triggers = {{103, 211, 20}, {50, 297}};
    std::vector<int> matched;
    const auto s = tarvotool::ScoreTriggers(entries, triggers, 300, 10, areas, &matched);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].vehicles, 3);
    EXPECT_EQ(s[0].triggers, 3);
    EXPECT_EQ(s[0].hits, 1);
    EXPECT_EQ(s[0].misses, 2);
    EXPECT_EQ(s[0].falseTriggers, 2);  // 20 and 211
    EXPECT_DOUBLE_EQ(s[0].latencySum, 3.0);
    EXPECT_EQ(s[1].vehicles, 1);
    EXPECT_EQ(s[1].triggers, 1);
    EXPECT_EQ(s[1].hits, 1);
    EXPECT_EQ(s[1].falseTriggers, 0);
    EXPECT_EQ(matched, (std::vector<int>{103, -1, -1, 50, 297}));
}
