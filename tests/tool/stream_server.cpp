// stream_server.cpp - ffmpeg as a one-client HTTP stream server.
#include "tests/tool/stream_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>


extern char** environ;

namespace tooltest {

namespace {

// Whether something listens on the port, found without connecting (a
// connection would be the one client ffmpeg serves): /proc/net/tcp lists
// listening sockets with state 0A. A client that reconnects quickly may
// have been accepted between two looks (ffmpeg then no longer listens):
// an established connection on the port (01) counts as well.
bool Listening(int port) {
    std::FILE* f = std::fopen("/proc/net/tcp", "r");
    if (!f) return false;
    char line[512];
    bool found = false;
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (std::fgets(line, sizeof line, f)) {
        unsigned local = 0, localPort = 0, state = 0;
        if (std::sscanf(line, " %*d: %8X:%4X %*8X:%*4X %2X", &local, &localPort, &state) == 3 &&
            static_cast<int>(localPort) == port && (state == 0x0A || state == 0x01)) {
            found = true;
            break;
        }
    }
    std::fclose(f);
    return found;
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind failed");
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

StreamServer::StreamServer(const std::string& clip, int noise) : clip_(clip), noise_(noise), port_(FreePort()) {}

StreamServer::~StreamServer() { kill(); }

std::string StreamServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/live.ts"; }

void StreamServer::start() {
    if (pid_ > 0) return;
    std::vector<std::string> args{"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re",
                                  "-stream_loop", "-1", "-i", clip_, "-an", "-vf", "scale=trunc(iw/2)*2:trunc(ih/2)*2",
                                  "-c:v", "mpeg2video", "-q:v", "2",
                                  "-g", "5"};
    if (noise_ > 0) {
        args.push_back("-bsf:v");
        args.push_back("noise=amount=" + std::to_string(noise_));
    }
    for (const char* a : {"-f", "mpegts", "-listen", "1"}) args.push_back(a);
    args.push_back(url());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&pid_, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start ffmpeg");
    }
    for (int i = 0; i < 200; ++i) {  // up to 10 s
        if (Listening(port_)) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("ffmpeg exited before serving " + url());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("ffmpeg does not listen on " + url());
}

void StreamServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

void StreamServer::pause() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void StreamServer::resume() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

}  // namespace tooltest
