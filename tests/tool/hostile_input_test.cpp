// hostile_input_test.cpp - the tool on everyday and hostile input: clips
// made by the ffmpeg program (or the tool's own writer) that once crashed
// it, destroyed data or ended in a silent success.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/loop/progress.h"
#include "tests/tool/tool_test_util.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_writer.h"

using namespace tooltest;
namespace fs = std::filesystem;

namespace {

std::string Areas(const std::string& name, const std::string& json) {
    const std::string path = Scratch(name);
    WriteFile(path, json);
    return path;
}

// One area over the middle of a testsrc2 picture of width x height.
std::string MiddleArea(int width, int height) {
    const int l = width / 4, r = width * 3 / 4, t = height / 4, b = height * 3 / 4;
    return Areas("middle-" + std::to_string(width) + "x" + std::to_string(height) + ".json",
                 "[{\"name\": \"m\", \"vertices\": [[" + std::to_string(l) + ", " + std::to_string(t) + "], [" +
                     std::to_string(r) + ", " + std::to_string(t) + "], [" + std::to_string(r) + ", " +
                     std::to_string(b) + "], [" + std::to_string(l) + ", " + std::to_string(b) + "]], \"threshold\": 0.02}]");
}

// A testsrc2 clip through libx264.
std::string TestClip(const std::string& name, const std::string& size, int rate, double seconds,
                     const std::vector<std::string>& extra) {
    const std::string path = Scratch(name);
    std::vector<std::string> args{"-f", "lavfi", "-i",
                                  "testsrc2=s=" + size + ":r=" + std::to_string(rate) + ":d=" + std::to_string(seconds),
                                  "-c:v", "libx264", "-preset", "ultrafast"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path);
    EXPECT_TRUE(Ffmpeg(args)) << name;
    return path;
}

// "N processed" from the summary line.
long Processed(const std::string& err) {
    const std::size_t at = err.find(" processed,");
    if (at == std::string::npos) return -1;
    const std::size_t start = err.rfind(' ', at - 1) + 1;
    return std::stol(err.substr(start, at - start));
}

// The picture away from the caption (top rows) equals `frame`.
bool SameBelowCaption(const tarvotool::BgrImage& a, const tarvotool::BgrImage& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int y = a.height / 2; y < a.height; ++y)
        if (!std::equal(a.row(y), a.row(y) + a.width * 3, b.row(y))) return false;
    return true;
}

}  // namespace

// 4:2:0 and NV12 video whose width is a multiple of 8 but not of 16 (or
// under 16): the BGR conversion used to write past the frame buffer.
TEST(Hostile, WidthsTheConverterOverrunsAreSafe) {
    const struct {
        const char* size;
        const char* pix;
    } cases[] = {{"360x640", "yuv420p"}, {"568x320", "yuvj420p"}, {"200x100", "nv12"}, {"8x6", "yuv420p"},
                 {"424x240", "yuv422p"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.size) + " " + c.pix);
        const std::string clip = TestClip(std::string("narrow-") + c.size + "-" + c.pix + ".mp4", c.size, 10, 0.5,
                                          {"-pix_fmt", c.pix});
        const int w = std::stoi(c.size), h = std::stoi(std::string(c.size).substr(std::string(c.size).find('x') + 1));
        const CliResult r = RunCli({"run", clip, "--areas", MiddleArea(w, h)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Processed(r.err), 5) << r.err;
        // In this process too (the sanitizer build checks every byte written).
        const auto frames = DecodeAll(clip);
        ASSERT_EQ(frames.size(), 5u);
        EXPECT_EQ(frames[0].width, w);
        const CliResult f = RunCli({"frame", clip, "--at", "0.2", "--out", Scratch("narrow.png")});
        EXPECT_EQ(f.status, 0) << f.err;
    }
}

TEST(Hostile, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsOpened) {
    const std::string video = Scratch("precious.mkv"), areas = Scratch("precious.json");
    fs::copy_file(ClipPath(), video, fs::copy_options::overwrite_existing);
    WriteFile(areas, ClipAreasJson());
    const std::string link = Scratch("link-to-video.mkv"), hard = Scratch("hard-link.mkv");
    fs::remove(link);
    fs::remove(hard);
    fs::create_symlink(video, link);
    fs::create_hard_link(video, hard);
    const std::string videoBytes = ReadFile(video), areasBytes = ReadFile(areas);
    const std::string rel = fs::relative(video, fs::current_path()).string();
    const std::vector<std::vector<std::string>> cases = {
        {"run", video, "--areas", areas, "--events", video},
        {"run", video, "--areas", areas, "--events", rel},
        {"run", video, "--areas", areas, "--review", link},
        {"run", video, "--areas", areas, "--trace", hard},
        {"run", video, "--areas", areas, "--events", areas},
        {"run", video, "--areas", areas, "--events", Scratch("same.mp4"), "--review", Scratch("./same.mp4")},
        {"frame", video, "--at", "1", "--out", link},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.find("is the same file as") != std::string::npos ||
                    r.err.find("name the same file") != std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(ReadFile(video), videoBytes);
    EXPECT_EQ(ReadFile(areas), areasBytes);
    EXPECT_FALSE(fs::exists(Scratch("same.mp4")));
}

// The tool reads a pipe that the test fills only part way, so the run is
// still going when the signal comes, whatever the machine's speed.
TEST(Hostile, ASignalEndsTheRunWithEveryEventAndAPlayableReview) {
    const std::string whole = ReadFile(ClipPath());
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        const std::string fifo = Scratch("pipe" + std::to_string(sig));
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const std::string events = Scratch("sig-events.csv"), review = Scratch("sig-review.mp4");
        const std::string areas = Areas("sig-areas.json", ClipAreasJson());
        const int pid = StartCli({"run", fifo, "--areas", areas, "--events", events, "--review", review},
                                 Scratch("sig.out"), Scratch("sig.err"));
        std::FILE* pipe = std::fopen(fifo.c_str(), "wb");
        ASSERT_NE(pipe, nullptr);
        // About three quarters of the clip: both blocks have crossed areas by then.
        std::fwrite(whole.data(), 1, whole.size() * 3 / 4, pipe);
        std::fflush(pipe);
        bool sawEvents = false;
        for (int i = 0; i < 3000 && !sawEvents; ++i) {
            sawEvents = Lines(ReadFile(events)).size() >= 3;
            if (!sawEvents) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(sawEvents) << "events are written as they happen";
        kill(pid, sig);
        const int status = WaitCli(pid, 30);
        std::fclose(pipe);
        EXPECT_EQ(status, 128 + sig) << ReadFile(Scratch("sig.err"));
        const std::string err = ReadFile(Scratch("sig.err"));
        EXPECT_NE(err.find(sig == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM"), std::string::npos) << err;
        const long processed = Processed(err);
        EXPECT_GT(processed, 10);
        EXPECT_LT(processed, kClipFrames);
        const auto frames = DecodeAll(review);  // a file without its index would not open
        EXPECT_EQ(static_cast<long>(frames.size()), processed);
        const std::vector<std::string> lines = Lines(ReadFile(events));
        EXPECT_EQ(lines.at(0), "frame,time,area,name");
        const auto expected = InMemoryTriggers(tarvotool::LoadAreasFile(areas), MakeClip(), 0, static_cast<int>(processed));
        EXPECT_EQ(lines.size(), expected.size() + 1);
    }
}

// Names, paths and file contents reach messages; a terminal must show their
// escape sequences, not obey them (retitle, clear the screen, ...).
TEST(Hostile, TerminalEscapesInNamesAndFilesAreShownNotObeyed) {
    EXPECT_EQ(tarvotool::TerminalText("caf\xc3\xa9\tA\x1b[2J\x07\x7f\xc2\x9b\xff\xc0\xaf\xe2\x82"),
              "caf\xc3\xa9\tA\\x1b[2J\\x07\\x7f\\u009b\\xff\\xc0\\xaf\\xe2\\x82");
    auto raw = [](const std::string& text) {
        return text.find_first_of(std::string("\x1b\x07\x9b", 3)) != std::string::npos;
    };
    const std::string areas = Areas("escapes.json", R"([
  {"name": "in", "vertices": [[10, 10], [40, 10], [40, 40], [10, 40]]},
  {"name": "\u001b]0;owned\u0007\u001b[2J\u009b", "vertices": [[200, 10], [260, 10], [260, 40], [200, 40]]}])");
    const CliResult run = RunCli({"run", ClipPath(), "--areas", areas, "-q", "--events", Scratch("escapes.csv")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(raw(run.err)) << run.err;
    EXPECT_NE(run.err.find("area 1 \"\\x1b]0;owned\\x07\\x1b[2J\\u009b\" lies wholly outside"), std::string::npos)
        << run.err;

    const std::string trace = Scratch("escapes-trace.csv");
    WriteFile(trace, "\x1b]0;owned\x07" "frame,area\n1,2\n");
    const CliResult plot = RunCli({"plot", trace, "--out", Scratch("escapes.png")});
    EXPECT_EQ(plot.status, 1);
    EXPECT_FALSE(raw(plot.err)) << plot.err;
    EXPECT_NE(plot.err.find("\\x1b]0;owned\\x07frame"), std::string::npos) << plot.err;

    const CliResult sub = RunCli({"r\x1b[2Jun"});
    EXPECT_EQ(sub.status, 2);
    EXPECT_FALSE(raw(sub.err)) << sub.err;
}

// A signal while the input is still opening ends the run as a stopped run:
// the summary, and the status of a signal (a live run: 0), no output made.
TEST(Hostile, ASignalWhileTheInputOpensEndsAsAStoppedRun) {
    const std::string areas = Areas("opening-areas.json", ClipAreasJson());
    const std::string fifo = Scratch("silent-pipe"), events = Scratch("opening-events.csv");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int pid = StartCli({"run", fifo, "--areas", areas, "--events", events}, Scratch("opening.out"),
                             Scratch("opening.err"));
    int writer = -1;  // opens once the tool reads the pipe: it is opening its input then
    for (int i = 0; i < 3000 && writer < 0; ++i) {
        writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(writer, 0);
    kill(pid, SIGINT);
    // A signal that lands between the tool's open and its first read leaves
    // that read waiting: the end of the pipe ends it (the stop is noted).
    siginfo_t info{};
    for (int i = 0; i < 500; ++i) {
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(writer);
    const int status = WaitCli(pid, 30);
    const std::string err = ReadFile(Scratch("opening.err"));
    EXPECT_EQ(status, 130) << err;
    EXPECT_NE(err.find("tarvocoil: 0 frames read, 0 processed,"), std::string::npos) << err;
    EXPECT_NE(err.find(", stopped by SIGINT"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot open"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(events));

    // A live input that accepts the connection and never answers.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/live";
    const int live = StartCli({"run", url, "--areas", areas}, Scratch("live-open.out"), Scratch("live-open.err"));
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1);
    const int conn = accept(listener, nullptr, nullptr);
    char request[256];
    EXPECT_GT(recv(conn, request, sizeof request, 0), 0);  // the request is sent: the tool waits for the answer
    kill(live, SIGTERM);
    const int liveStatus = WaitCli(live, 30);
    close(conn);
    close(listener);
    const std::string liveErr = ReadFile(Scratch("live-open.err"));
    EXPECT_EQ(liveStatus, 0) << liveErr;
    EXPECT_NE(liveErr.find(", stopped by SIGTERM"), std::string::npos) << liveErr;
}

TEST(Hostile, StartAndAtOnMpegTsAreExact) {
    const std::string ts = TestClip("ts25.ts", "320x240", 25, 8, {"-g", "50", "-f", "mpegts"});
    std::vector<double> times;
    const auto frames = DecodeAll(ts, &times);
    ASSERT_EQ(frames.size(), 200u);
    const std::string png = Scratch("ts-at-5.png");
    const CliResult f = RunCli({"frame", ts, "--at", "5.0", "--out", png});
    ASSERT_EQ(f.status, 0) << f.err;
    const auto shown = DecodeAll(png);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(SameBelowCaption(shown[0], frames[125])) << "the frame at 5.0 s is frame 125";
    EXPECT_FALSE(SameBelowCaption(shown[0], frames[150]));

    const std::string areas = MiddleArea(320, 240);
    const CliResult r = RunCli({"run", ts, "--areas", areas, "--start", "5", "--duration", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Processed(r.err), 50) << r.err;
    const auto expected = InMemoryTriggers(tarvotool::LoadAreasFile(areas), frames, 125, 50);
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), expected.size() + 1) << r.out;
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[i + 1].substr(0, lines[i + 1].find(',')), std::to_string(expected[i].first));
}

// Recorder segments joined end to end: the second one's timestamps lie
// before the first one's start.
TEST(Hostile, FramesBeforeTheContainerStartAreProcessedInDecodeOrder) {
    const std::string a = TestClip("seg-a.ts", "160x120", 25, 2, {"-output_ts_offset", "10", "-f", "mpegts"});
    const std::string b = TestClip("seg-b.ts", "160x120", 25, 2, {"-f", "mpegts"});
    const std::string joined = Scratch("joined.ts");
    WriteFile(joined, ReadFile(a) + ReadFile(b));
    const CliResult r = RunCli({"run", joined, "--areas", MiddleArea(160, 120)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Processed(r.err), 100) << r.err;
    EXPECT_NE(r.err.find("100 frames read"), std::string::npos) << r.err;
}

TEST(Hostile, DamagedInputIsCountedWarnedAndFatalWithStrict) {
    const std::string ts = TestClip("dmg.ts", "320x240", 25, 8, {"-g", "50", "-f", "mpegts"});
    const std::string mkv = TestClip("dmg.mkv", "320x240", 25, 8, {"-g", "50"});
    std::string zeroed = ReadFile(ts);
    std::fill(zeroed.begin() + static_cast<long>(zeroed.size() / 3),
              zeroed.begin() + static_cast<long>(zeroed.size() / 3 + 40000), '\0');
    const std::string z = Scratch("zeroed.ts"), cut = Scratch("cut.mkv");
    WriteFile(z, zeroed);
    const std::string m = ReadFile(mkv);
    WriteFile(cut, m.substr(0, m.size() / 2));
    const std::string areas = MiddleArea(320, 240);
    for (const std::string& path : {z, cut}) {
        SCOPED_TRACE(path);
        const CliResult r = RunCli({"run", path, "--areas", areas});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("tarvocoil: warning: '" + path + "'"), std::string::npos) << r.err;
        if (path == z) {
            EXPECT_EQ(r.err.find(" 0 decoding errors, 0 frames lost"), std::string::npos) << r.err;
        }
        const CliResult strict = RunCli({"run", path, "--areas", areas, "--strict"});
        EXPECT_EQ(strict.status, 1) << strict.err;
        EXPECT_NE(strict.err.find("--strict makes it fatal"), std::string::npos) << strict.err;
    }
    // A run that ends on an error still finishes its review video.
    const std::string review = Scratch("dmg-review.mp4");
    const CliResult failed = RunCli({"run", z, "--areas", areas, "--strict", "--review", review});
    EXPECT_EQ(failed.status, 1);
    EXPECT_GT(DecodeAll(review).size(), 10u);
    const CliResult clean = RunCli({"run", mkv, "--areas", areas, "--strict"});
    EXPECT_EQ(clean.status, 0) << clean.err;
}

TEST(Hostile, ReviewKeepsTheSourceTimestamps) {
    // MPEG-TS, and a variable frame rate written with the tool's own writer.
    const std::string ts = TestClip("speed.ts", "160x120", 25, 4, {"-f", "mpegts"});
    const std::string vfr = Scratch("vfr.mkv");
    std::vector<double> vfrTimes;
    {
        const auto clip = MakeClip();
        tarvotool::VideoWriter w(vfr, kClipWidth, kClipHeight, 25, 1, "ffv1");
        double t = 0.0;
        for (int i = 0; i < 60; ++i) {
            w.write(clip[static_cast<std::size_t>(i)], t);
            vfrTimes.push_back(t);
            t += i < 30 ? 0.04 : 0.2;  // 25 fps, then 5 fps
        }
        w.finish();
    }
    for (const std::string& input : {ts, vfr}) {
        SCOPED_TRACE(input);
        std::vector<double> source;
        DecodeAll(input, &source);
        const std::string review = Scratch("speed-review.mkv");
        const CliResult r = RunCli({"run", input, "--areas", MiddleArea(160, 120), "--review", review});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<double> out;
        DecodeAll(review, &out);
        ASSERT_EQ(out.size(), source.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_NEAR(out[i] - out[0], source[i] - source[0], 0.002) << "frame " << i;
    }
}

TEST(Hostile, InputsWithoutTwoFramesAreErrors) {
    const std::string png = Scratch("still.png"), cover = Scratch("cover.png"), song = Scratch("song.mp3");
    ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:d=1", "-frames:v", "1", png}));
    ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "sine=d=1", "-i", png, "-map", "0", "-map", "1", "-c:a", "libmp3lame",
                        "-c:v", "png", "-disposition:v", "attached_pic", song}));
    const std::string areas = MiddleArea(64, 48);
    const CliResult still = RunCli({"run", png, "--areas", areas});
    EXPECT_EQ(still.status, 1);
    EXPECT_EQ(still.err, "tarvocoil: '" + png +
                             "' gave only one frame; the detector needs at least two (the first one takes its baseline)\n");
    EXPECT_EQ(still.out, "");
    const CliResult mp3 = RunCli({"run", song, "--areas", areas});
    EXPECT_EQ(mp3.status, 1);
    EXPECT_EQ(mp3.err, "tarvocoil: '" + song + "' has no video stream (only a cover picture)\n");
}

TEST(Hostile, RangeMessagesSayWhatHappened) {
    // Frames at 0..1.96 s, then a pause, then 10..11.96 s.
    const std::string gap = Scratch("gap.mkv");
    {
        const auto clip = MakeClip();
        tarvotool::VideoWriter w(gap, kClipWidth, kClipHeight, 25, 1, "ffv1");
        for (int i = 0; i < 100; ++i) w.write(clip[static_cast<std::size_t>(i)], (i < 50 ? 0.0 : 8.0) + i * 0.04);
        w.finish();
    }
    const std::string areas = Areas("gap-areas.json", ClipAreasJson());
    const CliResult inGap = RunCli({"run", gap, "--areas", areas, "--start", "5", "--duration", "2"});
    EXPECT_EQ(inGap.status, 1);
    EXPECT_EQ(inGap.err, "tarvocoil: '" + gap + "' has no frames between 5 s and 7 s (the next frame is at 10 s)\n");
    // The events file is only made once the input has given a frame.
    const std::string kept = Scratch("kept-events.csv");
    WriteFile(kept, "frame,time,area,name\n7,0.28,0,a\n");
    const CliResult after = RunCli({"run", gap, "--areas", areas, "--start", "20", "--events", kept});
    EXPECT_EQ(after.err, "tarvocoil: '" + gap + "' ends before 20 s (its last frame is at 11.96 s)\n");
    EXPECT_EQ(ReadFile(kept), "frame,time,area,name\n7,0.28,0,a\n");
    // Far past the end of a file whose demuxer lands at its end on every
    // seek there: the same message, not "cannot decode any frame".
    const std::string ts = TestClip("far.ts", "160x120", 25, 2, {"-f", "mpegts"});
    const CliResult far = RunCli({"run", ts, "--areas", areas, "--start", "1e9", "--events", kept});
    EXPECT_EQ(far.status, 1);
    EXPECT_EQ(far.err, "tarvocoil: '" + ts + "' ends before 1000000000 s (its last frame is at 1.96 s)\n");
    EXPECT_EQ(ReadFile(kept), "frame,time,area,name\n7,0.28,0,a\n");
    const CliResult frame = RunCli({"frame", gap, "--at", "20", "--out", Scratch("gap.png")});
    EXPECT_EQ(frame.err, "tarvocoil: '" + gap + "' ends before 20 s (its last frame is at 11.96 s)\n");
    const CliResult window = RunCli({"run", gap, "--areas", areas, "--start", "1", "--duration", "10"});
    EXPECT_EQ(window.status, 0) << window.err;
    EXPECT_EQ(Processed(window.err), 50) << "25 frames before the pause, 25 after";
}

TEST(Hostile, StreamsRotationAndSnapshotFolders) {
    const std::string two = Scratch("two.mkv");
    ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=1", "-f", "lavfi", "-i",
                        "testsrc=s=80x60:r=25:d=1", "-map", "0", "-map", "1", "-c:v", "ffv1", two}));
    const std::string areas = MiddleArea(160, 120);
    const CliResult first = RunCli({"run", two, "--areas", areas});
    EXPECT_EQ(first.status, 0);
    EXPECT_NE(first.err.find("has 2 video streams; using stream 0 (choose another with --stream N)"), std::string::npos)
        << first.err;
    const CliResult second = RunCli({"run", two, "--areas", areas, "--stream", "1", "-q"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.err, "");
    const CliResult none = RunCli({"run", two, "--areas", areas, "--stream", "7"});
    EXPECT_EQ(none.err, "tarvocoil: '" + two + "': stream 7 is no video stream (its video streams: 0, 1)\n");

    const std::string rotated = Scratch("rotated.mp4");
    const std::string plain = TestClip("plain.mp4", "160x120", 25, 1, {});
    ASSERT_TRUE(Ffmpeg({"-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=90", rotated}));
    const CliResult rot = RunCli({"run", rotated, "--areas", areas, "-q"});
    EXPECT_NE(rot.err.find("carries a display rotation of 90 degrees"), std::string::npos) << rot.err;
    EXPECT_EQ(RunCli({"run", plain, "--areas", areas, "-q"}).err, "");

    const std::string shots = Scratch("shots-twice");
    const std::string clipAreas = Areas("shot-areas.json", ClipAreasJson());
    ASSERT_EQ(RunCli({"run", ClipPath(), "--areas", clipAreas, "--snapshots", shots, "-q"}).status, 0);
    const CliResult again = RunCli({"run", ClipPath(), "--areas", clipAreas, "--snapshots", shots});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is not empty"), std::string::npos) << again.err;
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(RunCli({"run", ClipPath(), "--areas", clipAreas, "--snapshots", shots, "--overwrite", "-q"}).status, 0);
    // Snapshot names carry the frame's index in the file, also after --start.
    const std::string later = Scratch("shots-later");
    const CliResult fromTwo = RunCli({"run", ClipPath(), "--areas", clipAreas, "--snapshots", later, "--start", "2", "-q"});
    ASSERT_EQ(fromTwo.status, 0) << fromTwo.err;
    const std::vector<std::string> rows = Lines(fromTwo.out);
    ASSERT_GE(rows.size(), 2u);
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06d.png", 50 + std::stoi(rows[1]));
    EXPECT_TRUE(fs::exists(fs::path(later) / name)) << name;
}

TEST(Hostile, OptionAndFileGaps) {
    const std::string areas = Areas("gap-opt.json", ClipAreasJson());
    const struct {
        std::vector<std::string> args;
        std::string first;
    } usage[] = {
        {{"demo", "--threshold", "nan"}, "tarvocoil: --threshold: expected a number within [0, 1000], got 'nan'"},
        {{"run", "x.mp4", "--areas", areas, "--start", "0x10"}, "tarvocoil: --start: expected a number of seconds, got '0x10'"},
        {{"run", "x.mp4", "--areas", areas, "--events", ""}, "tarvocoil: --events: expected a file name, got ''"},
        {{"run", "x.mp4", "--areas", areas, "--review", ""}, "tarvocoil: --review: expected a file name, got ''"},
        {{"run", "x.mp4", "--areas", areas, "--snapshots", ""}, "tarvocoil: --snapshots: expected a file name, got ''"},
    };
    for (const auto& c : usage) {
        const CliResult r = RunCli(c.args);
        EXPECT_EQ(r.status, 2) << c.first;
        EXPECT_EQ(Lines(r.err).at(0), c.first);
    }
    // frame --out by extension: JPEG, PNG, or refused before decoding.
    const std::string jpg = Scratch("frame.jpg");
    ASSERT_EQ(RunCli({"frame", ClipPath(), "--at", "1", "--out", jpg}).status, 0);
    EXPECT_EQ(ReadFile(jpg).substr(0, 3), "\xFF\xD8\xFF");
    const CliResult gif = RunCli({"frame", ClipPath(), "--at", "1", "--out", Scratch("frame.gif")});
    EXPECT_EQ(gif.status, 1);
    EXPECT_NE(gif.err.find("unknown picture format"), std::string::npos);
    // The areas file from standard input.
    const CliResult piped = RunCli({"run", ClipPath(), "--areas", "-", "-q"}, areas);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, RunCli({"run", ClipPath(), "--areas", areas, "-q"}).out);
    // The video from standard input.
    const CliResult video = RunCli({"run", "-", "--areas", areas, "-q"}, ClipPath());
    EXPECT_EQ(video.status, 0) << video.err;
    EXPECT_EQ(video.out, piped.out);
}

// A FIFO, a device or a directory named as an areas or truth file is
// refused at once, without waiting on it; a regular file past the size
// limit is not read to its end.
TEST(Hostile, AreasAndTruthFilesMustBeRegularFiles) {
    const std::string areas = Areas("regular.json", ClipAreasJson());
    const std::string truth = Scratch("regular-truth.csv");
    WriteFile(truth, "frame,area\n5,0\n");
    const std::string fifo = MakeFifo("input.fifo");
    const std::string sparse = Scratch("sparse.json");
    WriteFile(sparse, "");
    ASSERT_EQ(truncate(sparse.c_str(), (off_t{64} << 20) + 1), 0);
    const std::string fifoText = "it is a FIFO (named pipe), not a regular file";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"run", ClipPath(), "--areas", fifo}, "cannot read areas file '" + fifo + "': " + fifoText},
        {{"run", ClipPath(), "--areas", "/dev/zero"},
         "cannot read areas file '/dev/zero': it is a character device, not a regular file"},
        {{"run", ClipPath(), "--areas", Scratch("")}, "cannot read areas file '" + Scratch("") + "': it is a directory"},
        {{"run", ClipPath(), "--areas", sparse}, "areas file '" + sparse + "' is larger than 64 MiB; refusing to read it"},
        {{"tune", ClipPath(), "--areas", fifo, "--truth", truth}, "cannot read areas file '" + fifo + "': " + fifoText},
        {{"tune", ClipPath(), "--areas", areas, "--truth", fifo}, "cannot read truth file '" + fifo + "': " + fifoText},
        {{"edit", ClipPath(), "--areas", fifo, "--port", "0"}, "cannot read areas file '" + fifo + "': " + fifoText},
        {{"edit", ClipPath(), "--areas", areas, "--truth", fifo, "--port", "0"},
         "cannot read truth file '" + fifo + "': " + fifoText},
    };
    for (const auto& c : cases) {
        const FifoRelease release(fifo, 10);
        const std::string out = Scratch("fifo.out"), err = Scratch("fifo.err");
        const int status = WaitCli(StartCli(c.args, out, err), 30);
        EXPECT_FALSE(release.released()) << c.args[0] << " waited on the FIFO";
        EXPECT_EQ(status, 1) << c.message;
        EXPECT_EQ(ReadFile(err), "tarvocoil: " + c.message + "\n");
        EXPECT_EQ(ReadFile(out), "");  // the editor printed no address
    }
}

TEST(Hostile, ProgressTotalsAreMarkedAsGuessesAndFontGapsAreSaid) {
    using tarvotool::Progress;
    EXPECT_EQ(Progress::Line(50, 100, true, 1.0).substr(33), "50/~100 frames  50.0 fps  ETA ~0:01");
    EXPECT_EQ(Progress::Line(50, 100, false, 1.0).substr(33), "50/100 frames  50.0 fps  ETA 0:01");
    // A guess that proved short, and no total at all: no bar.
    EXPECT_EQ(Progress::Line(150, 100, true, 1.0), "150 frames  150.0 fps");
    EXPECT_EQ(Progress::Line(7, -1, false, 0.0), "7 frames  0.0 fps  up 0:00:00");
    EXPECT_EQ(Progress::Line(90000, -1, false, 3725.4), "90000 frames  24.2 fps  up 1:02:05");  // a live stream

    const std::string areas = Areas("names.json", R"([{"name": "Лава", "vertices": [[20, 30], [60, 30], [60, 70], [20, 70]]},
                                                      {"name": "東口", "vertices": [[95, 30], [135, 32], [133, 70], [95, 68]]}])");
    const CliResult r = RunCli({"frame", ClipPath(), "--at", "1", "--areas", areas, "--out", Scratch("names.png")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "tarvocoil: warning: area 1's name has characters beyond Latin, Greek and Cyrillic; the pictures' "
                     "font shows them as boxes\n");
}

// On a terminal, events on stdout and the progress line on stderr share the
// screen: each event starts on a cleared line, never glued to the bar.
TEST(Hostile, EventsOnATerminalAreNotGluedToTheProgressLine) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const std::string areas = Areas("tty-areas.json", ClipAreasJson());
    const int pid = StartCli({"run", ClipPath(), "--areas", areas}, slave, slave);
    std::string screen;
    char buf[4096];
    for (;;) {  // the read fails (EIO) once the child has closed the terminal
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        screen.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(WaitCli(pid, 30), 0);
    close(master);
    ASSERT_NE(screen.find(" frames "), std::string::npos) << "a progress line was drawn";
    // Text after the last erase-line escape of a screen line (the CSV
    // header, an event) must follow a cleared line ("\r\033[K"), not the
    // end of a drawn bar ("<bar>\033[K").
    std::size_t events = 0;
    for (std::string piece : Lines(screen)) {
        if (!piece.empty() && piece.back() == '\r') piece.pop_back();
        const std::size_t erase = piece.rfind("\x1b[K");
        const std::string text = erase == std::string::npos ? piece : piece.substr(erase + 3);
        if (text.empty() || text.rfind("tarvocoil: ", 0) == 0) continue;
        ++events;
        if (erase != std::string::npos) {
            EXPECT_TRUE(erase >= 1 && piece[erase - 1] == '\r') << "glued to the progress line: " << piece;
        }
    }
    EXPECT_GT(events, 0u);
}
