// run_test.cpp - `tarvocoil run` on clips the tests encode themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;

namespace {

std::string AreasPath() {
    static const std::string p = [] {
        const std::string path = Scratch("areas.json");
        WriteFile(path, ClipAreasJson());
        return path;
    }();
    return p;
}

const char* const kNames[] = {"left, \"A\"", "right", "bottom"};

// Parses the CSV the tool writes: header, then frame,time,area,name rows.
struct Row {
    int frame;
    double time;
    int area;
    std::string name;
};

std::vector<Row> ParseCsv(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return {};
    EXPECT_EQ(lines[0], "frame,time,area,name");
    std::vector<Row> rows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        Row r{};
        int used = 0;
        const int n = std::sscanf(lines[i].c_str(), "%d,%lf,%d,%n", &r.frame, &r.time, &r.area, &used);
        EXPECT_EQ(n, 3) << lines[i];
        std::string field = lines[i].substr(static_cast<std::size_t>(used));
        if (!field.empty() && field[0] == '"') {  // quoted: "" stands for "
            std::string name;
            for (std::size_t k = 1; k + 1 < field.size(); ++k) {
                if (field[k] == '"') ++k;
                name += field[k];
            }
            EXPECT_EQ(field.back(), '"');
            field = name;
        }
        r.name = field;
        rows.push_back(r);
    }
    return rows;
}

void ExpectSameEvents(const std::vector<Row>& rows, const std::vector<std::pair<int, int>>& expected,
                      int firstFrame) {
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].frame, expected[i].first);
        EXPECT_EQ(rows[i].area, expected[i].second);
        EXPECT_EQ(rows[i].name, kNames[expected[i].second]);
        EXPECT_NEAR(rows[i].time, (firstFrame + expected[i].first) / 25.0, 1e-6);
    }
}

}  // namespace

TEST(Run, LosslessClipDecodesToTheFramesItWasMadeOf) {
    std::vector<double> times;
    const auto decoded = DecodeAll(ClipPath(), &times);
    const auto made = MakeClip();
    ASSERT_EQ(decoded.size(), made.size());
    for (std::size_t i = 0; i < made.size(); ++i) {
        ASSERT_EQ(decoded[i].width, kClipWidth);
        ASSERT_EQ(decoded[i].stride, (kClipWidth * 3 + 3) & ~3);
        ASSERT_EQ(decoded[i].data, made[i].data) << "frame " << i;
        EXPECT_NEAR(times[i], i / 25.0, 1e-9);
    }
}

TEST(Run, CsvEventsEqualAnInMemoryRun) {
    const auto expected =
        InMemoryTriggers(tarvotool::LoadAreasFile(AreasPath()), MakeClip(), 0, kClipFrames);
    ASSERT_GE(expected.size(), 5u) << "the clip should make every area trigger";
    const CliResult r = RunCli({"run", ClipPath(), "--areas", AreasPath()});
    ASSERT_EQ(r.status, 0) << r.err;
    // stderr is no terminal: no progress bar, only the summary line.
    EXPECT_EQ(r.err, "tarvocoil: 120 frames read, 120 processed, 0 decoding errors, 0 frames lost, " +
                         std::to_string(expected.size()) + " events, 4.760 s of video in " +
                         r.err.substr(r.err.rfind(" in ") + 4));
    EXPECT_EQ(RunCli({"run", ClipPath(), "--areas", AreasPath(), "--quiet"}).err, "");
    ExpectSameEvents(ParseCsv(r.out), expected, 0);
    EXPECT_NE(r.out.find("\"left, \"\"A\"\"\""), std::string::npos) << "CSV quoting of the name";
}

TEST(Run, JsonLinesToAFileCarryTheSameEvents) {
    const std::string csv = RunCli({"run", ClipPath(), "--areas", AreasPath()}).out;
    const std::string file = Scratch("events.jsonl");
    const CliResult r = RunCli({"run", ClipPath(), "--areas", AreasPath(), "--format", "jsonl", "--events", file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::vector<Row> rows = ParseCsv(csv);
    const std::vector<std::string> lines = Lines(ReadFile(file));
    ASSERT_EQ(lines.size(), rows.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto j = nlohmann::ordered_json::parse(lines[i]);
        ASSERT_TRUE(j.is_object());
        std::vector<std::string> keys;
        for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"event", "id", "wall_time", "frame", "time", "area", "name"}));
        EXPECT_EQ(j["event"], "trigger");
        EXPECT_EQ(j["id"].get<std::size_t>(), i + 1);
        EXPECT_EQ(j["frame"].get<int>(), rows[i].frame);
        EXPECT_NEAR(j["time"].get<double>(), rows[i].time, 1e-9);
        EXPECT_EQ(j["area"].get<int>(), rows[i].area);
        EXPECT_EQ(j["name"].get<std::string>(), rows[i].name);
    }
}

TEST(Run, StartAndDurationSelectARangeWithItsOwnBaseline) {
    // 2.0 s .. 3.6 s is frames 50..89; the first of them takes the baseline.
    const auto expected = InMemoryTriggers(tarvotool::LoadAreasFile(AreasPath()), MakeClip(), 50, 40);
    const CliResult r =
        RunCli({"run", ClipPath(), "--areas", AreasPath(), "--start", "2", "--duration", "1.6"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectSameEvents(ParseCsv(r.out), expected, 50);

    const std::pair<std::string, std::string> starts[] = {{"60", "60"}, {"1e300", "1e+300"}};
    for (const auto& [start, shown] : starts) {
        const CliResult past = RunCli({"run", ClipPath(), "--areas", AreasPath(), "--start", start});
        EXPECT_EQ(past.status, 1);
        EXPECT_EQ(past.err, "tarvocoil: '" + ClipPath() + "' ends before " + shown + " s (its last frame is at 4.76 s)\n");
        EXPECT_EQ(past.out, "");
    }
}

// A file whose picture size changes mid-stream (two MPEG-TS segments one
// after the other, as a camera's recording after a settings change): the
// frames keep the first size, the detector starts again from a baseline at
// the change, says so, and from there detects as a fresh detector on the
// rest would.
TEST(Run, APictureSizeChangeTakesANewBaselineAndDetectionGoesOn) {
    const std::string a = Scratch("small.ts"), b = Scratch("large.ts"), ab = Scratch("resized.ts");
    for (const auto& [path, size] : {std::pair{a, "160:120"}, std::pair{b, "320:240"}})
        ASSERT_TRUE(Ffmpeg({"-i", ClipPath(), "-vf", std::string("scale=") + size, "-c:v", "mpeg2video", "-q:v", "2",
                            "-f", "mpegts", path}));
    WriteFile(ab, ReadFile(a) + ReadFile(b));
    const std::string trace = Scratch("resized-trace.jsonl");
    const CliResult r = RunCli({"run", ab, "--areas", AreasPath(), "--trace", trace});
    ASSERT_EQ(r.status, 0) << r.err;

    // What the tool processes: every frame at 160x120.
    const auto frames = DecodeAll(ab);
    ASSERT_GT(frames.size(), 200u);
    EXPECT_EQ(frames.back().width, 160);
    std::vector<std::pair<int64_t, std::string>> baselines;  // frame, reason
    for (const std::string& line : Lines(ReadFile(trace))) {
        const auto j = nlohmann::json::parse(line);
        if (j["kind"] == "baseline" && j["area"] == 0) baselines.emplace_back(j["frame"], j["reason"]);
    }
    ASSERT_EQ(baselines.size(), 2u) << r.err;
    EXPECT_EQ(baselines[0], (std::pair<int64_t, std::string>{0, "start"}));
    const int change = static_cast<int>(baselines[1].first);
    EXPECT_EQ(baselines[1].second, "size-change");
    EXPECT_GE(change, kClipFrames - 2);  // the junction may cost a frame
    EXPECT_LE(change, kClipFrames);
    EXPECT_NE(r.err.find("'" + ab + "': frame " + std::to_string(change) +
                         ": the picture size changed from 160x120 to 320x240; taking a new baseline"),
              std::string::npos)
        << r.err;

    const tarvotool::AreasConfig areas = tarvotool::LoadAreasFile(AreasPath());
    auto expected = InMemoryTriggers(areas, frames, 0, change);
    const auto after = InMemoryTriggers(areas, frames, change, static_cast<int>(frames.size()) - change);
    ASSERT_FALSE(after.empty()) << "detection goes on after the change";
    for (const auto& [frame, area] : after) expected.emplace_back(frame + change, area);
    const std::vector<Row> rows = ParseCsv(r.out);
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].frame, expected[i].first) << i;
        EXPECT_EQ(rows[i].area, expected[i].second) << i;
    }
}

TEST(Run, BadVideosFailCleanly) {
    const std::string text = Scratch("notes.mp4");
    WriteFile(text, "this is not a video\n");
    const std::string empty = Scratch("empty.mkv");
    WriteFile(empty, "");
    const std::string dir = Scratch("adir");
    std::filesystem::create_directories(dir);
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {Scratch("missing.mp4"), "tarvocoil: cannot open video '" + Scratch("missing.mp4") + "': No such file or directory\n"},
        {text, "tarvocoil: cannot open video '" + text + "': Invalid data found when processing input\n"},
        {empty, "tarvocoil: cannot open video '" + empty + "': Invalid data found when processing input\n"},
        {dir, "tarvocoil: cannot open video '" + dir + "': it is a directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const CliResult r = RunCli({"run", c.path, "--areas", AreasPath()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Run, DamagedVideoNeverCrashes) {
    // Cut the clip short, and flip bytes in its middle.
    const std::string whole = ReadFile(ClipPath());
    const std::string cut = Scratch("cut.mkv"), flipped = Scratch("flipped.mkv");
    WriteFile(cut, whole.substr(0, whole.size() / 2));
    std::string bad = whole;
    for (std::size_t i = bad.size() / 3; i < bad.size() / 3 + 4000 && i < bad.size(); i += 7) bad[i] ^= 0x5A;
    WriteFile(flipped, bad);
    for (const std::string& path : {cut, flipped}) {
        SCOPED_TRACE(path);
        const CliResult r = RunCli({"run", path, "--areas", AreasPath()});
        EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << ": " << r.err;
        if (r.status == 0) {
            EXPECT_EQ(Lines(r.out).at(0), "frame,time,area,name");
        } else {
            EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        }
    }
}

TEST(Run, VideoWiderThanTheDetectorIsRefused) {
    tarvotool::BgrImage wide;
    wide.resize(10922, 4);
    const std::string path = Scratch("wide.mkv");
    WriteVideo(path, {wide, wide}, "ffv1");
    const CliResult r = RunCli({"run", path, "--areas", AreasPath()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvocoil: " + path + ": frame width 10922 exceeds the detector's limit of 10921 pixels\n");

    tarvotool::BgrImage widest;
    widest.resize(10921, 4);
    const std::string ok = Scratch("widest.mkv");
    WriteVideo(ok, {widest, widest}, "ffv1");
    EXPECT_EQ(RunCli({"run", ok, "--areas", AreasPath()}).status, 0);
}

TEST(Run, AreasOutsideTheFrameAreWarnedAbout) {
    const std::string path = Scratch("outside.json");
    WriteFile(path, R"([{"name": "in", "vertices": [[10, 10], [40, 10], [40, 40], [10, 40]]},
                        {"name": "off", "vertices": [[200, 10], [260, 10], [260, 40], [200, 40]]},
                        {"name": "above", "vertices": [[10, -90], [40, -90], [40, -1], [10, -1]]}])");
    const CliResult r = RunCli({"run", ClipPath(), "--areas", path, "-q"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "tarvocoil: warning: " + path + ": area 1 \"off\" lies wholly outside the 157x120 frame\n" +
                         "tarvocoil: warning: " + path + ": area 2 \"above\" lies wholly outside the 157x120 frame\n");

    // Thousands of them: one warning, not thousands.
    std::string many = R"([{"name": "in", "vertices": [[10, 10], [40, 10], [40, 40], [10, 40]]})";
    for (int i = 0; i < 5000; ++i)
        many += R"(, {"name": "o)" + std::to_string(i) + R"(", "vertices": [[200, 10], [260, 10], [260, 40], [200, 40]]})";
    WriteFile(path, many + "]");
    const CliResult m = RunCli({"run", ClipPath(), "--areas", path, "-q"});
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(m.err, "tarvocoil: warning: " + path + ": 5000 areas lie wholly outside the 157x120 frame: " +
                         "area 1 \"o0\", area 2 \"o1\", area 3 \"o2\" and 4997 more\n");
}

TEST(Cli, UsageErrorsAndHelp) {
    const CliResult help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"demo", "run", "frame", "Usage: tarvocoil"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    const CliResult runHelp = RunCli({"run", "--help"});
    EXPECT_EQ(runHelp.status, 0);
    EXPECT_NE(runHelp.out.find("--format"), std::string::npos);

    const struct {
        std::vector<std::string> args;
        std::string first;
    } cases[] = {
        {{}, "tarvocoil: A subcommand is required"},
        {{"bogus"}, "tarvocoil: unknown subcommand 'bogus' (expected demo, run, frame, tune, plot, edit, serve or passwd)"},
        {{"run", "x.mp4"}, "tarvocoil: --areas is required"},
        {{"run", "x.mp4", "--areas", "a.json", "--format", "xml"}, "tarvocoil: --format: xml not in {csv,jsonl}"},
        {{"run", "x.mp4", "--areas", "a.json", "--start", "-1"}, "tarvocoil: --start: expected 0 or more seconds, got -1"},
        {{"run", "x.mp4", "--areas", "a.json", "--duration", "inf"},
         "tarvocoil: --duration: expected a number of seconds, got 'inf'"},
    };
    for (const auto& c : cases) {
        const CliResult r = RunCli(c.args);
        EXPECT_EQ(r.status, 2) << c.first;
        EXPECT_EQ(Lines(r.err).at(0), c.first);
    }
}
