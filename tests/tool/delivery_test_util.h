// delivery_test_util.h - a real mosquitto broker and an MQTT subscriber on
// 127.0.0.1 for the delivery tests and the latency measurement.
#ifndef TARVOCOIL_TESTS_DELIVERY_UTIL_H
#define TARVOCOIL_TESTS_DELIVERY_UTIL_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace deliverytest {

// A folder of its own for each test process, removed at exit.
std::string TempDir();

// A port on 127.0.0.1 that nothing listens on right now.
int FreePort();

// A mosquitto process listening on 127.0.0.1 only, with a config and a
// persistence folder of its own: sessions and queued messages survive a
// stop() and start() on the same port, as on a real broker restart.
class Broker {
public:
    struct Tls {
        std::string certFile, keyFile;
    };
    explicit Broker(const Tls* tls = nullptr);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // From the next start() on, only this user with this password may
    // connect (mosquitto_passwd makes the file).
    void requirePassword(const std::string& user, const std::string& password);
    // Starts the process and waits (bounded) until it accepts connections.
    void start();
    // SIGTERM, then waits for it to exit (it saves its sessions).
    void stop();
    int port() const { return port_; }
    std::string url(const std::string& topic) const;

private:
    std::string dir_, config_;
    int port_ = 0;
    bool tls_ = false;
    pid_t pid_ = -1;
};

// A self-signed certificate for this IP address (made with the openssl
// program).
Broker::Tls MakeCertificate(const std::string& ip = "127.0.0.1");

// Subscribes with QoS 1 and a persistent session, reconnecting by itself,
// and keeps every message in arrival order.
class Subscriber {
public:
    Subscriber(int port, const std::string& topic, const std::string& clientId,
               const std::string* caFile = nullptr);
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Waits (bounded) until the broker has confirmed the subscription.
    bool waitSubscribed(std::chrono::milliseconds limit);
    // Waits until `count` distinct event ids have arrived.
    bool waitDistinct(std::size_t count, std::chrono::milliseconds limit);
    // Every payload so far, and when each arrived.
    std::vector<std::string> messages() const;
    // Every message so far with its topic and whether it came retained
    // (kept by the broker from before the subscription).
    struct Message {
        std::string topic, payload;
        bool retained = false;
    };
    std::vector<Message> received() const;
    // Waits until a message satisfying `ready` has arrived.
    bool waitFor(const std::function<bool(const Message&)>& ready, std::chrono::milliseconds limit);
    std::vector<std::chrono::steady_clock::time_point> arrivals() const;

private:
    static void OnMessage(mosquitto*, void*, const ::mosquitto_message*);
    mosquitto* m_ = nullptr;
    std::string topic_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> messages_;
    std::vector<Message> received_;
    std::vector<std::chrono::steady_clock::time_point> arrivals_;
    bool subscribed_ = false;
};

// The event ids of these JSON payloads in the order of their first
// arrival, and how many payloads repeated an earlier id.
std::vector<uint64_t> DistinctIds(const std::vector<std::string>& payloads, std::size_t* repeats = nullptr);

}  // namespace deliverytest

#endif
