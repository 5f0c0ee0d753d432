// edit_http.cpp - the gate in front of cpp-httplib's request handling.
#include "tools/edit/edit_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvotool {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

bool WaitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

void AddressOf(const sockaddr_storage& a, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

std::string PeerAddress(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    std::string ip;
    int port = 0;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) AddressOf(a, ip, port);
    return ip;
}

// An answer written by the gate itself, without waiting: the client is
// one that is not worth a thread.
void QuickReply(int fd, int status, const char* reason, const std::string& message) {
    const std::string body = "{\"error\":\"" + message + "\"}";
    const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                             "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body;
    (void)!::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Closes after the answer has left: the client may still be sending a body
// nobody reads, and closing on unread bytes resets the connection, which
// can destroy the answer on its way. Bounded in time and bytes.
void LingeringClose(int fd) {
    ::shutdown(fd, SHUT_WR);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(500);
    char buf[16384];
    std::size_t drained = 0;
    while (drained < (std::size_t{4} << 20) && WaitFor(fd, POLLIN, MillisecondsUntil(until))) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Where the head ends (after its blank line), or npos.
std::size_t HeadEnd(const std::string& received, std::size_t from) {
    const std::size_t crlf = received.find("\r\n\r\n", from), lf = received.find("\n\n", from);
    return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
}

// The body length a head declares; 0 when it declares none (or sends
// chunks, which the worker reads) or more than `limit` (refused unread).
std::size_t DeclaredLength(const std::string& head, std::size_t limit) {
    std::string lower = head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("\ntransfer-encoding:") != std::string::npos) return 0;
    const std::size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos) return 0;
    const unsigned long long n = std::strtoull(lower.c_str() + at + 16, nullptr, 10);
    return n <= limit ? static_cast<std::size_t>(n) : 0;
}

// A connection whose request the gate has read (the head, and the body or
// its start): cpp-httplib reads those bytes first, then the socket, within
// the per-read timeout and a deadline for the whole body.
class GateStream final : public httplib::Stream {
public:
    GateStream(int fd, std::string received, int readMs, int writeMs, Clock::time_point deadline)
        : fd_(fd), received_(std::move(received)), readMs_(readMs), writeMs_(writeMs), deadline_(deadline) {}

    using httplib::Stream::write;

    bool is_readable() const override { return pos_ < received_.size() || WaitFor(fd_, POLLIN, readWait()); }
    bool is_writable() const override { return WaitFor(fd_, POLLOUT, writeMs_); }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ < received_.size()) {
            const std::size_t n = std::min(size, received_.size() - pos_);
            std::memcpy(ptr, received_.data() + pos_, n);
            pos_ += n;
            return static_cast<ssize_t>(n);
        }
        const int wait = readWait();
        if (wait <= 0 || !WaitFor(fd_, POLLIN, wait)) return -1;
        ssize_t n;
        do n = ::recv(fd_, ptr, size, 0);
        while (n < 0 && errno == EINTR);
        return n;
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t n;
        do n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    int readWait() const { return std::min(readMs_, MillisecondsUntil(deadline_)); }

    template <class Query>
    void address(Query query, std::string& ip, int& port) const {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        ip.clear();
        port = 0;
        if (query(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) AddressOf(a, ip, port);
    }

    int fd_;
    std::string received_;
    std::size_t pos_ = 0;
    int readMs_, writeMs_;
    Clock::time_point deadline_;
};

}  // namespace

// cpp-httplib's task queue for one listen(): its enqueue() is called on the
// accepting thread with a task that hands the connection to admit().
class GatedHttpServer::Gate : public httplib::TaskQueue {
public:
    explicit Gate(GatedHttpServer& server) : server_(server), limits_(server.limits_) {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
        gateThread_ = std::thread([this] { collectRequests(); });
        for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
    }
    ~Gate() override { shutdown(); }

    void enqueue(std::function<void()> fn) override { fn(); }

    void shutdown() override {
        if (shutDown_) return;
        shutDown_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake();
        ready_cv_.notify_all();
        if (gateThread_.joinable()) gateThread_.join();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
        for (const Waiting& w : incoming_) ::close(w.fd);
        for (const Waiting& w : ready_) ::close(w.fd);
        incoming_.clear();
        ready_.clear();
        for (int& fd : wake_)
            if (fd >= 0) ::close(fd), fd = -1;
        if (server_.gate_ == this) server_.gate_ = nullptr;
    }

    void admit(int fd) {
        const std::string address = PeerAddress(fd);
        bool admitted = false, tooMany = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            int& mine = perAddress_[address];
            tooMany = total_ >= limits_.maxConnections || mine >= limits_.maxConnectionsPerAddress;
            admitted = !stopping_ && !tooMany;
            if (admitted) {
                ++total_;
                ++mine;
                incoming_.push_back({fd, address, std::string(), 0, Clock::now() + limits_.requestTimeout});
            } else if (mine == 0) {
                perAddress_.erase(address);
            }
        }
        if (admitted) return wake();
        if (tooMany) QuickReply(fd, 503, "Service Unavailable", "refused: too many open connections from " + address);
        ::close(fd);
    }

private:
    struct Waiting {
        int fd;
        std::string address;
        std::string received;
        std::size_t needed;  // bytes of head and body; 0 until the head is complete
        Clock::time_point deadline;
    };
    enum class Progress { Incomplete, Complete, TooLarge, Closed };

    void wake() {
        if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    }

    void release(const std::string& address) {
        std::lock_guard<std::mutex> lock(mutex_);
        --total_;
        if (--perAddress_[address] <= 0) perAddress_.erase(address);
    }

    void drop(const Waiting& w) {
        ::close(w.fd);
        release(w.address);
    }

    Progress readMore(Waiting& w) const {
        char buf[4096];
        const ssize_t n = ::recv(w.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return Progress::Closed;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Progress::Incomplete : Progress::Closed;
        const std::size_t from = w.received.size() >= 3 ? w.received.size() - 3 : 0;
        w.received.append(buf, static_cast<std::size_t>(n));
        if (!w.needed) {
            const std::size_t end = HeadEnd(w.received, from);
            if (end == std::string::npos)
                return w.received.size() > limits_.maxHeadBytes ? Progress::TooLarge : Progress::Incomplete;
            w.needed = end + DeclaredLength(w.received.substr(0, end), limits_.maxBodyBytes);
        }
        return w.received.size() >= w.needed ? Progress::Complete : Progress::Incomplete;
    }

    // The gate's thread: waits on every connection whose request has not all arrived.
    void collectRequests() {
        std::vector<Waiting> waiting;
        std::vector<pollfd> fds;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) break;
                for (Waiting& w : incoming_) waiting.push_back(std::move(w));
                incoming_.clear();
            }
            fds.assign(1, pollfd{wake_[0], POLLIN, 0});
            Clock::time_point next = Clock::now() + std::chrono::seconds(1);
            for (const Waiting& w : waiting) {
                fds.push_back(pollfd{w.fd, POLLIN, 0});
                next = std::min(next, w.deadline);
            }
            ::poll(fds.data(), fds.size(), MillisecondsUntil(next));
            char sink[64];
            while (wake_[0] >= 0 && ::read(wake_[0], sink, sizeof sink) > 0) {
            }
            sortOut(waiting, fds);
        }
        for (const Waiting& w : waiting) drop(w);
    }

    void sortOut(std::vector<Waiting>& waiting, const std::vector<pollfd>& fds) {
        const Clock::time_point now = Clock::now();
        std::vector<Waiting> still;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            Waiting& w = waiting[i];
            const Progress h = fds[i + 1].revents ? readMore(w) : Progress::Incomplete;
            if (h == Progress::Complete) {
                handOver(std::move(w));
                continue;
            }
            if (h == Progress::TooLarge)
                QuickReply(w.fd, 431, "Request Header Fields Too Large", "refused: the request head is too large");
            else if (h == Progress::Incomplete && now >= w.deadline)
                QuickReply(w.fd, 408, "Request Timeout", "refused: the request was not sent in time");
            else if (h == Progress::Incomplete) {
                still.push_back(std::move(w));
                continue;
            }
            drop(w);
        }
        waiting.swap(still);
    }

    void handOver(Waiting&& w) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(std::move(w));
        }
        ready_cv_.notify_one();
    }

    void work() {
        for (;;) {
            Waiting w;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_cv_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
                if (stopping_) return;
                w = std::move(ready_.front());
                ready_.pop_front();
            }
            server_.serveOne(w.fd, std::move(w.received));
            release(w.address);
        }
    }

    GatedHttpServer& server_;
    const HttpLimits limits_;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable ready_cv_;
    bool stopping_ = false;
    bool shutDown_ = false;  // by cpp-httplib's listening thread only
    int total_ = 0;
    std::map<std::string, int> perAddress_;
    std::vector<Waiting> incoming_;
    std::deque<Waiting> ready_;
    std::thread gateThread_;
    std::vector<std::thread> workers_;
};

GatedHttpServer::GatedHttpServer(const HttpLimits& limits) : limits_(limits) {
    new_task_queue = [this]() -> httplib::TaskQueue* {
        gate_ = new Gate(*this);
        return gate_;
    };
}

GatedHttpServer::~GatedHttpServer() = default;

bool GatedHttpServer::process_and_close_socket(socket_t sock) {
    if (gate_) {
        gate_->admit(sock);
    } else {
        ::close(sock);
    }
    return true;
}

void GatedHttpServer::serveOne(int fd, std::string received) {
    const int readMs = static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000);
    const int writeMs = static_cast<int>(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000);
    GateStream stream(fd, std::move(received), readMs, writeMs, Clock::now() + limits_.bodyTimeout);
    bool closed = false;
    process_request(stream, true, closed, nullptr);
    LingeringClose(fd);
}

}  // namespace tarvotool
