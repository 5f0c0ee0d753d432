// edit_live_test.cpp - the editor on a live source: the clip it records by
// copying the stream, and what it refuses.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/media/stream_record.h"
#include "tests/tool/stream_server.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

bool PartFilesBeside(const std::string& path) {
    for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
        if (e.path().filename().string().rfind(fs::path(path).filename().string() + ".part-", 0) == 0) return true;
    return false;
}

// The URL the editor prints, once it does (bounded wait).
std::string WaitForUrl(const std::string& out, int pid) {
    for (int i = 0; i < 600; ++i) {
        for (const std::string& line : Lines(ReadFile(out)))
            if (line.rfind("open http://", 0) == 0) return line.substr(5, line.find(' ', 5) - 5);
        if (kill(pid, 0) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

}  // namespace

TEST(EditLive, RecordsACopyOfTheStreamFromAKeyframeAndRefusesToOverwrite) {
    StreamServer server(ClipPath());
    server.start();
    const std::string clip = Scratch("live-record.mkv");
    tarvotool::StreamRecordOptions o;
    o.source = server.url();
    o.out = clip;
    o.seconds = 2.0;
    double reported = -1.0;
    o.progress = [&](double s) { reported = s; };
    const tarvotool::StreamRecording r = tarvotool::RecordStream(o);
    EXPECT_FALSE(r.cutShort);
    EXPECT_GT(r.seconds, 1.5);
    EXPECT_LT(r.seconds, 2.0);
    EXPECT_EQ(reported, r.seconds);
    EXPECT_FALSE(PartFilesBeside(clip));
    // Every packet decodes: the clip starts on a keyframe. The stream is
    // MPEG-2 at 25 fps, copied as it is.
    std::vector<double> times;
    const auto frames = DecodeAll(clip, &times);
    EXPECT_GE(frames.size(), 40u);
    EXPECT_NEAR(times.front(), 0.0, 1e-6);
    const CliResult probe = RunCli({"frame", clip, "--at", "0", "--out", Scratch("live-first.png")});
    EXPECT_EQ(probe.status, 0) << probe.err;

    // An existing clip is refused unless asked, and left as it was.
    const std::string before = ReadFile(clip);
    try {
        tarvotool::RecordStream(o);
        ADD_FAILURE() << "recorded over an existing file";
    } catch (const tarvotool::ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("exists: not recorded over (--overwrite replaces it)"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(ReadFile(clip), before);
}

TEST(EditLive, ASourceGivingNoPictureWithinTheStallTimeLeavesNoClip) {
    StreamServer server(ClipPath());
    server.start();
    server.pause();  // listening, silent
    tarvotool::StreamRecordOptions o;
    o.source = server.url();
    o.out = Scratch("live-stalled.mkv");
    o.seconds = 2.0;
    o.stallSeconds = 1.0;
    try {
        tarvotool::RecordStream(o);
        ADD_FAILURE() << "recorded a silent source";
    } catch (const tarvotool::ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("gave no picture within 1 s (--stall): nothing recorded"), std::string::npos)
            << e.what();
    }
    server.resume();
    EXPECT_FALSE(fs::exists(o.out));
    EXPECT_FALSE(PartFilesBeside(o.out));
}

// `edit URL` records, then serves the clip; the temporary clip is gone
// when the editor ends.
TEST(EditLive, TheEditorEditsARecordingOfTheLiveSource) {
    StreamServer server(ClipPath());
    server.start();
    const std::string dir = Scratch("live-edit");
    fs::create_directories(dir);
    const std::string out = dir + "/out", err = dir + "/err";
    const int pid = StartCli({"edit", server.url(), "--record", "2", "--areas", dir + "/areas.json", "--port", "0"},
                             out, err);
    const std::string url = WaitForUrl(out, pid);
    ASSERT_FALSE(url.empty()) << ReadFile(out) << ReadFile(err);
    std::string recording;
    for (const std::string& line : Lines(ReadFile(out)))
        if (line.rfind("tarvocoil edit: ", 0) == 0) recording = line.substr(16);
    EXPECT_TRUE(fs::exists(recording)) << ReadFile(out);
    httplib::Client client(url.substr(0, url.size() - 1));
    client.set_read_timeout(60, 0);
    const auto info = client.Get("/api/info");
    ASSERT_TRUE(info && info->status == 200);
    EXPECT_EQ(json::parse(info->body)["live"], server.url());
    const auto frames = client.Get("/api/frames");
    ASSERT_TRUE(frames && frames->status == 200);
    EXPECT_GE(json::parse(frames->body)["times"].size(), 40u);
    EXPECT_NE(ReadFile(err).find("recording " + server.url()), std::string::npos) << "progress shows";
    // Recording again: the stream server served its one client and is
    // gone, so the new recording fails, says why, and the last clip stays.
    const std::string clipBefore = ReadFile(recording);
    const auto again = client.Post("/api/record", "{}", "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 202) << again->body;
    json state;
    for (int i = 0; i < 300; ++i) {
        const auto r = client.Get("/api/record");
        ASSERT_TRUE(r && r->status == 200);
        state = json::parse(r->body);
        if (!state["recording"].get<bool>()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(state["recording"].get<bool>());
    EXPECT_TRUE(state["error"].is_string()) << state;
    EXPECT_EQ(ReadFile(recording), clipBefore);
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitCli(pid, 30), 0) << ReadFile(err);
    EXPECT_FALSE(fs::exists(recording)) << "the temporary recording is removed at exit";

    // Without --areas or --record-to there is nowhere to keep the coils.
    const CliResult bare = RunCli({"edit", server.url(), "--port", "0"});
    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.err.find("needs --areas FILE"), std::string::npos) << bare.err;
}
