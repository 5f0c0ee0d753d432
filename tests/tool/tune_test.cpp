// tune_test.cpp - matching, truth files, threshold replay and `tarvocoil tune`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/evidence/matching.h"
#include "tools/evidence/replay.h"
#include "tests/tool/tool_test_util.h"
#include "tools/evidence/truth.h"
#include "tools/evidence/tune.h"

using namespace tooltest;
using namespace tarvotool;
using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

namespace {

bool DetectorMeasures() {
    tarvocoil::Detector d;
    d.setMeasuring(true);
    return d.measuring();
}

#define REQUIRE_MEASUREMENTS() \
    if (!DetectorMeasures()) GTEST_SKIP() << "the detector records no measurements yet"

MatchCounts Counts(int hits, int misses, int falses) {
    MatchCounts c;
    c.hits = hits;
    c.misses = misses;
    c.falses = falses;
    return c;
}

AreaMeasurement Detect(int64_t bgDiff, int64_t reference, int32_t samples) {
    AreaMeasurement m;
    m.kind = AreaMeasurement::Kind::Detect;
    m.bgDiffSum = bgDiff;
    m.referenceGrey = reference;
    m.sampleCount = samples;
    return m;
}

// The passages of the test clip: block A enters area 0 on frames 7 and 67
// and area 1 on 26 and 86; block B enters area 2 on 62. Frame 40 of area 2
// has no vehicle: a passage no threshold finds.
const char* kClipTruth = "frame,area\n7,\"left, \"\"A\"\"\"\n26,right\n62,2\n67,0\n86,1\n40,bottom\n";


}  // namespace

TEST(Matching, EarliestFreeTriggerInEachWindowInTimeOrder) {
    // Window [entry - 3, entry + 10].
    const AreaMatch m = MatchArea({100, 104, 200, 300}, {96, 97, 103, 111, 215, 310}, MatchWindow{3, 10});
    // 100 takes 97 (96 is one frame too early), 104 takes 103, 200 finds
    // nothing (215 is too late), 300 takes 310 (its last frame).
    EXPECT_EQ(m.matched, (std::vector<int64_t>{97, 103, -1, 310}));
    EXPECT_EQ(m.hits, 3);
    EXPECT_EQ(m.misses, 1);
    EXPECT_EQ(m.falses, 3);  // 96, 111, 215
    EXPECT_EQ(m.triggers, 6);
    EXPECT_DOUBLE_EQ(m.latencySum, -3.0 - 1.0 + 10.0);
    EXPECT_EQ(m.triggerTaken, (std::vector<char>{0, 1, 1, 0, 0, 1}));

    // Two passages on one frame need two triggers; an entry never takes a
    // trigger an earlier entry took.
    const AreaMatch twin = MatchArea({50, 50, 52}, {51}, MatchWindow{3, 10});
    EXPECT_EQ(twin.matched, (std::vector<int64_t>{51, -1, -1}));

    // The run ends at frame 205: entry 200's window is cut, so it and the
    // trigger it takes are left out; entry 100 still counts.
    const AreaMatch cut = MatchArea({100, 200}, {101, 203}, MatchWindow{0, 10}, 205);
    EXPECT_EQ(cut.truths, 1);
    EXPECT_EQ(cut.triggers, 1);
    EXPECT_EQ(cut.hits, 1);
    EXPECT_EQ(cut.falses, 0);
    EXPECT_EQ(cut.matched, (std::vector<int64_t>{101, 203}));
}

TEST(Matching, F1AndRecommendation) {
    EXPECT_DOUBLE_EQ(F1Score(Counts(9, 0, 0)).value(), 1.0);
    EXPECT_DOUBLE_EQ(F1Score(Counts(8, 1, 1)).value(), 16.0 / 18.0);
    EXPECT_DOUBLE_EQ(F1Score(Counts(0, 0, 0)).value(), 1.0);  // nothing to find, nothing found
    EXPECT_TRUE(F1Score(Counts(2, 1, 0)) == F1Score(Counts(4, 2, 0)));

    // Best score 1.0 in a run of 2 (index 1..2) and a run of 3 (5..7): the
    // middle of the longer.
    std::vector<MatchCounts> rows = {Counts(5, 4, 0), Counts(9, 0, 0), Counts(9, 0, 0), Counts(8, 1, 0),
                                     Counts(8, 1, 3), Counts(9, 0, 0), Counts(9, 0, 0), Counts(9, 0, 0),
                                     Counts(2, 7, 0)};
    Recommendation r = Recommend(rows);
    EXPECT_EQ(r.index, 6u);
    EXPECT_EQ(r.runFirst, 5u);
    EXPECT_EQ(r.runLast, 7u);
    // An even run: its lower middle; equal runs: the first.
    rows = {Counts(1, 1, 0), Counts(3, 0, 0), Counts(3, 0, 0), Counts(3, 0, 0), Counts(3, 0, 0), Counts(1, 2, 0)};
    EXPECT_EQ(Recommend(rows).index, 2u);
    rows = {Counts(3, 0, 0), Counts(1, 2, 0), Counts(3, 0, 0)};
    EXPECT_EQ(Recommend(rows).index, 0u);
}

TEST(Tune, ThresholdGridsAreDecimalsRoundedOnceToFloat) {
    const std::vector<Candidate> grid = ParseThresholds("0.01:0.50:0.01");
    ASSERT_EQ(grid.size(), 50u);  // decimal steps: no 0.49999 that drops the last one
    for (std::size_t i = 0; i < grid.size(); ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", (i + 1) / 100.0);
        EXPECT_EQ(grid[i].text, text);
        EXPECT_EQ(grid[i].value, std::strtof(text, nullptr));
    }
    EXPECT_EQ(ParseThresholds("0.1:0.3:0.05").size(), 5u);
    EXPECT_EQ(ParseThresholds("0:1:0.3").back().text, "0.9");
    // Near the end of the 64-bit range: no step is taken past TO (which
    // would overflow); both candidates are one float.
    EXPECT_EQ(ParseThresholds("9223372036854775790:9223372036854775799:9").size(), 1u);
    // A list is sorted; decimals naming one float count once.
    const std::vector<Candidate> list = ParseThresholds("0.2, 0.1,0.10000000001,1e-2");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].text, "1e-2");
    EXPECT_EQ(list[1].text, "0.1");
    EXPECT_EQ(list[2].value, 0.2f);
    for (const char* bad : {"0.1:0.05:0.01", "0.1:0.2:0", "0.1:0.2", "a:b:c", "-0.1", "0.1,,0.2", "nan", "1e99", ""})
        EXPECT_THROW(ParseThresholds(bad), ToolError) << bad;
}

TEST(Tune, TruthFileByNameOrIndexWithLineNumbersInErrors) {
    const std::vector<std::string> names = {"lane 1", "3", "a,b"};
    const auto t = ParseTruth("\xEF\xBB\xBFnote,area,frame\r\nfirst,lane 1,12\n\n,\"a,b\",7\nx,3,9\nx, 0 ,4\n", "t.csv", names);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].frame, 12);
    EXPECT_EQ(t[0].area, 0);
    EXPECT_EQ(t[1].area, 2);
    EXPECT_EQ(t[1].line, 4);
    EXPECT_EQ(t[2].area, 1) << "a name wins over an index";
    EXPECT_EQ(t[3].area, 0);
    EXPECT_EQ(TruthFrames(t, 0), (std::vector<int64_t>{4, 12}));

    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"frame,area\n5,lane 9\n", "t.csv:2: no area \"lane 9\""},
        {"frame,area\n\n-1,0\n", "t.csv:3: expected a frame index"},
        {"frame,area\n1.5,0\n", "t.csv:2: expected a frame index"},
        {"frame,area\n4\n", "t.csv:2: expected 2 fields"},
        {"frame,area\n4,\"lane 1\n", "t.csv:2: unterminated quote"},
        {"time,area\n4,0\n", "t.csv:1: expected the header frame,area"},
        {"", "t.csv:1: empty truth file"},
    };
    for (const auto& b : bad) {
        try {
            ParseTruth(b.text, "t.csv", names);
            ADD_FAILURE() << b.text;
        } catch (const ToolError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(b.message, 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(ParseTruth("frame,area\n5,2\n", "t.csv", {"x", "y"}), ToolError);  // no area 2
}

TEST(Tune, ANameTwoAreasShareIsAnErrorNamingBoth) {
    const std::vector<std::string> names = {"dup", "other", "dup"};
    try {
        ParseTruth("frame,area\n12,other\n40,dup\n", "t.csv", names);
        ADD_FAILURE() << "bound to one of two areas named dup";
    } catch (const ToolError& e) {
        const std::string m = e.what();
        EXPECT_EQ(m.rfind("t.csv:3: area name \"dup\" is ambiguous: areas 0 and 2", 0), 0u) << m;
    }
    // The indices still say which.
    const auto t = ParseTruth("frame,area\n40,2\n", "t.csv", names);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].area, 2);
}

TEST(Replay, PresenceEdgesPerCandidateFromSyntheticMeasurements) {
    // P = float(reference * samples): 100 * 1000 is exact; 16777217 * 1
    // rounds to 16777216 as a float.
    EXPECT_EQ(PresenceLimit(100, 1000, 0.1f).value, static_cast<int64_t>(100000.0 * double(0.1f)));
    EXPECT_EQ(PresenceLimit(16777217, 1, 1.0f).value, 16777216);
    EXPECT_EQ(PresenceLimit(100, 1000, NAN).state, LimitValue::State::NotANumber);
    EXPECT_EQ(PresenceLimit(100, 1000, 3e38f).state, LimitValue::State::SaturatedHigh);
    EXPECT_EQ(PresenceLimit(100, 1000, -3e38f).state, LimitValue::State::SaturatedLow);
    EXPECT_FALSE(tarvocoil::exceeds(INT64_MAX, PresenceLimit(100, 1000, INFINITY)));
    EXPECT_TRUE(tarvocoil::exceeds(0, PresenceLimit(100, 1000, -INFINITY)));

    // Two areas, candidates 0.1 and 0.2 (limits 10000 and 20000 at P = 1e5).
    ThresholdReplay replay(2, {0.1f, 0.2f});
    const int64_t lim1 = PresenceLimit(100, 1000, 0.1f).value;
    std::vector<AreaMeasurement> base(2);
    replay.frame(0, base);
    const int64_t sums[] = {5000, lim1, lim1 + 1, 25000, 15000, 15000, 0, 30000};
    for (int f = 1; f <= 8; ++f) replay.frame(f, {Detect(sums[f - 1], 100, 1000), Detect(0, 5, 1)});
    replay.frame(9, base);                                                    // a new baseline
    replay.frame(10, {Detect(30000, 100, 1000), Detect(0, 5, 1)});            // present afresh
    // An equal sum is no presence; 0.1 is present from frame 3 to 6, off
    // on 7, on again on 8; 0.2 only on 4 and 8.
    EXPECT_EQ(replay.triggers(0, 0), (std::vector<int64_t>{3, 8, 10}));
    EXPECT_EQ(replay.triggers(0, 1), (std::vector<int64_t>{4, 8, 10}));
    EXPECT_TRUE(replay.triggers(1, 0).empty());
    EXPECT_THROW(replay.frame(11, std::vector<AreaMeasurement>(3)), ToolError);
}

// The claim tuning rests on: one measured run gives the triggers of every
// threshold exactly as runs at those thresholds do, refreshes and all.
TEST(Replay, EqualsRealRunsAtEveryThreshold) {
    REQUIRE_MEASUREMENTS();
    AreasConfig areas = ParseAreas(ClipAreasJson(), "clip areas");
    areas.frameCount = 4;  // many refreshes in 120 frames, some refused
    areas.disturbRatio = 0.05f;
    // A brightening from frame 40 on: refreshes whose history shows the
    // trend are refused, and exchange the planes under later areas.
    std::vector<BgrImage> frames = MakeClip();
    for (std::size_t i = 40; i < frames.size(); ++i)
        for (uint8_t& v : frames[i].data) v = static_cast<uint8_t>(std::min<std::size_t>(255, v + (i - 40) / 2));
    const std::vector<float> candidates = {0.0f, 0.02f, 0.05f, 0.1f, 0.15f, 0.3f, 0.6f};
    ThresholdReplay replay(areas.areas.size(), candidates);
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    det.setMeasuring(true);
    std::vector<int32_t> flags(areas.areas.size());
    int refreshes = 0, refused = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_TRUE(det.process(frames[i].data.data(), frames[i].width, frames[i].height, 3, flags.data()));
        replay.frame(static_cast<int64_t>(i), det.measurements());
        for (const AreaMeasurement& m : det.measurements()) {
            refreshes += m.refresh != AreaMeasurement::Refresh::None;
            refused += m.refresh == AreaMeasurement::Refresh::Exchange;
        }
    }
    EXPECT_GT(refreshes, 5);
    EXPECT_GT(refused, 0);
    std::size_t total = 0;
    auto check = [&](const std::vector<float>& perArea, const std::vector<std::size_t>& column) {
        AreasConfig at = areas;
        for (std::size_t a = 0; a < perArea.size(); ++a) at.areas[a].threshold = perArea[a];
        std::vector<std::vector<int64_t>> real(areas.areas.size());
        for (const auto& [frame, area] : InMemoryTriggers(at, frames, 0, static_cast<int>(frames.size())))
            real[area].push_back(frame);
        for (std::size_t a = 0; a < perArea.size(); ++a) {
            EXPECT_EQ(replay.triggers(a, column[a]), real[a]) << "area " << a << " at " << perArea[a];
            total += real[a].size();
        }
    };
    for (std::size_t c = 0; c < candidates.size(); ++c)
        check(std::vector<float>(areas.areas.size(), candidates[c]), std::vector<std::size_t>(areas.areas.size(), c));
    check({0.02f, 0.3f, 0.1f}, {1, 5, 3});  // a different threshold per area
    EXPECT_GT(total, 20u);
}

namespace {

struct TuneFiles {
    std::string areas, truth, table, tuned, plot;
};

TuneFiles WriteTuneInputs(const std::string& name, const std::string& areasJson) {
    TuneFiles f;
    f.areas = Scratch(name + "-areas.json");
    f.truth = Scratch(name + "-truth.csv");
    f.table = Scratch(name + "-table.csv");
    f.tuned = Scratch(name + "-tuned.json");
    f.plot = Scratch(name + "-plot.png");
    WriteFile(f.areas, areasJson);
    WriteFile(f.truth, kClipTruth);
    return f;
}

// Per area: the trigger frames of `run` on the clip with these areas.
std::vector<std::vector<int64_t>> RunTriggers(const std::string& areasPath, std::size_t areaCount) {
    const CliResult r = RunCli({"run", ClipPath(), "--areas", areasPath});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<int64_t>> out(areaCount);
    const std::vector<std::string> lines = Lines(r.out);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        long long frame = 0;
        double time = 0;
        int area = 0;
        EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lld,%lf,%d,", &frame, &time, &area), 3) << lines[i];
        out.at(area).push_back(frame);
    }
    return out;
}

// The last four fields of a table row "name,threshold,triggers,hits,misses,false"
// (the name may hold commas).
std::vector<int> RowNumbers(const std::string& row) {
    std::size_t at = row.size();
    for (int k = 0; k < 4 && at != std::string::npos; ++k) at = row.rfind(',', at - 1);
    std::vector<int> out;
    if (at == std::string::npos) return out;
    std::istringstream in(row.substr(at + 1));
    std::string field;
    while (std::getline(in, field, ',')) out.push_back(std::stoi(field));
    return out;
}

}  // namespace

// The promise of tune: the tuned file, run through `run`, gives exactly the
// hits, misses and false triggers its table gave for those thresholds.
void ExpectRunKeepsTunesPromise(const std::string& name, const std::string& json) {
    const TuneFiles f = WriteTuneInputs(name, json);
    const CliResult r = RunCli({"tune", ClipPath(), "--areas", f.areas, "--truth", f.truth, "--thresholds",
                                "0.02:0.40:0.02", "--table", f.table, "--out", f.tuned, "--plot", f.plot});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("every candidate follows exactly from one pass"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("area 1 \"right\": 2 labelled passages"), std::string::npos) << r.out;

    const std::vector<std::string> table = Lines(ReadFile(f.table));
    ASSERT_EQ(table.size(), 1u + 3 * 20);
    EXPECT_EQ(table[0], "area,threshold,triggers,hits,misses,false");
    const AreasConfig before = ParseAreas(ClipAreasJson(), "clip");
    const AreasConfig tuned = LoadAreasFile(f.tuned);
    ASSERT_EQ(tuned.areas.size(), 3u);
    const std::vector<TruthEntry> truth = ParseTruth(kClipTruth, "truth", {"left, \"A\"", "right", "bottom"});
    const auto triggers = RunTriggers(f.tuned, 3);
    for (std::size_t a = 0; a < 3; ++a) {
        SCOPED_TRACE("area " + std::to_string(a));
        EXPECT_EQ(tuned.areas[a].name, before.areas[a].name);
        EXPECT_EQ(tuned.areas[a].quad.x1, before.areas[a].quad.x1);
        // The recommended row by the rule, from the CSV.
        std::vector<MatchCounts> rows;
        for (std::size_t i = 1 + 20 * a; i < 1 + 20 * (a + 1); ++i) {
            const std::vector<int> n = RowNumbers(table[i]);
            ASSERT_EQ(n.size(), 4u) << table[i];
            MatchCounts c;
            c.triggers = n[0];
            c.hits = n[1];
            c.misses = n[2];
            c.falses = n[3];
            rows.push_back(c);
        }
        const std::size_t best = Recommend(rows).index;
        EXPECT_EQ(tuned.areas[a].threshold, ParseThresholds("0.02:0.40:0.02")[best].value);
        const AreaMatch m = MatchArea(TruthFrames(truth, static_cast<int>(a)), triggers[a], MatchWindow{3, 10});
        EXPECT_EQ(m.triggers, rows[best].triggers);
        EXPECT_EQ(m.hits, rows[best].hits);
        EXPECT_EQ(m.misses, rows[best].misses);
        EXPECT_EQ(m.falses, rows[best].falses);
    }
    // Area 2 has a passage that never happens: at best one miss.
    EXPECT_EQ(MatchArea(TruthFrames(truth, 2), triggers[2], MatchWindow{3, 10}).misses, 1);
    EXPECT_GT(ReadFile(f.plot).size(), 1000u);
}

TEST(Tune, TunedFileThroughRunGivesWhatTheTablePromised) {
    REQUIRE_MEASUREMENTS();
    std::string json = ClipAreasJson();
    json.insert(json.find("\n") + 1, "  \"_comment\": \"kept by tune\",\n");
    ExpectRunKeepsTunesPromise("promise", json);
    EXPECT_NE(ReadFile(Scratch("promise-tuned.json")).find("\"_comment\": \"kept by tune\""), std::string::npos);
}

// With a holdoff, tune scores the triggers `run` reports: the left coil's
// two passages lie 2.4 s apart, so a 3 s holdoff costs it its second one
// (a miss), in the table and in the run alike.
TEST(Tune, HoldoffScoresOnlyReportedTriggersAsRunDoes) {
    REQUIRE_MEASUREMENTS();
    std::string json = ClipAreasJson();
    const std::string left = "\"threshold\": 0.1}";
    json.replace(json.find(left), left.size(), "\"threshold\": 0.1, \"holdoff\": 3}");
    ExpectRunKeepsTunesPromise("holdoff", json);
    const std::vector<std::string> table = Lines(ReadFile(Scratch("holdoff-table.csv")));
    for (std::size_t i = 1; i <= 20; ++i) EXPECT_LE(RowNumbers(table[i]).at(0), 2) << table[i];
    EXPECT_NE(ReadFile(Scratch("holdoff-tuned.json")).find("\"holdoff\": 3"), std::string::npos);
}

// With front-light triggering on, each candidate is a run of its own; its
// rows equal runs of the detector with every area at that candidate.
TEST(Tune, FrontLightRunsEachCandidate) {
    const std::string json = R"({
  "areas": [
    {"name": "left, \"A\"", "vertices": [[20, 30], [60, 30], [60, 70], [20, 70]]},
    {"name": "right", "vertices": [[95, 30], [135, 32], [133, 70], [95, 68]]},
    {"name": "bottom", "vertices": [[60, 80], [100, 80], [100, 110], [60, 110]]}
  ],
  "settings": {"front_light": true, "light": {"threshold": 60, "min_width": 4, "max_width": 60, "min_height": 4, "max_height": 60}}
}
)";
    const TuneFiles f = WriteTuneInputs("light", json);
    const CliResult r = RunCli({"tune", ClipPath(), "--areas", f.areas, "--truth", f.truth, "--thresholds",
                                "0.3,0.05,0.1", "--table", f.table, "--out", f.tuned});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("front-light triggering on: the detector ran once per candidate"), std::string::npos) << r.out;
    const std::vector<std::string> table = Lines(ReadFile(f.table));
    ASSERT_EQ(table.size(), 1u + 3 * 3);
    const AreasConfig areas = ParseAreas(json, "light");
    const std::vector<TruthEntry> truth = ParseTruth(kClipTruth, "truth", {"left, \"A\"", "right", "bottom"});
    const std::vector<BgrImage> frames = MakeClip();
    int triggers = 0;
    const char* texts[] = {"0.05", "0.1", "0.3"};
    for (int c = 0; c < 3; ++c) {
        AreasConfig at = areas;
        for (AreaSpec& s : at.areas) s.threshold = std::strtof(texts[c], nullptr);
        std::vector<std::vector<int64_t>> real(3);
        for (const auto& [frame, area] : InMemoryTriggers(at, frames, 0, static_cast<int>(frames.size())))
            real[area].push_back(frame);
        for (int a = 0; a < 3; ++a) {
            const AreaMatch m = MatchArea(TruthFrames(truth, a), real[a], MatchWindow{3, 10});
            triggers += m.triggers;
            const std::string row = table[1 + 3 * a + c];
            EXPECT_EQ(RowNumbers(row), (std::vector<int>{m.triggers, m.hits, m.misses, m.falses})) << row;
            EXPECT_NE(row.find("," + std::string(texts[c]) + ","), std::string::npos) << row;
        }
    }
    EXPECT_GT(triggers, 0) << "the light limits should let the blocks trigger";
    EXPECT_TRUE(LoadAreasFile(f.tuned).frontLight.value_or(false));
}

TEST(Tune, BadInputsFailCleanly) {
    const TuneFiles f = WriteTuneInputs("bad", ClipAreasJson());
    const std::string badTruth = Scratch("bad-truth2.csv");
    WriteFile(badTruth, "frame,area\n5,left\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--truth", badTruth}, ":2: no area \"left\""},
        {{"--truth", f.truth, "--thresholds", "0.5:0.1:0.1"}, "--thresholds: TO is below FROM"},
        {{"--truth", f.truth, "--plot", Scratch("plot.gif")}, "--plot: expected a .png or .svg file"},
        {{"--truth", Scratch("none.csv")}, "cannot read truth file"},
        {{"--truth", f.truth, "--start", "60"}, "ends before 60 s (its last frame is at"},  // as run says
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"tune", ClipPath(), "--areas", f.areas};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// Without passages every candidate scores F1 1.000 (nothing to hit, nothing
// false): raising the threshold would switch the coil off unseen.
TEST(Tune, AreasWithoutPassagesKeepTheirThresholdsAndAnEmptyTruthIsAnError) {
    REQUIRE_MEASUREMENTS();
    std::string json = ClipAreasJson();
    json.replace(json.find("0.1}"), 4, "0.13}");  // the first area's own threshold is no candidate
    const TuneFiles f = WriteTuneInputs("unlabelled", json);
    WriteFile(f.truth, "frame,area\n26,right\n86,1\n");
    const CliResult r = RunCli({"tune", ClipPath(), "--areas", f.areas, "--truth", f.truth, "--thresholds",
                                "0.2:0.5:0.1", "--out", f.tuned});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("area 0 \"left, \"A\"\": no labelled passages; its threshold 0.13 is kept"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"bottom\": no labelled passages; its threshold 0.1 is kept"), std::string::npos) << r.out;
    const AreasConfig tuned = LoadAreasFile(f.tuned);
    EXPECT_EQ(tuned.areas[0].threshold, 0.13f);
    EXPECT_EQ(tuned.areas[2].threshold, 0.1f);
    EXPECT_GE(tuned.areas[1].threshold, 0.2f);

    for (const char* text : {"frame,area\n", "frame,area\n\n\n"}) {
        WriteFile(f.truth, text);
        std::filesystem::remove(f.tuned);
        const CliResult e = RunCli({"tune", ClipPath(), "--areas", f.areas, "--truth", f.truth, "--out", f.tuned});
        EXPECT_EQ(e.status, 1) << e.out;
        EXPECT_NE(e.err.find("holds no labelled passages"), std::string::npos) << e.err;
        EXPECT_FALSE(std::filesystem::exists(f.tuned));
    }
}

TEST(Tune, TunedTextKeepsEverythingButTheThresholds) {
    const std::string original =
        "[\n  {\"_why\": \"by the door\", \"vertices\": [[0,0],[9,0],[9,9],[0,9]]},\n"
        "  {\"name\": \"b\", \"threshold\": 0.3, \"vertices\": [[0,0],[9,0],[9,9],[0,9]]}\n]\n";
    const std::string text = TunedAreasText(original, "x.json", {{0.07f, "0.07"}, {0.125f, "0.125"}});
    EXPECT_NE(text.find("\"_why\": \"by the door\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"threshold\": 0.07}"), std::string::npos) << text;
    EXPECT_NE(text.find("{\"name\": \"b\", \"threshold\": 0.125, \"vertices\""), std::string::npos) << text;
    const AreasConfig back = ParseAreas(text, "x");
    EXPECT_EQ(back.areas[0].threshold, 0.07f);
    EXPECT_EQ(back.areas[0].name, "area 0");
}

TEST(Demo, TuneOnTheScenesGroundTruthPrintsBeforeAndAfter) {
    const std::string dir = Scratch("demo-tune");
    const CliResult r = RunCli({"demo", "--night", "--frames", "120", "--no-review", "--tune", "-o", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("tuned on the scene's ground truth"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the detector ran once per candidate"), std::string::npos) << r.out;
    const std::vector<std::string> lines = Lines(r.out);
    std::size_t header = 0;
    while (header < lines.size() && lines[header].rfind("area ", 0) != 0) ++header;
    ASSERT_LT(header + 4, lines.size()) << r.out;
    EXPECT_NE(lines[header].find("before"), std::string::npos);
    EXPECT_NE(lines[header].find("after"), std::string::npos);
    const AreasConfig tuned = LoadAreasFile(dir + "/night-tuned-areas.json");
    ASSERT_EQ(tuned.areas.size(), 6u);
    EXPECT_EQ(tuned.pairs.size(), 3u) << "the tuned file keeps the scene's coil pairs";
    for (int a = 0; a < 6; ++a) {
        // A candidate as the grid writes it, or (a coil without passages
        // in so short a scene) its own threshold, kept.
        char grid[16], own[16];
        std::snprintf(grid, sizeof grid, " %.2f ", static_cast<double>(tuned.areas[a].threshold));
        std::snprintf(own, sizeof own, " %g ", static_cast<double>(tuned.areas[a].threshold));
        const std::string& line = lines[header + 1 + a];
        EXPECT_TRUE(line.find(grid) != std::string::npos || line.find(own) != std::string::npos) << line;
    }
    EXPECT_EQ(Lines(ReadFile(dir + "/night-tune.csv")).size(), 1u + 6 * 50);
}

// tune reads the frames run reads: the same window gives the same count.
TEST(Tune, WindowIsRunsWindow) {
    const TuneFiles f = WriteTuneInputs("window", ClipAreasJson());
    const CliResult t = RunCli({"tune", ClipPath(), "--areas", f.areas, "--truth", f.truth, "--thresholds", "0.1",
                                "--start", "1", "--duration", "2"});
    ASSERT_EQ(t.status, 0) << t.err;
    const CliResult r = RunCli({"run", ClipPath(), "--areas", f.areas, "--start", "1", "--duration", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    long long read = 0, processed = 0, tuned = 0;
    ASSERT_EQ(std::sscanf(r.err.c_str(), "tarvocoil: %lld frames read, %lld processed", &read, &processed), 2) << r.err;
    const std::size_t at = t.out.find("', ");
    ASSERT_NE(at, std::string::npos) << t.out;
    ASSERT_EQ(std::sscanf(t.out.c_str() + at, "', %lld frames", &tuned), 1) << t.out;
    EXPECT_EQ(processed, 50);
    EXPECT_EQ(tuned, processed);
}
