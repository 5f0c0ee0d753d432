// tool_test_util.cpp - helpers of the tool tests.
#include "tests/tool/tool_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools/media/picture_file.h"
#include "tools/media/text_painter.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_writer.h"
#include "tarvocoil.hpp"

extern char** environ;

namespace tooltest {

namespace fs = std::filesystem;

namespace {

struct ScratchRoot {
    fs::path path;
    ScratchRoot() {
        path = fs::temp_directory_path() / ("tarvocoil-tool-test-" + std::to_string(getpid()));
        fs::create_directories(path);
    }
    ~ScratchRoot() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

ScratchRoot& Root() {
    static ScratchRoot root;
    return root;
}

}  // namespace

std::string Scratch(const std::string& name) { return (Root().path / name).string(); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& in, const std::string& out,
            const std::string& err) {
    std::vector<std::string> argvStore = args;
    std::vector<char*> argv;
    for (std::string& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argvStore[0]);
    return pid;
}

int Status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

std::vector<std::string> CliArgs(const std::vector<std::string>& args) {
    std::vector<std::string> all{kCliPath};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

}  // namespace

CliResult RunCli(const std::vector<std::string>& args, const std::string& stdinPath) {
    static int counter = 0;
    const std::string base = Scratch("cli" + std::to_string(counter++));
    const std::string outPath = base + ".out", errPath = base + ".err";
    const pid_t pid = Spawn(CliArgs(args), stdinPath.empty() ? "/dev/null" : stdinPath, outPath, errPath);
    int status = 0;
    waitpid(pid, &status, 0);
    CliResult r;
    r.status = Status(status);
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

int StartCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath) {
    return Spawn(CliArgs(args), "/dev/null", outPath, errPath);
}

int WaitCli(int pid, double seconds) {
    int status = 0;
    for (int i = 0; i < static_cast<int>(seconds * 100); ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return Status(status);
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return Status(status);
}

bool Ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> all{"ffmpeg", "-nostdin", "-loglevel", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string log = Scratch("ffmpeg.log");
    const pid_t pid = Spawn(all, "/dev/null", log, log);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<tarvotool::BgrImage> MakeClip() {
    std::vector<tarvotool::BgrImage> frames(kClipFrames);
    uint32_t seed = 12345;
    auto noise = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int>((seed >> 24) % 7) - 3;
    };
    for (int f = 0; f < kClipFrames; ++f) {
        tarvotool::BgrImage& img = frames[f];
        img.resize(kClipWidth, kClipHeight);
        // A block drives left to right through areas 0 and 1, twice; another
        // drives down through area 2 once.
        const int ax = -30 + (f % 60) * 4, ay = 35;
        const int by = -40 + (f > 30 ? (f - 30) * 3 : 0), bx = 65;
        for (int y = 0; y < kClipHeight; ++y) {
            uint8_t* row = img.row(y);
            for (int x = 0; x < kClipWidth; ++x) {
                int b = 90 + x / 4, g = 100 + y / 4, r = 110;
                if (x >= ax && x < ax + 25 && y >= ay && y < ay + 30) b = 230, g = 40, r = 30;
                if (x >= bx && x < bx + 30 && y >= by && y < by + 25) b = 20, g = 20, r = 20;
                row[x * 3 + 0] = static_cast<uint8_t>(std::clamp(b + noise(), 0, 255));
                row[x * 3 + 1] = static_cast<uint8_t>(std::clamp(g + noise(), 0, 255));
                row[x * 3 + 2] = static_cast<uint8_t>(std::clamp(r + noise(), 0, 255));
            }
        }
    }
    return frames;
}

const char* ClipAreasJson() {
    return R"({
  "areas": [
    {"name": "left, \"A\"", "vertices": [[20, 30], [60, 30], [60, 70], [20, 70]], "threshold": 0.1},
    {"name": "right", "vertices": [[95, 30], [135, 32], [133, 70], [95, 68]], "threshold": 0.1},
    {"name": "bottom", "vertices": [[60, 80], [100, 80], [100, 110], [60, 110]], "threshold": 0.1}
  ]
}
)";
}

void WriteVideo(const std::string& path, const std::vector<tarvotool::BgrImage>& frames, const std::string& codec) {
    tarvotool::VideoWriter w(path, frames.at(0).width, frames.at(0).height, 25, 1, codec);
    for (const auto& f : frames) w.write(f);
    w.finish();
}

const std::string& ClipPath() {
    static const std::string path = [] {
        const std::string p = Scratch("clip.mkv");
        WriteVideo(p, MakeClip(), "ffv1");
        return p;
    }();
    return path;
}

std::vector<tarvotool::BgrImage> DecodeAll(const std::string& path, std::vector<double>* times) {
    tarvotool::VideoReader reader(path);
    std::vector<tarvotool::BgrImage> out;
    tarvotool::VideoFrame f;
    while (reader.next(f)) {
        out.emplace_back();
        out.back().assign(f.picture);
        if (times) times->push_back(f.time);
    }
    return out;
}

std::vector<std::pair<int, int>> InMemoryTriggers(const tarvotool::AreasConfig& areas,
                                                  const std::vector<tarvotool::BgrImage>& frames, int first,
                                                  int count) {
    tarvocoil::Detector det;
    tarvotool::ApplyAreas(det, areas);
    std::vector<int32_t> flags(areas.areas.size());
    std::vector<std::pair<int, int>> out;
    for (int i = 0; i < count; ++i) {
        const tarvotool::BgrImage& f = frames.at(first + i);
        std::fill(flags.begin(), flags.end(), 0);
        det.process(f.data.data(), f.width, f.height, 3, flags.data());
        for (std::size_t a = 0; a < flags.size(); ++a)
            if (flags[a]) out.emplace_back(i, static_cast<int>(a));
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string MakeFifo(const std::string& name) {
    const std::string path = Scratch(name);
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("cannot make FIFO " + path);
    return path;
}

FifoRelease::FifoRelease(std::string path, double seconds)
    : thread_([this, path = std::move(path), seconds] {
          const auto start = std::chrono::steady_clock::now();
          while (!done_) {
              std::this_thread::sleep_for(std::chrono::milliseconds(50));
              if (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) continue;
              // Without a reader this fails at once (ENXIO) instead of waiting.
              const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
              if (fd < 0) continue;
              released_ = true;
              close(fd);
          }
      }) {}

FifoRelease::~FifoRelease() {
    done_ = true;
    thread_.join();
}

}  // namespace tooltest
