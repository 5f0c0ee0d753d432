// edit_marks_test.cpp - passages marked in the editor: the truth file they
// are saved as, the refusals, and the frame numbers the page shows.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/edit/edit_server.h"
#include "tools/evidence/truth.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class Editor {
public:
    Editor(const std::string& video, const std::string& areas, const std::string& truth) {
        tarvotool::EditCommand cmd;
        cmd.video = video;
        cmd.areas = areas;
        cmd.truth = truth;
        cmd.port = 0;
        server_ = std::make_unique<tarvotool::EditServer>(cmd);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->bind());
        client_->set_read_timeout(120, 0);
        thread_ = std::thread([this] { server_->serve(); });
    }
    ~Editor() {
        server_->stop();
        thread_.join();
    }
    // The status and the JSON answer.
    std::pair<int, json> send(const char* method, const std::string& path, const json& body) {
        const std::string text = body.dump();
        const auto r = std::string(method) == "PUT" ? client_->Put(path.c_str(), text, "application/json")
                                                    : client_->Post(path.c_str(), text, "application/json");
        if (!r) return {0, json()};
        return {r->status, json::parse(r->body)};
    }
    json get(const std::string& path) {
        const auto r = client_->Get(path.c_str());
        EXPECT_TRUE(r && r->status == 200) << path;
        return r && r->status == 200 ? json::parse(r->body) : json();
    }
    httplib::Client& http() { return *client_; }

private:
    std::unique_ptr<tarvotool::EditServer> server_;
    std::unique_ptr<httplib::Client> client_;
    std::thread thread_;
};

json ClipAreas() { return json::parse(ClipAreasJson()); }

std::vector<std::string> AreaNames(const json& doc) {
    std::vector<std::string> names;
    for (const auto& a : doc["areas"]) names.push_back(a.value("name", ""));
    return names;
}

int Sum(const json& coils, const char* key) {
    int n = 0;
    for (const auto& c : coils) n += c.at(key).get<int>();
    return n;
}

}  // namespace

TEST(EditMarks, TheWriterGivesBackEveryNameTheReaderReads) {
    using tarvotool::TruthRow;
    const std::vector<std::string> names = {"lane 1", " padded ", "a,b", "say \"hi\"", "", "0", "frame"};
    std::vector<TruthRow> rows;
    for (std::size_t i = 0; i < names.size(); ++i) rows.push_back({static_cast<int64_t>(40 - i), names[i], 0});
    rows.push_back({3, "lane 1", 0});
    const std::string text = tarvotool::FormatTruth(rows);
    EXPECT_EQ(text.rfind("frame,area\n3,lane 1\n", 0), 0u) << "sorted by frame:\n" << text;
    const auto back = tarvotool::ParseTruth(text, "t.csv", names);
    ASSERT_EQ(back.size(), rows.size()) << text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(tarvotool::TruthFrames(back, static_cast<int>(i)).back(), static_cast<int64_t>(40 - i))
            << "name \"" << names[i] << "\" in\n" << text;
    }
    const std::vector<TruthRow> broken{TruthRow{1, "two\nlines", 0}};
    EXPECT_THROW(tarvotool::FormatTruth(broken), tarvotool::ToolError);
}

// Marks are saved (atomically, the previous file kept) as the truth file
// `tune` reads; Test scores the page's marks, saved or not, exactly as it
// scores the saved file.
TEST(EditMarks, SavedMarksAreTheTruthThatTestAndTuneRead) {
    const std::string dir = Scratch("marks-save");
    fs::create_directories(dir);
    const std::string areas = dir + "/areas.json", truth = dir + "/truth.csv";
    WriteFile(areas, ClipAreasJson());
    const CliResult run = RunCli({"run", ClipPath(), "--areas", areas, "--format", "jsonl"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = ClipAreas();
    const auto names = AreaNames(doc);
    json marks = json::array();
    for (const std::string& line : Lines(run.out)) {
        const json e = json::parse(line);
        marks.push_back({{"frame", e["frame"]}, {"coil", names.at(e["area"].get<std::size_t>())}});
    }
    ASSERT_GT(marks.size(), 1u);

    Editor ed(ClipPath(), areas, truth);
    EXPECT_EQ(ed.get("/api/truth")["exists"], false);
    // No marks: nothing written, and the answer says so.
    auto [status, answer] = ed.send("PUT", "/api/truth", json{{"areas", doc}, {"marks", json::array()}});
    EXPECT_EQ(status, 200);
    EXPECT_EQ(answer["written"], false);
    EXPECT_NE(answer["message"].get<std::string>().find("nothing written"), std::string::npos);
    EXPECT_FALSE(fs::exists(truth));

    // Unsaved marks score every trigger a hit.
    std::tie(status, answer) = ed.send("POST", "/api/test", json{{"areas", doc}, {"marks", marks}});
    ASSERT_EQ(status, 200) << answer;
    EXPECT_EQ(Sum(answer["truth"]["coils"], "hits"), static_cast<int>(marks.size()));
    EXPECT_EQ(Sum(answer["truth"]["coils"], "false") + Sum(answer["truth"]["coils"], "misses"), 0);

    json first = marks;
    first.erase(first.size() - 1);
    std::tie(status, answer) = ed.send("PUT", "/api/truth", json{{"areas", doc}, {"marks", first}});
    ASSERT_EQ(status, 200) << answer;
    EXPECT_EQ(answer["written"], true);
    const std::string firstText = ReadFile(truth);
    std::tie(status, answer) = ed.send("PUT", "/api/truth", json{{"areas", doc}, {"marks", marks}});
    ASSERT_EQ(status, 200) << answer;
    EXPECT_EQ(ReadFile(truth + ".bak"), firstText);

    // The file holds exactly the marks, as tune reads them.
    const auto read = tarvotool::LoadTruthFile(truth, names);
    ASSERT_EQ(read.size(), marks.size());
    for (std::size_t i = 0; i < marks.size(); ++i) {
        EXPECT_EQ(read[i].frame, marks[i]["frame"].get<int64_t>());
        EXPECT_EQ(names.at(read[i].area), marks[i]["coil"]);
    }
    EXPECT_EQ(ed.get("/api/truth")["rows"].size(), marks.size());
    // Test without marks now scores the saved file alike, and tune agrees.
    std::tie(status, answer) = ed.send("POST", "/api/test", json{{"areas", doc}});
    EXPECT_EQ(Sum(answer["truth"]["coils"], "hits"), static_cast<int>(marks.size()));
    const CliResult tune = RunCli({"tune", ClipPath(), "--areas", areas, "--truth", truth});
    EXPECT_EQ(tune.status, 0) << tune.err;
}

TEST(EditMarks, MarksBeyondTheEndOrOnADeletedCoilAreRefused) {
    const std::string dir = Scratch("marks-refused");
    fs::create_directories(dir);
    const std::string areas = dir + "/areas.json", truth = dir + "/truth.csv";
    WriteFile(areas, ClipAreasJson());
    Editor ed(ClipPath(), areas, truth);
    const json doc = ClipAreas();
    const std::string name = AreaNames(doc).at(0);
    json twice = doc;
    twice["areas"][1]["name"] = name;
    const struct {
        json doc, marks;
        const char* message;
    } bad[] = {
        {doc, json::array({{{"frame", kClipFrames}, {"coil", name}}}), "beyond the clip's end (its frames are 0 to 119)"},
        {doc, json::array({{{"frame", 5}, {"coil", "gone"}}}), "no coil is named \"gone\" (deleted?)"},
        {doc, json::array({{{"frame", -1}, {"coil", name}}}), "a frame number of 0 or more"},
        {doc, json::array({{{"frame", 2.5}, {"coil", name}}}), "expected a whole frame number"},
        {twice, json::array({{{"frame", 5}, {"coil", name}}}), "2 coils are named"},
    };
    for (const auto& b : bad) {
        for (const char* path : {"/api/truth", "/api/test", "/api/tune"}) {
            const auto [status, answer] =
                ed.send(path == std::string("/api/truth") ? "PUT" : "POST", path, json{{"areas", b.doc}, {"marks", b.marks}});
            EXPECT_EQ(status, 400) << path << " " << b.marks;
            EXPECT_NE(answer.value("error", "").find(b.message), std::string::npos) << path << ": " << answer;
        }
    }
    EXPECT_FALSE(fs::exists(truth));
    // The last frame is within the clip.
    const auto [status, answer] =
        ed.send("PUT", "/api/truth", json{{"areas", doc}, {"marks", json::array({{{"frame", kClipFrames - 1}, {"coil", name}}})}});
    EXPECT_EQ(status, 200) << answer;
}

// The page numbers frames by /api/frames; on a clip that starts late (its
// first keyframe lost, as in a clip cut from a longer one) and whose frames
// are unevenly spaced that numbering is still `run`'s, where time x rate
// is not.
TEST(EditFrames, ThePagesFrameIndexIsRunsOnALateVariableRateClip) {
    const std::string vfr = Scratch("vfr-full.mkv"), clip = Scratch("vfr.mkv"), areas = Scratch("vfr-areas.json");
    // Frames 40 and on come 1.5 times further apart.
    ASSERT_TRUE(Ffmpeg({"-i", ClipPath(), "-vf", "setpts='(N+if(gt(N,40),(N-40)/2,0))/(25*TB)'", "-fps_mode",
                        "passthrough", "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "yuv444p",
                        "-g", "25", "-bf", "0", vfr}));
    ASSERT_TRUE(Ffmpeg({"-i", vfr, "-c", "copy", "-bsf:v", "noise=drop=lt(n\\,1)", clip}));
    WriteFile(areas, ClipAreasJson());
    const CliResult run = RunCli({"run", clip, "--areas", areas, "--format", "jsonl"});
    ASSERT_EQ(run.status, 0) << run.err;
    Editor ed(clip, areas, "");
    const json info = ed.get("/api/info");
    const json times = ed.get("/api/frames")["times"];
    ASSERT_EQ(times.size(), static_cast<std::size_t>(kClipFrames - 25)) << "the first second cannot be decoded";
    EXPECT_GT(times[0].get<double>(), 0.9) << "the clip starts late";
    EXPECT_EQ(times[0], info["first_time"]);
    int apart = 0, events = 0;
    for (const std::string& line : Lines(run.out)) {
        const json e = json::parse(line);
        const int64_t frame = e["frame"].get<int64_t>();
        ASSERT_LT(frame, static_cast<int64_t>(times.size()));
        EXPECT_NEAR(times[frame].get<double>(), e["time"].get<double>(), 1e-5) << line;
        // The frame the page asks for at that index is the one run saw.
        const auto png = ed.http().Get(("/api/frame?t=" + std::to_string(times[frame].get<double>())).c_str());
        ASSERT_TRUE(png && png->status == 200);
        EXPECT_NEAR(std::stod(png->get_header_value("X-Frame-Time")), e["time"].get<double>(), 1e-5);
        const double byRate = (e["time"].get<double>() - info["first_time"].get<double>()) * info["fps"].get<double>();
        apart += std::llround(byRate) != frame;
        ++events;
    }
    EXPECT_GT(events, 1);
    EXPECT_GT(apart, 0) << "time x rate would have given the same numbers: the clip is not variable enough";
}
