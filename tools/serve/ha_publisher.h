// ha_publisher.h - a site's cameras in Home Assistant, over MQTT.
//
// Its own connection to the broker (own client id, a last will that says
// "offline") and its own thread: cameras hand it changes and never wait.
// What the broker keeps (discovery configs and states) is held here as the
// latest payload per topic, so a reconnect sends the whole picture again.
// While connected every change goes out in order, so a coil that is ON
// for a single frame is still seen ON and then OFF. Changes are handed to
// the connection only while the broker acknowledges what it was sent; a
// backlog too long (a broker away or one that stopped reading) shrinks to
// the latest picture. Trigger messages wait in a bounded queue that drops
// its oldest when full.
#ifndef TARVOCOIL_TOOLS_SERVE_HA_PUBLISHER_H
#define TARVOCOIL_TOOLS_SERVE_HA_PUBLISHER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/events/delivery.h"
#include "tools/events/mqtt_client.h"
#include "tools/serve/camera_observer.h"
#include "tools/serve/ha_discovery.h"

struct mosquitto;

namespace tarvotool {

class HaPublisher : public CameraObserver {
public:
    static constexpr std::size_t kMaxQueuedTriggers = 1000;
    static constexpr std::size_t kMaxQueuedChanges = 4096;  // beyond one per retained topic

    // Throws ToolError for settings no connection could use (TLS files).
    HaPublisher(HaTopics topics, MqttTarget broker, MqttSettings settings, WarnFn warn);
    ~HaPublisher() override;
    HaPublisher(const HaPublisher&) = delete;
    HaPublisher& operator=(const HaPublisher&) = delete;

    void start();
    // The site's cameras from now on: the configs of new cameras (and new
    // coils) are published, those of cameras and coils no longer there
    // removed, with their states.
    void setCameras(const std::vector<HaCamera>& cameras);
    // Says "offline", sends what is waiting for up to `flush`, disconnects.
    void stop(std::chrono::milliseconds flush);

    void streamUp(const std::string& camera, bool up) override;
    void presence(const std::string& camera, std::size_t coil, bool present) override;
    void trigger(const std::string& camera, std::size_t coil, const EventRecord& event) override;
    void coilCount(const std::string& camera, std::size_t coil, uint64_t count) override;

    uint64_t droppedTriggers() const;

private:
    struct Session;
    struct Work {
        std::vector<HaMessage> retained;
        std::vector<std::pair<std::string, EventRecord>> triggers;  // topic, event
    };
    // The retained topic's payload from now on (under mu_).
    void keep(const std::string& topic, std::string payload);
    // Everything the broker should keep, to send as it stands (under mu_).
    void queueWholePicture();
    const HaCamera* camera(const std::string& name) const;  // under mu_
    void wake();
    void run();
    // One connection; false when it ended because the publisher stops.
    // `connected`: the broker accepted it (the link broke later).
    bool session(::mosquitto* m, std::string& why, bool& connected);
    bool connect(::mosquitto* m, Session& s, std::string& why);
    Work takeWork();
    // Publishes what changed since the last call; false when the link broke.
    bool sendWork(::mosquitto* m, Session& s, std::string& why);
    bool publish(::mosquitto* m, Session& s, const std::string& topic, const std::string& payload, bool retain,
                 std::string& why);
    void sayOffline(::mosquitto* m, Session& s);
    void reportFailure(const std::string& why, bool wasConnected);

    const HaTopics topics_;
    const MqttTarget broker_;
    MqttSettings settings_;
    WarnFn warn_;

    mutable std::mutex mu_;
    std::map<std::string, HaCamera> cameras_;
    std::map<std::string, std::string> retained_;  // topic -> latest payload
    std::deque<HaMessage> changes_;                // to send on this connection, in order
    std::deque<std::pair<std::string, EventRecord>> triggers_;
    uint64_t dropped_ = 0;

    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::chrono::steady_clock::time_point flushBy_{};
    std::thread thread_;
    bool outage_ = false;
    std::string reported_;
};

}  // namespace tarvotool

#endif
