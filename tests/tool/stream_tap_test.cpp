// stream_tap_test.cpp - clips recorded from the packets of a stream that a
// reader decodes: from a keyframe, ended by the clip's length or by the
// connection, and the recordings refused or stopped before a picture.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "host/errors.h"
#include "tools/media/stream_tap.h"
#include "tools/media/video_reader.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The test clip as MPEG-2 in MPEG-TS with a keyframe every 12 frames, as a
// camera's stream comes.
const std::string& StreamClip() {
    static const std::string path = [] {
        const std::string p = Scratch("tap-stream.ts");
        Ffmpeg({"-i", ClipPath(), "-c:v", "mpeg2video", "-q:v", "4", "-g", "12", "-bf", "0", p});
        return p;
    }();
    return path;
}

tarvotool::StreamRecordOptions Options(const std::string& out, double seconds, double stall) {
    tarvotool::StreamRecordOptions o;
    o.source = "camera test";
    o.out = out;
    o.seconds = seconds;
    o.stallSeconds = stall;
    return o;
}

bool WaitForRecording(const tarvotool::StreamTap& tap) {
    for (int i = 0; i < 600 && !tap.recording(); ++i) std::this_thread::sleep_for(10ms);
    return tap.recording();
}

std::string Message(std::future<tarvotool::StreamRecording>& f) {
    try {
        f.get();
    } catch (const tarvotool::ToolError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(StreamTap, ClipsEndAtTheirLengthOrWhenTheConnectionDoes) {
    tarvotool::StreamTap tap;
    const std::string clip = Scratch("tap-second.mkv");
    {
        tarvotool::VideoReaderOptions ro;
        ro.tap = &tap;
        tarvotool::VideoReader reader(StreamClip(), ro);
        auto rec = std::async(std::launch::async, [&] { return tap.record(Options(clip, 1.0, 30)); });
        ASSERT_TRUE(WaitForRecording(tap));
        // More of the stream read than the clip needs.
        tarvotool::VideoFrame f;
        for (int i = 0; i < 60 && reader.next(f); ++i) {
        }
        const tarvotool::StreamRecording r = rec.get();
        EXPECT_FALSE(r.cutShort);
        EXPECT_GT(r.seconds, 0.9);
        EXPECT_LT(r.seconds, 1.0);
    }
    std::vector<double> times;
    EXPECT_EQ(DecodeAll(clip, &times).size(), 25u);  // one second at 25 fps, every packet decodable
    EXPECT_NEAR(times.front(), 0.0, 1e-6);

    // A clip longer than the connection lasts ends with it, cut short.
    const std::string rest = Scratch("tap-rest.mkv");
    std::future<tarvotool::StreamRecording> rec;
    {
        tarvotool::VideoReaderOptions ro;
        ro.tap = &tap;
        tarvotool::VideoReader reader(StreamClip(), ro);
        tarvotool::VideoFrame f;
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(reader.next(f));
        rec = std::async(std::launch::async, [&] { return tap.record(Options(rest, 60.0, 30)); });
        ASSERT_TRUE(WaitForRecording(tap));
        while (reader.next(f)) {
        }
    }
    // The reader's end ends the recording (well before its 30 s stall).
    for (int i = 0; i < 1000 && tap.recording(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(tap.recording());
    const tarvotool::StreamRecording r = rec.get();
    EXPECT_TRUE(r.cutShort);
    // From the first keyframe after the recording began (frame 12) to the end.
    const auto frames = DecodeAll(rest);
    EXPECT_GE(frames.size(), static_cast<std::size_t>(kClipFrames - 24));
    EXPECT_LE(frames.size(), static_cast<std::size_t>(kClipFrames - 5));
}

TEST(StreamTap, NoPictureNoClip) {
    const std::string out = Scratch("tap-none.mkv");
    // No connection: refused after the stall time.
    {
        tarvotool::StreamTap tap;
        try {
            tap.record(Options(out, 1.0, 0.3));
            ADD_FAILURE() << "recorded without a stream";
        } catch (const tarvotool::ToolError& e) {
            EXPECT_NE(std::string(e.what()).find("'camera test' has no stream now"), std::string::npos) << e.what();
        }
    }
    // One recording at a time; shut down, the waiting one ends at once.
    {
        tarvotool::StreamTap tap;
        tarvotool::VideoReaderOptions ro;
        ro.tap = &tap;
        tarvotool::VideoReader reader(StreamClip(), ro);
        auto first = std::async(std::launch::async, [&] { return tap.record(Options(out, 1.0, 60)); });
        ASSERT_TRUE(WaitForRecording(tap));
        try {
            tap.record(Options(Scratch("tap-second-at-once.mkv"), 1.0, 60));
            ADD_FAILURE() << "two recordings at once";
        } catch (const tarvotool::ToolError& e) {
            EXPECT_NE(std::string(e.what()).find("runs already"), std::string::npos) << e.what();
        }
        tap.shutDown();  // the camera stops before a packet came
        EXPECT_NE(Message(first).find("stopped before its first picture"), std::string::npos);
        try {
            tap.record(Options(out, 1.0, 60));
            ADD_FAILURE() << "recorded after the shutdown";
        } catch (const tarvotool::ToolError& e) {
            EXPECT_NE(std::string(e.what()).find("stopped: nothing recorded"), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(out));
    for (const auto& e : fs::directory_iterator(fs::path(out).parent_path()))
        EXPECT_EQ(e.path().filename().string().find("tap-none.mkv.part-"), std::string::npos) << e.path();
}
