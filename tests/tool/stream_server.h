// stream_server.h - a live MPEG-TS stream over HTTP on 127.0.0.1, served by
// the ffmpeg program from a clip in a loop at its own pace, that a test can
// kill, pause and start again on the same port.
#ifndef TARVOCOIL_TESTS_STREAM_SERVER_H
#define TARVOCOIL_TESTS_STREAM_SERVER_H

#include <sys/types.h>

#include <string>

namespace tooltest {

class StreamServer {
public:
    // clip: any file ffmpeg reads; it is re-encoded to MPEG-2 video in TS.
    // noise > 0: about one byte in `noise` of each video packet is
    // damaged, so that the client's decoder reports errors.
    explicit StreamServer(const std::string& clip, int noise = 0);
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Starts ffmpeg and waits (bounded) until it listens. It serves one
    // client, then exits.
    void start();
    // SIGKILL: the client sees the stream end.
    void kill();
    // SIGSTOP / SIGCONT: the client sees the stream stall.
    void pause();
    void resume();
    std::string url() const;

private:
    std::string clip_;
    int noise_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace tooltest

#endif
