// live_source_test.cpp - reconnecting, baselines and stream events of the
// live source, on scripted connections.
#include <gtest/gtest.h>

#include <csignal>
#include <deque>

#include "tools/live/live_source.h"

using namespace tarvotool;
using namespace std::chrono_literals;

namespace {

struct Script {
    std::vector<std::pair<int, int>> sizes;  // one frame each
    std::string end = "end of stream";
};

class ScriptedConnection : public LiveConnection {
public:
    explicit ScriptedConnection(Script s) : s_(std::move(s)) {}
    bool next(SourceFrame& out, std::string& why) override {
        if (i_ >= s_.sizes.size()) {
            why = s_.end;
            return false;
        }
        pixels_.assign(static_cast<std::size_t>(s_.sizes[i_].first) * 3 * s_.sizes[i_].second, 0);
        out.picture = {pixels_.data(), s_.sizes[i_].first, s_.sizes[i_].second, s_.sizes[i_].first * 3};
        out.time = 0.04 * static_cast<double>(i_);
        ++i_;
        return true;
    }

private:
    Script s_;
    std::size_t i_ = 0;
    std::vector<uint8_t> pixels_;
};

// Each attempt either fails (nullopt) or opens a scripted connection.
struct Opener {
    std::deque<std::optional<Script>> attempts;
    int calls = 0;
    std::unique_ptr<LiveConnection> operator()(std::string& why) {
        ++calls;
        if (attempts.empty() || !attempts.front()) {
            if (!attempts.empty()) attempts.pop_front();
            why = "Connection refused";
            return nullptr;
        }
        Script s = *attempts.front();
        attempts.pop_front();
        return std::make_unique<ScriptedConnection>(s);
    }
};

struct Log : LiveListener {
    std::vector<std::string> lines;
    void streamLost(std::optional<int64_t> i, std::optional<double>, const std::string& why) override {
        lines.push_back("lost after " + (i ? std::to_string(*i) : std::string("-")) + ": " + why);
    }
    void streamRestored(int64_t i, double gap) override {
        lines.push_back("restored at " + std::to_string(i) + (gap >= 0 ? "" : " negative gap"));
    }
    void retrying(int attempt, std::chrono::milliseconds d, const std::string&) override {
        lines.push_back("retry " + std::to_string(attempt) + " in " + std::to_string(d.count()) + " ms");
    }
};

LiveOptions Fast(int maxRetries) {
    LiveOptions o;
    o.maxRetries = maxRetries;
    o.retryFirst = 1ms;
    o.retryMax = 4ms;
    return o;
}

// As the frame loop does: the baseline request cleared before each call.
// With a log, the requests go into it in order with the other lines.
int Drain(LiveSource& src, Log* log = nullptr) {
    SourceFrame f;
    int n = 0;
    for (;;) {
        f.newBaseline = BaselineCause::None;
        f.baselineNote.clear();
        if (!src.next(f)) break;
        if (log && f.newBaseline != BaselineCause::None)
            log->lines.push_back("baseline at " + std::to_string(n) + " (" + BaselineCauseText(f.newBaseline) +
                                 "): " + f.baselineNote);
        ++n;
    }
    return n;
}

}  // namespace

TEST(LiveSource, ReconnectsKeepsCountingAndTakesNewBaselines) {
    Opener open;
    open.attempts = {std::nullopt, std::nullopt, Script{{{4, 4}, {4, 4}, {6, 4}}, "no frame for 10 s"},
                     Script{{}, "end of stream"},  // opens, but no frame: still the same outage
                     std::nullopt, Script{{{8, 4}}}};
    Log log;
    LiveSource src(std::make_unique<ScriptedConnection>(Script{{{4, 4}, {4, 4}, {4, 4}}}), std::ref(open), Fast(4),
                   log);
    EXPECT_EQ(Drain(src, &log), 7);
    EXPECT_EQ(src.handedOut(), 7);
    EXPECT_EQ(src.reconnections(), 2);
    const std::vector<std::string> want = {
        "lost after 2: end of stream",
        "retry 1 in 1 ms",
        "retry 2 in 2 ms",
        "restored at 3",
        "baseline at 3 (reconnect): the stream came back",
        "baseline at 5 (size-change): the picture size changed from 4x4 to 6x4",
        "lost after 5: no frame for 10 s",
        "retry 1 in 1 ms",  // the backoff starts again after frames arrived
        "retry 2 in 2 ms",
        "restored at 6",
        "baseline at 6 (reconnect): the stream came back and the picture size changed from 6x4 to 8x4",
        "lost after 6: end of stream",
        "retry 1 in 1 ms",
        "retry 2 in 2 ms",
        "retry 3 in 4 ms",  // the fourth failure ends it
    };
    EXPECT_EQ(log.lines, want);
    EXPECT_EQ(src.endReason(), "gave up after 4 failed reconnection attempts (Connection refused)");
}

TEST(LiveSource, RetryLimitReconnectOffAndStopEndTheRun) {
    {  // the limit
        Opener open;
        Log log;
        LiveSource src(std::make_unique<ScriptedConnection>(Script{{{4, 4}}}), std::ref(open), Fast(2), log);
        EXPECT_EQ(Drain(src), 1);
        EXPECT_EQ(open.calls, 2);
        EXPECT_TRUE(src.gaveUp());
        EXPECT_EQ(src.endReason(), "gave up after 2 failed reconnection attempts (Connection refused)");
    }
    {  // reconnecting off: the first loss ends the run, and says so
        Opener open;
        Log log;
        LiveOptions o = Fast(-1);
        o.reconnect = false;
        LiveSource src(std::make_unique<ScriptedConnection>(Script{{{4, 4}}, "no frame for 10 s"}), std::ref(open), o,
                       log);
        EXPECT_EQ(Drain(src), 1);
        EXPECT_EQ(open.calls, 0);
        EXPECT_EQ(log.lines, std::vector<std::string>{"lost after 0: no frame for 10 s"});
        EXPECT_EQ(src.endReason(), "no frame for 10 s");
    }
    {  // a first connection without frames is not an outage: no retries
        Opener open;
        Log log;
        LiveSource src(std::make_unique<ScriptedConnection>(Script{{}, "Invalid data"}), std::ref(open), Fast(-1), log);
        EXPECT_EQ(Drain(src), 0);
        EXPECT_EQ(open.calls, 0);
        EXPECT_TRUE(log.lines.empty());
        EXPECT_EQ(src.endReason(), "Invalid data");
    }
    {  // a stop request ends the backoff wait
        Opener open;
        Log log;
        volatile std::sig_atomic_t stop = 0;
        LiveOptions o = Fast(-1);
        o.retryFirst = o.retryMax = 3600s;
        struct StopOnRetry : Log {
            volatile std::sig_atomic_t* stop;
            void retrying(int, std::chrono::milliseconds, const std::string&) override { *stop = 1; }
        } stopper;
        stopper.stop = &stop;
        LiveSource src(std::make_unique<ScriptedConnection>(Script{{{4, 4}}}), std::ref(open), o, stopper, &stop);
        EXPECT_EQ(Drain(src), 1);
        EXPECT_EQ(open.calls, 1);
    }
}

TEST(LiveInput, TellsStreamsFromFiles) {
    for (const char* s : {"rtsp://cam/1", "HTTP://h/x.ts", "udp://@:1234", "srt://h:9000",
                          "rtmp://h/app", "tcp://h:5000", "/dev/video0"})
        EXPECT_TRUE(IsLiveInput(s)) << s;
    for (const char* s : {"road.mp4", "/data/a://b.mkv", "file:///tmp/x.mp4", "://x", "-", "C:/v.mp4", "1x://h"})
        EXPECT_FALSE(IsLiveInput(s)) << s;
}
