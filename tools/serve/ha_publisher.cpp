// ha_publisher.cpp - the Home Assistant connection's thread.
#include "tools/serve/ha_publisher.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <mosquitto.h>

#include "host/errors.h"

namespace tarvotool {

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

}  // namespace

// What one connection keeps: the broker's answer to CONNECT and the
// message ids not yet acknowledged.
struct HaPublisher::Session {
    int connack = -1;
    std::set<int> inflight;
};

HaPublisher::HaPublisher(HaTopics topics, MqttTarget broker, MqttSettings settings, WarnFn warn)
    : topics_(std::move(topics)), broker_(std::move(broker)), settings_(std::move(settings)), warn_(std::move(warn)) {
    InitMqttLibrary();
    if (settings_.clientId.empty()) settings_.clientId = DefaultMqttClientId("tarvocoil-ha-");
    std::string why;
    mosquitto* probe = NewMqttClient(broker_, settings_, why);
    if (!probe) throw ToolError("Home Assistant, " + broker_.label() + ": " + why);
    mosquitto_destroy(probe);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) throw ToolError(std::string("Home Assistant: eventfd: ") + std::strerror(errno));
}

HaPublisher::~HaPublisher() {
    stop(std::chrono::milliseconds(0));
    if (wakeFd_ >= 0) close(wakeFd_);
}

void HaPublisher::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void HaPublisher::stop(std::chrono::milliseconds flush) {
    if (!thread_.joinable()) return;
    flushBy_ = Clock::now() + flush;
    stopping_.store(true);
    wake();
    thread_.join();
}

void HaPublisher::wake() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // Already readable: the thread wakes anyway.
    }
}

void HaPublisher::keep(const std::string& topic, std::string payload) {
    auto it = retained_.find(topic);
    if (it != retained_.end() && it->second == payload) return;
    retained_[topic] = payload;
    if (changes_.size() >= kMaxQueuedChanges + retained_.size()) {
        queueWholePicture();
        return;
    }
    changes_.push_back({topic, std::move(payload), true});
}

void HaPublisher::queueWholePicture() {
    changes_.clear();
    for (const auto& [topic, payload] : retained_) changes_.push_back({topic, payload, true});
}

const HaCamera* HaPublisher::camera(const std::string& name) const {
    const auto it = cameras_.find(name);
    return it == cameras_.end() ? nullptr : &it->second;
}

void HaPublisher::setCameras(const std::vector<HaCamera>& cameras) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        std::set<std::string> now;
        for (const HaCamera& c : cameras)
            for (const std::string& t : topics_.retainedTopics(c)) now.insert(t);
        // An empty retained payload makes the broker forget the topic and
        // Home Assistant remove the entity.
        for (const auto& [name, old] : cameras_)
            for (const std::string& t : topics_.retainedTopics(old))
                if (!now.count(t)) keep(t, "");
        cameras_.clear();
        for (const HaCamera& c : cameras) {
            // Down until the camera says otherwise.
            const auto was = retained_.find(topics_.stream(c.name));
            if (was == retained_.end() || was->second.empty()) keep(topics_.stream(c.name), "OFF");
            cameras_[c.name] = c;
            for (HaMessage& m : topics_.configs(c)) keep(m.topic, std::move(m.payload));
        }
    }
    wake();
}

void HaPublisher::streamUp(const std::string& camera, bool up) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!this->camera(camera)) return;
        keep(topics_.stream(camera), up ? "ON" : "OFF");
    }
    wake();
}

void HaPublisher::presence(const std::string& camera, std::size_t coil, bool present) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        const HaCamera* c = this->camera(camera);
        if (!c || coil >= c->coils.size()) return;
        keep(topics_.presence(*c, coil), present ? "ON" : "OFF");
    }
    wake();
}

void HaPublisher::coilCount(const std::string& camera, std::size_t coil, uint64_t count) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        const HaCamera* c = this->camera(camera);
        if (!c || coil >= c->coils.size()) return;
        keep(topics_.count(*c, coil), std::to_string(count));
    }
    wake();
}

void HaPublisher::trigger(const std::string& camera, std::size_t coil, const EventRecord& event) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        const HaCamera* c = this->camera(camera);
        if (!c || coil >= c->coils.size()) return;
        if (triggers_.size() >= kMaxQueuedTriggers) {
            triggers_.pop_front();
            ++dropped_;
        }
        triggers_.emplace_back(topics_.trigger(*c, coil), event);
        if (!triggers_.back().second.camera) triggers_.back().second.camera = camera;
    }
    wake();
}

uint64_t HaPublisher::droppedTriggers() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dropped_;
}

HaPublisher::Work HaPublisher::takeWork() {
    Work w;
    std::lock_guard<std::mutex> lock(mu_);
    w.retained.assign(std::make_move_iterator(changes_.begin()), std::make_move_iterator(changes_.end()));
    changes_.clear();
    w.triggers.assign(std::make_move_iterator(triggers_.begin()), std::make_move_iterator(triggers_.end()));
    triggers_.clear();
    return w;
}

bool HaPublisher::publish(mosquitto* m, Session& s, const std::string& topic, const std::string& payload, bool retain,
                          std::string& why) {
    int mid = 0;
    const int rc = mosquitto_publish(m, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.empty() ? nullptr : payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = MqttErrorText(rc);
        return false;
    }
    s.inflight.insert(mid);
    return true;
}

bool HaPublisher::sendWork(mosquitto* m, Session& s, std::string& why) {
    const Work w = takeWork();
    for (const HaMessage& msg : w.retained)
        if (!publish(m, s, msg.topic, msg.payload, true, why)) return false;
    for (const auto& [topic, event] : w.triggers)
        if (!publish(m, s, topic, EventToJson(event), false, why)) return false;
    return true;
}

bool HaPublisher::connect(mosquitto* m, Session& s, std::string& why) {
    return ConnectMqtt(m, broker_, settings_, wakeFd_, s.connack, [this] { return stopping_.load(); }, why) ==
           MqttConnect::Accepted;
}

// At a clean stop the last will is not sent: say it ourselves, and wait
// (bounded) until the broker has it.
void HaPublisher::sayOffline(mosquitto* m, Session& s) {
    std::string why;
    // Whatever changed last goes out before "offline".
    if (!sendWork(m, s, why)) return;
    if (!publish(m, s, topics_.availability(), kOffline, true, why)) return;
    while (!s.inflight.empty() && Clock::now() < flushBy_)
        if (PumpMqtt(m, wakeFd_, 50) != MOSQ_ERR_SUCCESS) return;
    mosquitto_disconnect(m);
    PumpMqtt(m, wakeFd_, 0);
}

bool HaPublisher::session(mosquitto* m, std::string& why, bool& connected) {
    Session s;
    mosquitto_user_data_set(m, &s);
    struct Detach {
        mosquitto* m;
        ~Detach() { mosquitto_user_data_set(m, nullptr); }
    } detach{m};
    if (!connect(m, s, why)) return !stopping_.load();
    connected = true;
    if (outage_) warn_("Home Assistant, " + broker_.label() + ": connected");
    outage_ = false;
    reported_.clear();
    {
        // A fresh connection sends everything: the broker may have lost it.
        std::lock_guard<std::mutex> lock(mu_);
        queueWholePicture();
    }
    if (!publish(m, s, topics_.availability(), kOnline, true, why)) return true;
    for (;;) {
        if (stopping_.load()) {
            sayOffline(m, s);
            return false;
        }
        // Work is taken only while the broker keeps up, so that what waits
        // stays in the bounded queues here, not in libmosquitto's.
        if (s.inflight.size() < settings_.window && !sendWork(m, s, why)) return true;
        const int rc = PumpMqtt(m, wakeFd_, 1000);
        if (rc != MOSQ_ERR_SUCCESS) {
            why = MqttErrorText(rc);
            return true;
        }
    }
}

void HaPublisher::run() {
    Backoff backoff(settings_.retryFirst, settings_.retryMax);
    while (!stopping_.load()) {
        std::string why;
        mosquitto* m = NewMqttClient(broker_, settings_, why);
        bool again = true, wasConnected = false;
        if (m) {
            // The broker says "offline" for us when the process dies or the
            // link breaks without a goodbye.
            mosquitto_will_set(m, topics_.availability().c_str(), static_cast<int>(std::strlen(kOffline)), kOffline,
                               1, true);
            mosquitto_connect_callback_set(m, [](mosquitto*, void* obj, int rc) {
                if (obj) static_cast<Session*>(obj)->connack = rc;
            });
            mosquitto_publish_callback_set(m, [](mosquitto*, void* obj, int mid) {
                if (obj) static_cast<Session*>(obj)->inflight.erase(mid);
            });
            again = session(m, why, wasConnected);
            mosquitto_destroy(m);
        }
        if (!again) break;
        reportFailure(why, wasConnected);
        if (wasConnected) backoff.reset();
        const auto until = Clock::now() + backoff.next();
        while (!stopping_.load() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void HaPublisher::reportFailure(const std::string& why, bool wasConnected) {
    const std::string label = "Home Assistant, " + broker_.label();
    if (wasConnected)
        warn_(label + ": lost the broker (" + why + "); reconnecting");
    else if (!outage_ || why != reported_)
        warn_(label + ": cannot connect (" + why + "); retrying");
    outage_ = true;
    reported_ = why;
}

}  // namespace tarvotool
