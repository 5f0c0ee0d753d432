// mqtt_sink.h - events as MQTT messages (QoS 1), one JSON object each.
#ifndef TARVOCOIL_TOOLS_EVENTS_MQTT_SINK_H
#define TARVOCOIL_TOOLS_EVENTS_MQTT_SINK_H

#include <chrono>
#include <string>

#include "tools/events/delivery.h"
#include "tools/events/mqtt_client.h"

struct mosquitto;

namespace tarvotool {

// Publishes each queued event with QoS 1 and retain off; an event leaves
// the queue when the broker acknowledges it. After a broker loss it
// reconnects with backoff (a fresh clean session) and sends again, in order,
// from the oldest unacknowledged event, so a receiver may see an event twice
// (de-duplicate by `id`) but never out of order.
class MqttSink : public Sink {
public:
    MqttSink(const MqttTarget& target, const MqttSettings& settings, std::size_t capacity, WarnFn warn);
    ~MqttSink() override;

protected:
    void run() override;

private:
    struct Session;
    enum class SessionEnd { Finished, Lost, NotAuthorised };
    SessionEnd session(::mosquitto* m, std::string& why);
    ::mosquitto* makeClient(std::string& why);
    void onConnected();
    // A warning for a failed connection or a lost one, once per reason.
    void reportFailure(const std::string& why);


    MqttTarget target_;
    MqttSettings settings_;
    bool connected_ = false;  // the current attempt reached the broker
    bool outage_ = false;     // a failure was reported since the last connection
    bool everConnected_ = false;
    std::string reported_;    // the reason last warned about in this outage
};

}  // namespace tarvotool

#endif
