// delivery.cpp - the sinks' queues and threads.
#include "tools/events/delivery.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "host/errors.h"

namespace tarvotool {

using Clock = std::chrono::steady_clock;

Sink::Sink(std::string label, std::size_t capacity, WarnFn warn)
    : label_(std::move(label)), capacity_(std::max<std::size_t>(1, capacity)), warn_(std::move(warn)) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) throw ToolError(label_ + ": cannot create an eventfd");
}

Sink::~Sink() {
    // A derived class has joined already; this is for a sink never started.
    if (thread_.joinable()) {
        finish(Clock::now());
        thread_.join();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
}

void Sink::start() {
    thread_ = std::thread([this] {
        run();
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        cv_.notify_all();
    });
}

void Sink::stopThread() {
    if (!thread_.joinable()) return;
    if (!finishing_) finish(Clock::now());
    thread_.join();
}

void Sink::wake() {
    cv_.notify_all();
    const uint64_t one = 1;
    // A full counter already wakes the reader; nothing to do on EAGAIN.
    if (write(wakeFd_, &one, sizeof one) < 0) {
    }
}

void Sink::drainWakeFd() {
    uint64_t value = 0;
    if (read(wakeFd_, &value, sizeof value) < 0) {
    }
}

void Sink::push(QueuedEvent e) {
    std::string note;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.size() >= capacity_) {
            queue_.pop_front();
            ++front_;
            ++dropped_;
            while (!queue_.empty() && queue_.front().state != Entry::Waiting) {
                queue_.pop_front();
                ++front_;
            }
            // The first drop at once, then a running count at most every 10 s.
            const auto now = Clock::now();
            if (droppedWarned_ == 0 || now - lastDropWarning_ >= std::chrono::seconds(10)) {
                note = label_ + ": queue full (" + std::to_string(capacity_) + " events), dropping the oldest; " +
                       std::to_string(dropped_) + " dropped so far";
                droppedWarned_ = dropped_;
                lastDropWarning_ = now;
            }
        }
        queue_.push_back(Entry{std::move(e), Entry::Waiting});
    }
    wake();
    if (!note.empty()) warn(note);
}

void Sink::finish(Clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        deadline_ = deadline;
        finishing_ = true;
    }
    wake();
}

bool Sink::joinBy(Clock::time_point until) {
    if (!thread_.joinable()) return true;
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_until(lock, until, [&] { return ended_; })) {
            thread_.detach();
            return false;
        }
    }
    thread_.join();
    return true;
}

SinkStats Sink::stats() const {
    std::lock_guard<std::mutex> lock(mu_);
    SinkStats s;
    s.label = label_;
    s.delivered = delivered_;
    s.dropped = dropped_;
    s.rejected = rejected_;
    for (const Entry& e : queue_)
        if (e.state == Entry::Waiting) ++s.undelivered;
    s.lastFailure = lastFailure_;
    s.fatal = fatal_;
    return s;
}

void Sink::noteFailure(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu_);
    lastFailure_ = why;
}

void Sink::giveUp(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        fatal_ = why;
        lastFailure_ = why;
    }
    gaveUp_ = true;
}

uint64_t Sink::frontSeq() const {
    std::lock_guard<std::mutex> lock(mu_);
    return front_;
}

uint64_t Sink::endSeq() const {
    std::lock_guard<std::mutex> lock(mu_);
    return front_ + queue_.size();
}

bool Sink::get(uint64_t seq, QueuedEvent& out) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (seq < front_ || seq - front_ >= queue_.size()) return false;
    out = queue_[seq - front_].event;
    return true;
}

void Sink::settle(uint64_t seq, Entry::State state) {
    std::lock_guard<std::mutex> lock(mu_);
    if (seq < front_ || seq - front_ >= queue_.size()) return;  // dropped meanwhile
    Entry& e = queue_[seq - front_];
    if (e.state != Entry::Waiting) return;
    e.state = state;
    ++(state == Entry::Delivered ? delivered_ : rejected_);
    while (!queue_.empty() && queue_.front().state != Entry::Waiting) {
        queue_.pop_front();
        ++front_;
    }
    if (queue_.empty()) cv_.notify_all();
}

void Sink::confirm(uint64_t seq) { settle(seq, Entry::Delivered); }
void Sink::reject(uint64_t seq) { settle(seq, Entry::Rejected); }

bool Sink::shouldEnd() const {
    std::lock_guard<std::mutex> lock(mu_);
    return finishing_ && (queue_.empty() || Clock::now() >= deadline_);
}

bool Sink::waitFor(uint64_t seq, Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ready = [&] { return front_ + queue_.size() > seq; };
    auto end = [&] { return finishing_ && (queue_.empty() || Clock::now() >= deadline_); };
    while (!ready() && !end()) {
        auto limit = until;
        if (finishing_) limit = std::min(limit, deadline_);
        if (cv_.wait_until(lock, limit) == std::cv_status::timeout && Clock::now() >= until) break;
    }
    return ready() && !end();
}

bool Sink::sleepUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mu_);
    auto end = [&] { return finishing_ && (queue_.empty() || Clock::now() >= deadline_); };
    while (!end()) {
        auto limit = until;
        if (finishing_) limit = std::min(limit, deadline_);
        if (cv_.wait_until(lock, limit) == std::cv_status::timeout && Clock::now() >= until) return !end();
    }
    return false;
}

void Sink::warn(const std::string& message) const {
    if (warn_)
        warn_(message);
    else
        Warn(message);
}

std::chrono::milliseconds Backoff::next() {
    const auto d = next_;
    next_ = std::min(max_, next_ * 2);
    return d;
}

Delivery::Delivery(WarnFn warn) : warn_(std::move(warn)) {}

Delivery::~Delivery() { close(std::chrono::milliseconds(0)); }

void Delivery::add(std::unique_ptr<Sink> sink) {
    sink->start();
    sinks_.push_back(std::move(sink));
}

void Delivery::deliver(const SerializedEvent& e) {
    if (closed_ || sinks_.empty()) return;
    QueuedEvent q;
    q.id = e.id();
    q.json = e.sharedJson();
    q.queuedAt = Clock::now();
    for (auto& s : sinks_) s->push(q);
}

std::vector<SinkStats> Delivery::stats() const {
    if (closed_) return final_;
    std::vector<SinkStats> all;
    for (const auto& s : sinks_)
        if (s) all.push_back(s->stats());
    return all;
}

std::string Delivery::fatal() const {
    for (const auto& s : sinks_)
        if (s && s->gaveUp()) return s->label() + ": " + s->stats().fatal;
    for (const SinkStats& s : final_)
        if (!s.fatal.empty()) return s.label + ": " + s.fatal;
    return "";
}

std::vector<SinkStats> Delivery::close(std::chrono::milliseconds flush) {
    if (closed_) return final_;
    closed_ = true;
    const auto deadline = Clock::now() + flush;
    for (auto& s : sinks_) s->finish(deadline);
    for (auto& s : sinks_) {
        const bool joined = s->joinBy(deadline + std::chrono::seconds(2));
        final_.push_back(s->stats());
        if (!joined) {
            const std::string note = s->label() + ": still waiting for the network; left behind";
            if (warn_)
                warn_(note);
            else
                Warn(note);
            s.release();  // the detached thread still uses it
        }
    }
    return final_;
}

std::string DescribeSinkStats(const SinkStats& s) {
    std::string text = s.label + ": " + std::to_string(s.delivered) + " delivered";
    if (s.dropped) text += ", " + std::to_string(s.dropped) + " dropped (queue full)";
    if (s.rejected) text += ", " + std::to_string(s.rejected) + " rejected";
    if (s.undelivered) text += ", " + std::to_string(s.undelivered) + " undelivered";
    return text;
}

}  // namespace tarvotool
