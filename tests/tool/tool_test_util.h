// tool_test_util.h - running the tarvocoil program, and the clips it runs on.
#ifndef TARVOCOIL_TESTS_TOOL_UTIL_H
#define TARVOCOIL_TESTS_TOOL_UTIL_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/areas_file.h"
#include "host/canvas.h"
#include "tests/tool/test_paths.h"

namespace tooltest {

// Asks `ready` every `step` until it says yes or `limit` has passed; its
// last answer.
template <typename Pred>
bool WaitUntil(Pred ready, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(200)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (ready()) return true;
        std::this_thread::sleep_for(step);
    }
    return ready();
}

struct CliResult {
    int status = -1;  // exit status, or 128 + signal when killed
    std::string out;
    std::string err;
};

// Runs the built tarvocoil with these arguments (stdin empty, or the
// file stdinPath).
CliResult RunCli(const std::vector<std::string>& args, const std::string& stdinPath = "");

// Starts the built tarvocoil without waiting; stdout and stderr go to
// outPath and errPath. Returns the process id.
int StartCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath);
// Waits at most `seconds` for the process, then kills it; the exit status
// (128 + signal when killed).
int WaitCli(int pid, double seconds);

// Runs the ffmpeg program quietly with these arguments; true on success.
bool Ffmpeg(const std::vector<std::string>& args);

// A folder of its own for each test process, removed at exit.
std::string Scratch(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// A small noisy clip: blocks drive through the three areas of ClipAreas().
// Odd width, so that every row carries padding in the detector's layout.
constexpr int kClipWidth = 157;
constexpr int kClipHeight = 120;
constexpr int kClipFrames = 120;  // 4.8 s at 25 fps
std::vector<tarvotool::BgrImage> MakeClip();
const char* ClipAreasJson();

// The clip encoded without loss (FFV1 in Matroska), made once per process.
const std::string& ClipPath();

void WriteVideo(const std::string& path, const std::vector<tarvotool::BgrImage>& frames,
                const std::string& codec);
std::vector<tarvotool::BgrImage> DecodeAll(const std::string& path, std::vector<double>* times = nullptr);

// Triggers of an in-memory run over frames [first, first + count): pairs of
// (index counted from `first`, area).
std::vector<std::pair<int, int>> InMemoryTriggers(const tarvotool::AreasConfig& areas,
                                                  const std::vector<tarvotool::BgrImage>& frames, int first,
                                                  int count);

std::vector<std::string> Lines(const std::string& text);

// A FIFO (named pipe) in the scratch folder, made afresh.
std::string MakeFifo(const std::string& name);

// While it lives, from `seconds` on, opens and closes the FIFO's writing
// end over and over, so that code wrongly blocked on reading it gets an
// end of file: the test then fails instead of hanging.
class FifoRelease {
public:
    FifoRelease(std::string path, double seconds);
    ~FifoRelease();
    FifoRelease(const FifoRelease&) = delete;
    FifoRelease& operator=(const FifoRelease&) = delete;
    // True once a reader was found blocked on the FIFO.
    bool released() const { return released_; }

private:
    std::atomic<bool> done_{false}, released_{false};
    std::thread thread_;
};

}  // namespace tooltest

#endif
