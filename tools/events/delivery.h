// delivery.h - events to their remote receivers, off the frame loop.
//
// The frame loop hands each event to a Delivery; every sink (MQTT broker,
// webhook, ...) keeps its own bounded queue and runs on its own thread, so a
// slow or absent receiver delays neither the loop nor the other sinks. When a
// queue is full the oldest event in it is dropped and counted: the newest
// events matter most on a live camera, and memory stays bounded however long
// a receiver stays away.
#ifndef TARVOCOIL_TOOLS_EVENTS_DELIVERY_H
#define TARVOCOIL_TOOLS_EVENTS_DELIVERY_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/event_json.h"

namespace tarvotool {

constexpr std::size_t kDefaultQueueEvents = 10000;

// Messages from sink threads ("broker lost", "queue full"). Called from any
// thread, one call per line; must be thread-safe.
using WarnFn = std::function<void(const std::string&)>;

struct QueuedEvent {
    uint64_t id = 0;
    std::shared_ptr<const std::string> json;         // shared by every sink
    std::chrono::steady_clock::time_point queuedAt;  // when the loop handed it over
};

struct SinkStats {
    std::string label;         // the receiver, without credentials
    uint64_t delivered = 0;    // acknowledged by the receiver
    uint64_t dropped = 0;      // pushed out of a full queue
    uint64_t rejected = 0;     // refused by the receiver for good (not retried)
    uint64_t undelivered = 0;  // still queued when delivery stopped
    // Why the last attempt failed ("the receiver answered HTTP 500"); empty
    // after a success.
    std::string lastFailure;
    // Why the sink gave up for good (the run must not go on as if its events
    // were delivered); empty while it goes on.
    std::string fatal;
};

// One receiver: a bounded queue of events and the thread that sends them.
// A derived class implements run() with the helpers below and calls
// stopThread() in its destructor.
class Sink {
public:
    Sink(std::string label, std::size_t capacity, WarnFn warn);
    virtual ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    const std::string& label() const { return label_; }
    void start();
    // Whether the sink gave up for good (SinkStats::fatal says why).
    bool gaveUp() const { return gaveUp_.load(); }
    // Never waits for the network: at most for the queue's lock.
    void push(QueuedEvent e);
    // From now on the thread sends what is queued and ends when the queue is
    // empty or at `deadline`, whichever comes first.
    void finish(std::chrono::steady_clock::time_point deadline);
    // Joins the thread (after finish()) if it ends by `until`; otherwise
    // detaches it and returns false: a connect or name lookup that blocks
    // in the network layer must not hold up the end of the program. The
    // sink must then outlive the thread (the caller leaks it).
    bool joinBy(std::chrono::steady_clock::time_point until);
    SinkStats stats() const;

protected:
    virtual void run() = 0;

    // Entries carry consecutive sequence numbers; the oldest queued entry
    // has frontSeq(), the next to be queued endSeq().
    uint64_t frontSeq() const;
    uint64_t endSeq() const;
    // The entry with this sequence number, unless it was dropped or is not
    // queued yet.
    bool get(uint64_t seq, QueuedEvent& out) const;
    // The receiver has it / refused it for good. Entries leave the queue in
    // order, once every older one has left.
    void confirm(uint64_t seq);
    void reject(uint64_t seq);
    // Waits until an entry at or after `seq` is queued, the thread should
    // end, or `until`; true when such an entry is there.
    bool waitFor(uint64_t seq, std::chrono::steady_clock::time_point until);
    // Sleeps until `until` unless the thread should end first; false then.
    bool sleepUntil(std::chrono::steady_clock::time_point until);
    // True when the thread should end now: finishing and either the queue
    // is empty or the deadline has passed.
    bool shouldEnd() const;
    bool finishing() const { return finishing_.load(); }
    // Becomes readable whenever an event is queued or finish() is called
    // (for sinks that wait in poll()); drain with drainWakeFd().
    int wakeFd() const { return wakeFd_; }
    void drainWakeFd();
    void warn(const std::string& message) const;
    // Records why the last attempt failed, or that it succeeded (empty).
    void noteFailure(const std::string& why);
    // The sink stops for good; run() returns after calling it.
    void giveUp(const std::string& why);
    void stopThread();

private:
    struct Entry {
        QueuedEvent event;
        enum State : uint8_t { Waiting, Delivered, Rejected } state = Waiting;
    };
    void settle(uint64_t seq, Entry::State state);
    void wake();

    const std::string label_;
    const std::size_t capacity_;
    WarnFn warn_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    uint64_t front_ = 0;  // sequence number of queue_.front()
    uint64_t delivered_ = 0, dropped_ = 0, rejected_ = 0;
    uint64_t droppedWarned_ = 0;
    std::string lastFailure_, fatal_;
    std::atomic<bool> gaveUp_{false};
    std::chrono::steady_clock::time_point lastDropWarning_{};
    std::atomic<bool> finishing_{false};
    bool ended_ = false;  // run() has returned
    std::chrono::steady_clock::time_point deadline_{};
    int wakeFd_ = -1;
    std::thread thread_;
};

// Exponential backoff: first, 2 x first, ... up to max; reset() after a
// success.
class Backoff {
public:
    Backoff(std::chrono::milliseconds first, std::chrono::milliseconds max) : first_(first), max_(max), next_(first) {}
    std::chrono::milliseconds next();
    void reset() { next_ = first_; }

private:
    std::chrono::milliseconds first_, max_, next_;
};

// Every sink of a run.
class Delivery {
public:
    explicit Delivery(WarnFn warn = nullptr);
    ~Delivery();
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    // Starts the sink's thread.
    void add(std::unique_ptr<Sink> sink);
    bool empty() const { return sinks_.empty(); }

    // Queues the event's text for every sink (shared, not copied).
    void deliver(const SerializedEvent& e);

    // Counts so far, sink by sink in the order they were added.
    std::vector<SinkStats> stats() const;
    // "LABEL: why" of the first sink that gave up for good; empty while none
    // did. Cheap enough to ask on every frame.
    std::string fatal() const;

    // Lets every sink send what it has for up to `flush`, then stops them.
    // Later calls return the same counts.
    std::vector<SinkStats> close(std::chrono::milliseconds flush);

private:
    WarnFn warn_;
    std::vector<std::unique_ptr<Sink>> sinks_;
    std::vector<SinkStats> final_;
    bool closed_ = false;
};

// "LABEL: 12 delivered, 3 dropped (queue full), 1 rejected, 2 undelivered",
// leaving out the zero counts after "delivered".
std::string DescribeSinkStats(const SinkStats& s);

}  // namespace tarvotool

#endif
