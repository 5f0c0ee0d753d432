// mqtt_sink.cpp - libmosquitto driven from the sink's own thread.
//
// The client runs without libmosquitto's thread: this thread polls the
// socket and the queue's wake descriptor together, so a new event goes out
// at once and one thread owns the connection. Each connection is a new client
// object with a clean session: libmosquitto would otherwise resend its own
// copies of unacknowledged messages beside ours.
#include "tools/events/mqtt_sink.h"

#include <map>
#include <mutex>

#include <mosquitto.h>

#include "host/errors.h"

namespace tarvotool {

using Clock = std::chrono::steady_clock;

MqttSink::MqttSink(const MqttTarget& target, const MqttSettings& settings, std::size_t capacity, WarnFn warn)
    : Sink(target.label(), capacity, std::move(warn)), target_(target), settings_(settings) {
    InitMqttLibrary();
    if (settings_.clientId.empty()) settings_.clientId = DefaultMqttClientId();
    if (settings_.user.empty()) settings_.user = target_.user;
    if (settings_.password.empty()) settings_.password = target_.password;
    if (settings_.certFile.empty() != settings_.keyFile.empty())
        throw ToolError(label() + ": a client certificate needs both its certificate and its key file");
    if (settings_.window == 0) settings_.window = 1;
    // Configuration faults show now, not as endless reconnects.
    std::string why;
    mosquitto* probe = makeClient(why);
    if (!probe) throw ToolError(label() + ": " + why);
    mosquitto_destroy(probe);
}

MqttSink::~MqttSink() { stopThread(); }

// What one connection keeps: the broker's answer to CONNECT and the queue
// entries sent but not yet acknowledged, by message id.
struct MqttSink::Session {
    MqttSink* sink = nullptr;
    int connack = -1;
    std::map<int, uint64_t> inflight;
};

mosquitto* MqttSink::makeClient(std::string& why) {
    mosquitto* m = NewMqttClient(target_, settings_, why);
    if (!m) return nullptr;
    mosquitto_connect_callback_set(m, [](mosquitto*, void* obj, int rc) {
        if (obj) static_cast<Session*>(obj)->connack = rc;
    });
    mosquitto_publish_callback_set(m, [](mosquitto*, void* obj, int mid) {
        if (!obj) return;
        Session* s = static_cast<Session*>(obj);
        const auto it = s->inflight.find(mid);
        if (it == s->inflight.end()) return;
        s->sink->confirm(it->second);
        s->inflight.erase(it);
    });
    return m;
}

MqttSink::SessionEnd MqttSink::session(mosquitto* m, std::string& why) {
    Session s;
    s.sink = this;
    mosquitto_user_data_set(m, &s);
    struct Detach {
        mosquitto* m;
        ~Detach() { mosquitto_user_data_set(m, nullptr); }
    } detach{m};

    switch (ConnectMqtt(m, target_, settings_, wakeFd(), s.connack, [this] { return shouldEnd(); }, why)) {
        case MqttConnect::Accepted: break;
        case MqttConnect::Stopped: return SessionEnd::Finished;
        case MqttConnect::Refused:
            return MqttCredentialsRefused(s.connack) ? SessionEnd::NotAuthorised : SessionEnd::Lost;
        case MqttConnect::Failed: return SessionEnd::Lost;
    }
    onConnected();
    int rc = MOSQ_ERR_SUCCESS;

    uint64_t next = frontSeq();
    for (;;) {
        if (shouldEnd()) {
            mosquitto_disconnect(m);
            return SessionEnd::Finished;
        }
        next = std::max(next, frontSeq());
        QueuedEvent ev;
        while (s.inflight.size() < settings_.window && get(next, ev)) {
            int mid = 0;
            rc = mosquitto_publish(m, &mid, target_.topic.c_str(), static_cast<int>(ev.json->size()), ev.json->data(),
                                   1, false);
            if (rc != MOSQ_ERR_SUCCESS) {
                why = MqttErrorText(rc);
                return SessionEnd::Lost;
            }
            s.inflight[mid] = next++;
        }
        rc = PumpMqtt(m, wakeFd(), finishing() ? 50 : 1000);
        if (rc != MOSQ_ERR_SUCCESS) {
            why = MqttErrorText(rc);
            return SessionEnd::Lost;
        }
    }
}

void MqttSink::run() {
    Backoff backoff(settings_.retryFirst, settings_.retryMax);
    while (!shouldEnd()) {
        std::string why;
        mosquitto* m = makeClient(why);
        SessionEnd end = SessionEnd::Lost;
        connected_ = false;
        if (m) {
            end = session(m, why);
            mosquitto_destroy(m);
        }
        if (end == SessionEnd::Finished) break;
        // Wrong credentials on the first connection are a configuration
        // fault no retry mends; later (a broker whose users changed) the
        // events are kept and the reason said.
        if (end == SessionEnd::NotAuthorised && !everConnected_) {
            giveUp("not authorised: " + why + "; check the user name and password");
            return;
        }
        reportFailure(why);
        if (connected_) backoff.reset();
        sleepUntil(Clock::now() + backoff.next());
    }
}

void MqttSink::reportFailure(const std::string& why) {
    noteFailure((connected_ ? "lost the broker: " : "cannot connect: ") + why);
    if (connected_)
        warn(label() + ": lost the broker (" + why + "); keeping events and reconnecting");
    else if (!outage_)
        warn(label() + ": cannot connect (" + why + "); keeping events and retrying");
    else if (why != reported_)  // the reason changed during the outage
        warn(label() + ": cannot reconnect (" + why + "); keeping events and retrying");
    reported_ = why;
    outage_ = true;
}

void MqttSink::onConnected() {
    connected_ = true;
    everConnected_ = true;
    reported_.clear();
    noteFailure("");
    if (outage_)
        warn(label() + ": connected; sending " + std::to_string(endSeq() - frontSeq()) + " queued events");
    outage_ = false;
}

}  // namespace tarvotool
