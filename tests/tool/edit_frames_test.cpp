// edit_frames_test.cpp - the editor counts frames as `run` does, also on a
// clip whose first decodable frame lies well after the stream's start.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tools/edit/edit_server.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using nlohmann::json;

namespace {

// The test clip through H.264 with a keyframe each second, its first
// packet (the keyframe) dropped: frames up to 1 s cannot be decoded, as in
// a clip cut from a longer recording.
std::string LateStartClip() {
    const std::string full = Scratch("late-full.mp4"), late = Scratch("late.mp4");
    EXPECT_TRUE(Ffmpeg({"-i", ClipPath(), "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", "-pix_fmt",
                        "yuv444p", "-g", "25", "-bf", "0", full}));
    EXPECT_TRUE(Ffmpeg({"-i", full, "-c", "copy", "-bsf:v", "noise=drop=lt(n\\,1)", late}));
    return late;
}

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
    json post(const std::string& path, const json& body) {
        const auto r = client_->Post(path.c_str(), body.dump(), "application/json");
        EXPECT_TRUE(r && r->status == 200) << path << ": " << (r ? r->body : "no answer");
        return r && r->status == 200 ? json::parse(r->body) : json();
    }
    httplib::Client& http() { return *client_; }

private:
    std::unique_ptr<tarvotool::EditServer> server_;
    std::unique_ptr<httplib::Client> client_;
    std::thread thread_;
};

int Sum(const json& coils, const char* key) {
    int n = 0;
    for (const auto& c : coils) n += c.at(key).get<int>();
    return n;
}

// The numbers of the "all" row of tune's before/after table.
std::vector<std::string> AllRow(const std::string& out) {
    for (const std::string& line : Lines(out))
        if (line.rfind("all ", 0) == 0) {
            std::istringstream in(line);
            std::vector<std::string> words;
            for (std::string w; in >> w;) words.push_back(w);
            return words;
        }
    return {};
}

}  // namespace

// A truth file of `run`'s own triggers scores every trigger a hit in the
// editor's Test, in the editor's tune and in `tune`.
TEST(EditFrames, TestAndTuneAgreeWithRunOnALateFirstFrame) {
    const std::string clip = LateStartClip(), areas = Scratch("late-areas.json"), truth = Scratch("late-truth.csv");
    WriteFile(areas, ClipAreasJson());
    const CliResult run = RunCli({"run", clip, "--areas", areas, "--format", "jsonl"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string text = "frame,area\n";
    int total = 0;
    double firstEvent = 1e9;
    for (const std::string& line : Lines(run.out)) {
        const json e = json::parse(line);
        text += std::to_string(e["frame"].get<int>()) + "," + std::to_string(e["area"].get<int>()) + "\n";
        firstEvent = std::min(firstEvent, e["time"].get<double>());
        ++total;
    }
    ASSERT_GT(total, 1);
    WriteFile(truth, text);

    Editor ed(clip, areas, truth);
    const auto info = ed.http().Get("/api/info");
    ASSERT_TRUE(info && info->status == 200);
    EXPECT_GT(json::parse(info->body)["first_time"].get<double>(), 0.9) << "the clip's first frame is late";

    const json test = ed.post("/api/test", json::object());
    EXPECT_EQ(Sum(test["truth"]["coils"], "hits"), total);
    EXPECT_EQ(Sum(test["truth"]["coils"], "misses") + Sum(test["truth"]["coils"], "false"), 0);
    // A range from the first event on: its entries line up with its triggers.
    const json part = ed.post("/api/test", json{{"start", firstEvent - 0.1}});
    EXPECT_EQ(Sum(part["truth"]["coils"], "hits"), total);

    const json tuned = ed.post("/api/tune", json::object());
    int before = 0, falses = 0;
    for (const auto& c : tuned["coils"]) {
        before += c["before"]["hits"].get<int>();
        falses += c["before"]["false"].get<int>() + c["before"]["misses"].get<int>();
    }
    EXPECT_EQ(before, total);
    EXPECT_EQ(falses, 0);

    const CliResult tune = RunCli({"tune", clip, "--areas", areas, "--truth", truth});
    ASSERT_EQ(tune.status, 0) << tune.err;
    const std::vector<std::string> all = AllRow(tune.out);
    ASSERT_GE(all.size(), 6u) << tune.out;
    // all, triggers, hits, misses, false, F1 (the own thresholds).
    EXPECT_EQ(all[2], std::to_string(total)) << tune.out;
    EXPECT_EQ(all[3], "0");
    EXPECT_EQ(all[4], "0");
}

// Past the end, the editor's frame says what `frame` says.
TEST(EditFrames, AFramePastTheEndSaysWhereTheVideoEnds) {
    const std::string ts = Scratch("end.ts");
    ASSERT_TRUE(Ffmpeg({"-i", ClipPath(), "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p", "-g", "50",
                        "-f", "mpegts", ts}));
    WriteFile(Scratch("end-areas.json"), ClipAreasJson());
    Editor ed(ts, Scratch("end-areas.json"), "");
    const auto r = ed.http().Get("/api/frame?t=1e9");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 422);
    EXPECT_NE(r->body.find("ends before 1000000000 s (its last frame is at"), std::string::npos) << r->body;
    const CliResult frame = RunCli({"frame", ts, "--at", "1e9", "--out", Scratch("end.png")});
    EXPECT_EQ(frame.status, 1);
    EXPECT_NE(frame.err.find("ends before 1000000000 s (its last frame is at"), std::string::npos) << frame.err;
}
