// search_test.cpp - `tune --search`: the detector bank, the searched file,
// the budget and cancelling, and a night scene only the light settings fix.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>

#include "host/areas_file.h"
#include "host/errors.h"
#include "host/traffic/holdoff_filter.h"
#include "tests/tool/tool_test_util.h"
#include "tools/demo/demo_scene.h"
#include "tools/evidence/detector_bank.h"
#include "tools/evidence/search.h"
#include "tools/evidence/truth.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"

using namespace tooltest;
using namespace tarvotool;

namespace {

// A frame source over pictures in memory.
class Frames : public FrameSource {
public:
    explicit Frames(const std::vector<BgrImage>& frames) : frames_(frames) {}
    bool next(SourceFrame& out) override {
        if (next_ >= frames_.size()) return false;
        const BgrImage& f = frames_[next_];
        out.picture = f.view();
        out.time = static_cast<double>(next_) / 25.0;
        out.fileIndex = static_cast<int64_t>(next_++);
        return true;
    }

private:
    const std::vector<BgrImage>& frames_;
    std::size_t next_ = 0;
};

// The night scene on a wet road, as a lossless clip with its areas file
// (the scene's own: front light on, default limits) and truth file.
struct WetNight {
    std::string clip, areas, truth;
    std::size_t passages = 0;
};

const WetNight& WetNightClip() {
    static const WetNight w = [] {
        DemoOptions o;
        o.night = true;
        o.wetRoad = true;
        o.frames = 260;
        o.seed = 3;
        DemoScene scene(o);
        // Only the band of rows around the coils, where the lights and
        // their reflections pass: a quarter of the picture to decode.
        constexpr int kTop = 300, kRows = 160;
        std::vector<BgrImage> frames(o.frames);
        BgrImage full;
        for (int i = 0; i < o.frames; ++i) {
            scene.render(i, full);
            frames[i].resize(full.width, kRows);
            for (int y = 0; y < kRows; ++y)
                std::copy_n(&full.data[static_cast<std::size_t>(kTop + y) * full.stride], full.stride,
                            &frames[i].data[static_cast<std::size_t>(y) * frames[i].stride]);
        }
        AreasConfig areas = scene.areas();
        for (AreaSpec& a : areas.areas)
            for (int32_t* y : {&a.quad.y0, &a.quad.y1, &a.quad.y2, &a.quad.y3}) *y -= kTop;
        WetNight out;
        out.clip = Scratch("wet-night.mkv");
        WriteVideo(out.clip, frames, "ffv1");
        out.areas = Scratch("wet-night-areas.json");
        WriteFile(out.areas, AreasToText(areas));
        std::string truth = "frame,area\n";
        for (const DemoEntry& e : scene.entries()) {
            // Passages whose window the clip cuts would score nothing either way.
            if (e.frame + 10 >= o.frames) continue;
            truth += std::to_string(e.frame) + "," + std::to_string(e.coil) + "\n";
            ++out.passages;
        }
        out.truth = Scratch("wet-night-truth.csv");
        WriteFile(out.truth, truth);
        return out;
    }();
    return w;
}

// The "all" row of tune's before/after table: triggers, hits, misses, false
// before and after.
std::vector<int> AllRow(const std::string& out) {
    std::vector<int> n;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("all ", 0) != 0) continue;
        std::istringstream row(line.substr(4));
        std::string word;
        n.clear();
        while (row >> word)
            if (word.find('.') == std::string::npos) n.push_back(std::stoi(word));
    }
    return n;
}

struct RawTrigger {
    int64_t frame;
    double time;
};

// Every trigger `run` gives, before any holdoff.
std::vector<std::vector<RawTrigger>> RunTriggers(const std::string& clip, const std::string& areas, std::size_t count) {
    const CliResult r = RunCli({"run", clip, "--areas", areas});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<RawTrigger>> out(count);
    const std::vector<std::string> lines = Lines(r.out);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        long long frame = 0;
        double time = 0;
        int area = 0;
        EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lld,%lf,%d,", &frame, &time, &area), 3) << lines[i];
        out.at(area).push_back(RawTrigger{frame, time});
    }
    return out;
}

// The triggers reported with a coil's holdoff, and what they score.
MatchCounts Reported(const std::vector<std::vector<RawTrigger>>& raw, const AreasConfig& areas,
                     const std::vector<TruthEntry>& truth, bool holdoff) {
    MatchCounts total;
    for (std::size_t a = 0; a < areas.areas.size(); ++a) {
        HoldoffFilter filter(holdoff ? areas.areas[a].holdoff.value_or(0.0) : 0.0);
        std::vector<int64_t> frames;
        for (const RawTrigger& t : raw[a])
            if (filter.report(t.time)) frames.push_back(t.frame);
        const AreaMatch m = MatchArea(TruthFrames(truth, static_cast<int>(a)), frames, MatchWindow{3, 10});
        total.triggers += m.triggers;
        total.hits += m.hits;
        total.misses += m.misses;
        total.falses += m.falses;
    }
    return total;
}

}  // namespace

// Detectors in the bank, on two threads, decide exactly as each would alone.
TEST(Search, BankDetectorsEqualSeparateRuns) {
    const std::vector<BgrImage> frames = MakeClip();
    const AreasConfig areas = ParseAreas(ClipAreasJson(), "clip");
    const float thresholds[] = {0.02f, 0.05f, 0.1f, 0.2f, 0.3f};
    std::vector<std::vector<std::pair<int, int>>> banked(5);
    DetectorBank bank(5, areas.areas.size(), [&](std::size_t k, const ProcessedFrame& f) {
        for (std::size_t a = 0; a < f.areaCount; ++a)
            if (f.triggered(a)) banked[k].emplace_back(static_cast<int>(f.index), static_cast<int>(a));
    });
    for (std::size_t k = 0; k < 5; ++k) {
        AreasConfig c = areas;
        for (AreaSpec& s : c.areas) s.threshold = thresholds[k];
        ApplyAreas(bank.detector(k), c);
    }
    tarvocoil::Detector own;
    ApplyAreas(own, areas);
    FrameLoop loop(own, areas.areas.size());
    loop.add(bank);
    Frames source(frames);
    loop.run(source);
    int any = 0;
    for (std::size_t k = 0; k < 5; ++k) {
        AreasConfig c = areas;
        for (AreaSpec& s : c.areas) s.threshold = thresholds[k];
        EXPECT_EQ(banked[k], InMemoryTriggers(c, frames, 0, static_cast<int>(frames.size()))) << "detector " << k;
        any += static_cast<int>(banked[k].size());
    }
    EXPECT_GT(any, 0);
}

// The written file keeps what it had and takes the searched settings; a
// bare list becomes an object, the only form with room for settings.
TEST(Search, SearchedTextKeepsTheFileAndCarriesTheSettings) {
    const std::string text =
        "{\n  \"_comment\": \"kept\",\n  \"areas\": [{\"name\": \"a\", \"vertices\": [[0, 0], [9, 0], [9, 9], [0, 9]]}],\n"
        "  \"settings\": {\"_why\": \"kept too\", \"frame_count\": 7}\n}\n";
    SearchOutcome w;
    w.candidate = CoarseGrid(ParseAreas(text, "t")).back();  // front light on
    w.coils = {CoilChoice{Candidate{0.07f, "0.07"}, {}}};
    w.candidate.thresholds = {0.07f};
    const std::string out = SearchedAreasText(text, "t", w);
    EXPECT_NE(out.find("\"_comment\": \"kept\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"_why\": \"kept too\""), std::string::npos) << out;
    const AreasConfig back = ParseAreas(out, "out");
    EXPECT_EQ(back.areas[0].threshold, 0.07f);
    EXPECT_TRUE(back.frontLight.value_or(false));
    ASSERT_TRUE(back.light.has_value());
    EXPECT_EQ(back.light->maxWidth, static_cast<int32_t>(w.candidate.value(kLightMaxWidth)));
    EXPECT_EQ(back.frameCount, static_cast<int32_t>(w.candidate.value(kFrameCount)));

    const std::string bare = "[{\"name\": \"a\", \"vertices\": [[0, 0], [9, 0], [9, 9], [0, 9]]}]\n";
    SearchOutcome off;
    off.candidate = CoarseGrid(ParseAreas(bare, "t")).front();
    off.coils = {CoilChoice{Candidate{0.2f, "0.2"}, {}}};
    const AreasConfig offBack = ParseAreas(SearchedAreasText(bare, "t", off), "out");
    EXPECT_FALSE(offBack.frontLight.value_or(true));
    EXPECT_EQ(offBack.disturbRatio, std::strtof(Ladder(kDisturbRatio).rungs[off.candidate.rung[kDisturbRatio]].c_str(), nullptr));
    EXPECT_FALSE(offBack.light.has_value());
}

// A holdoff is written where it is searched non-zero or where the coil had
// one (0 then replaces it: dropping the key would read the same, but the
// file keeps its keys); a coil without one that stays at 0 gets no key.
TEST(Search, SearchedTextCarriesTheHoldoffs) {
    const std::string text =
        "{\"areas\": [{\"name\": \"a\", \"vertices\": [[0, 0], [9, 0], [9, 9], [0, 9]], \"holdoff\": 0.5},\n"
        "  {\"name\": \"b\", \"vertices\": [[20, 0], [29, 0], [29, 9], [20, 9]], \"length\": 2},\n"
        "  {\"name\": \"c\", \"vertices\": [[40, 0], [49, 0], [49, 9], [40, 9]]}]}\n";
    SearchOutcome w;
    w.candidate = CoarseGrid(ParseAreas(text, "t")).front();
    w.coils = {CoilChoice{Candidate{0.1f, "0.1"}, {}, 0.0}, CoilChoice{Candidate{0.2f, "0.2"}, {}, 0.4},
               CoilChoice{Candidate{0.3f, "0.3"}, {}, 0.0}};
    const std::string out = SearchedAreasText(text, "t", w);
    const AreasConfig back = ParseAreas(out, "out");
    ASSERT_EQ(back.areas.size(), 3u);
    EXPECT_EQ(back.areas[0].holdoff, std::optional<double>(0.0)) << out;
    EXPECT_EQ(back.areas[1].holdoff, std::optional<double>(0.4)) << out;
    EXPECT_FALSE(back.areas[2].holdoff.has_value()) << out;
    EXPECT_EQ(back.areas[1].length, std::optional<double>(2.0)) << out;
    EXPECT_EQ(back.areas[2].threshold, 0.3f);
    EXPECT_NE(out.find("\"holdoff\": 0.4"), std::string::npos) << out;
}

// Equal F1: fewer triggers win, then the settings nearer the defaults.
TEST(Search, TiesGoToFewerTriggersThenNearerTheDefaults) {
    const std::vector<SearchCandidate> grid = CoarseGrid(AreasConfig{});
    SearchOutcome a, b;
    a.candidate = grid.front();  // front light off, frame_count 5
    b.candidate = grid.front();
    b.candidate.rung[kFrameCount] = 7;  // 20, the default
    a.total.hits = b.total.hits = 4;
    a.total.misses = b.total.misses = 1;
    a.total.falses = b.total.falses = 1;
    a.total.triggers = 5;
    b.total.triggers = 6;
    b.order = 1;
    EXPECT_TRUE(Better(a, b));
    b.total.triggers = 5;
    EXPECT_TRUE(Better(b, a)) << "nearer the defaults";
    EXPECT_NEAR(b.candidate.distance(), 0.1 / 0.15, 1e-9);  // disturb_ratio 0.05 against 0.15
    b.total.hits = 5;
    b.total.misses = 0;
    b.candidate.rung[kFrameCount] = 0;
    EXPECT_TRUE(Better(b, a)) << "the score comes first";
}

// The best F1 among the table's front-light rows, and that row's light.min_width.
std::pair<F1Score, int> BestFrontLightRow(const std::string& csv) {
    const std::vector<std::string> lines = Lines(csv);
    auto fields = [](const std::string& line) {
        std::vector<std::string> f;
        std::istringstream in(line);
        std::string x;
        while (std::getline(in, x, ',')) f.push_back(x);
        return f;
    };
    const std::vector<std::string> head = fields(lines.at(0));
    auto col = [&](const char* name) {
        return static_cast<std::size_t>(std::find(head.begin(), head.end(), name) - head.begin());
    };
    std::pair<F1Score, int> best{F1Score(MatchCounts{1, 0, 0, 1, 0}), -1};  // F1 0
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields(lines[i]);
        if (f.at(col("front_light")) != "on") continue;
        MatchCounts c;
        c.hits = std::stoi(f.at(col("hits")));
        c.misses = std::stoi(f.at(col("misses")));
        c.falses = std::stoi(f.at(col("false")));
        if (best.first < F1Score(c)) best = {F1Score(c), std::stoi(f.at(col("light.min_width")))};
    }
    return best;
}

// Headlights smaller than the default limits with reflections ahead of
// them, one car re-triggering a coil in a burst: no threshold helps; the
// light limits do, and so does a holdoff on the bursting coil. The searched
// file, run as it is and filtered by its holdoffs as run reports, gives
// exactly the row the search printed.
TEST(Search, NightReflectionsAndBurstsAndTheFileKeepsItsPromise) {
    const WetNight& w = WetNightClip();
    ASSERT_GE(w.passages, 4u);
    const CliResult tuned =
        RunCli({"tune", w.clip, "--areas", w.areas, "--truth", w.truth, "--thresholds", "0.01:0.49:0.04"});
    ASSERT_EQ(tuned.status, 0) << tuned.err;
    const std::vector<int> tuneAll = AllRow(tuned.out);
    ASSERT_EQ(tuneAll.size(), 8u) << tuned.out;
    MatchCounts tuneAfter;
    tuneAfter.hits = tuneAll[5];
    tuneAfter.misses = tuneAll[6];
    tuneAfter.falses = tuneAll[7];

    const std::string out = Scratch("wet-night-searched.json"), table = Scratch("wet-night-candidates.csv");
    const CliResult r = RunCli({"tune", w.clip, "--areas", w.areas, "--truth", w.truth, "--search", "--max-candidates",
                                "120", "--out", out, "--table", table});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(coarse grid 74, refinement "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("light.min_width (front light on): coarse 4,10,20"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("each coil's holdoff: 9 values 0,0.2,0.4,0.6,0.8,1,1.5,2,3 s, replayed from the run's "
                         "triggers (no candidate of its own)"),
              std::string::npos)
        << r.out;
    const std::size_t ran = std::stoul(r.out.substr(r.out.find("candidates: ") + 12));
    EXPECT_LE(ran, 120u);
    EXPECT_EQ(Lines(ReadFile(table)).size(), ran + 1) << "holdoffs cost no candidate";
    const std::vector<int> all = AllRow(r.out);
    ASSERT_EQ(all.size(), 8u) << r.out;
    MatchCounts searched;
    searched.hits = all[5];
    searched.misses = all[6];
    searched.falses = all[7];
    EXPECT_TRUE(F1Score(tuneAfter) < F1Score(searched)) << tuned.out << r.out;
    const std::pair<F1Score, int> light = BestFrontLightRow(ReadFile(table));
    EXPECT_TRUE(F1Score(tuneAfter) < light.first) << "light limits the threshold alone cannot reach";
    EXPECT_LT(light.second, 20) << "headlights are smaller than the default limits";

    const AreasConfig file = LoadAreasFile(out);
    const std::vector<TruthEntry> truth = LoadTruthFile(w.truth, AreaNames(file));
    // `run` on the written file reports what the search promised; the same
    // file without its holdoffs gives the raw triggers, which the holdoff
    // filter turns into exactly what `run` reported.
    AreasConfig noHoldoff = file;
    for (AreaSpec& a : noHoldoff.areas) a.holdoff.reset();
    const std::string rawAreas = Scratch("wet-night-searched-raw.json");
    WriteFile(rawAreas, AreasToText(noHoldoff));
    const auto raw = RunTriggers(w.clip, rawAreas, file.areas.size());
    const MatchCounts reported = Reported(raw, file, truth, true);
    const MatchCounts byRun = Reported(RunTriggers(w.clip, out, file.areas.size()), file, truth, false);
    EXPECT_EQ((std::vector<int>{byRun.triggers, byRun.hits, byRun.misses, byRun.falses}),
              (std::vector<int>(all.begin() + 4, all.end())))
        << r.out;
    EXPECT_EQ((std::vector<int>{reported.triggers, reported.hits, reported.misses, reported.falses}),
              (std::vector<int>(all.begin() + 4, all.end())))
        << r.out;
    double holdoffs = 0;
    for (const AreaSpec& a : file.areas) holdoffs += a.holdoff.value_or(0.0);
    EXPECT_GT(holdoffs, 0) << r.out;
    EXPECT_TRUE(F1Score(Reported(raw, file, truth, false)) < F1Score(reported)) << "the holdoff raised F1";
}

// A budget that cannot hold the coarse grid is refused with the least that
// would; a time cap that ends inside the coarse grid says how long it needs.
TEST(Search, ABudgetTooSmallSaysTheLeastBudget) {
    const std::string areas = Scratch("budget-areas.json"), truth = Scratch("budget-truth.csv");
    WriteFile(areas, ClipAreasJson());
    WriteFile(truth, "frame,area\n7,0\n26,1\n");
    const CliResult few =
        RunCli({"tune", ClipPath(), "--areas", areas, "--truth", truth, "--search", "--max-candidates", "10"});
    EXPECT_EQ(few.status, 1);
    EXPECT_NE(few.err.find("--max-candidates 10 is too small"), std::string::npos) << few.err;
    EXPECT_NE(few.err.find("give at least 74"), std::string::npos) << few.err;
    const CliResult brief =
        RunCli({"tune", ClipPath(), "--areas", areas, "--truth", truth, "--search", "--budget", "0.000001"});
    EXPECT_EQ(brief.status, 1);
    EXPECT_NE(brief.err.find("--budget 1e-06 s ended before the 74 candidates of the coarse grid had run"),
              std::string::npos)
        << brief.err;
    EXPECT_NE(brief.err.find("; they need about "), std::string::npos) << brief.err;
    EXPECT_NE(brief.err.find(" s here: give at least that much time"), std::string::npos) << brief.err;
}

// A raised cancel flag ends the search on the next frame, with nothing returned.
TEST(Search, CancelEndsTheSearchOnTheNextFrame) {
    const std::vector<BgrImage> frames = MakeClip();
    const AreasConfig areas = ParseAreas(ClipAreasJson(), "clip");
    const std::vector<TruthEntry> truth =
        ParseTruth("frame,area\n7,0\n26,1\n", "truth", AreaNames(areas));
    std::atomic<bool> cancel{false};
    SearchOptions o;
    o.thresholds = ParseThresholds("0.05,0.1");
    o.cancel = &cancel;
    int64_t lastFrame = -1;
    o.progress = [&](const SearchProgress& p) {
        lastFrame = p.frame;
        if (p.frame == 30) cancel = true;
    };
    int passes = 0;
    const RunPass pass = [&](FrameLoop& loop) {
        ++passes;
        Frames source(frames);
        return loop.run(source);
    };
    EXPECT_THROW(Search(areas, truth, o, pass), SearchCancelled);
    EXPECT_EQ(lastFrame, 30);
    EXPECT_EQ(passes, 1);
}
