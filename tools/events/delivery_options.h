// delivery_options.h - the run command's event receivers (--mqtt, --webhook,
// --queue, ...) and the hook the frame loop calls for each event.
#ifndef TARVOCOIL_TOOLS_EVENTS_DELIVERY_OPTIONS_H
#define TARVOCOIL_TOOLS_EVENTS_DELIVERY_OPTIONS_H

#include <memory>
#include <string>
#include <vector>

#include "tools/events/delivery.h"
#include "host/event_json.h"

namespace tarvotool {

struct DeliveryOptions {
    std::vector<std::string> mqtt;      // one sink per URL
    std::vector<std::string> webhooks;  // one sink per URL
    std::size_t queue = kDefaultQueueEvents;
    std::string mqttClientId, mqttUser, mqttPassword;  // empty: environment, then URL
    std::string mqttCaFile, mqttCertFile, mqttKeyFile;
    std::vector<std::string> webhookHeaders;
    double webhookTimeout = 10.0;  // seconds per request
    double flushTimeout = 10.0;    // seconds the end of a run waits for receivers
};

// Every event of a run passes here: it gets its id and wall-clock time and
// its JSON text (once), is queued for every receiver, and comes back for
// the events file, which writes the same text.
class EventOutlet {
public:
    // Checks every URL and file option (throws ToolError) and starts one
    // sink thread per receiver. Without receivers only stamps events.
    explicit EventOutlet(const DeliveryOptions& opt, WarnFn warn = nullptr);
    ~EventOutlet();
    EventOutlet(const EventOutlet&) = delete;
    EventOutlet& operator=(const EventOutlet&) = delete;

    SerializedEvent trigger(int64_t frame, double time, int area, const std::string& name);
    SerializedEvent streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime,
                           const std::string& reason);
    SerializedEvent streamRestored(int64_t nextFrame, double gapSeconds);
    SerializedEvent vehicle(const VehicleEvent& v) { return send(stamper_.vehicle(v)); }
    SerializedEvent health(const HealthEvent& h) { return send(stamper_.health(h)); }
    SerializedEvent stats(const IntervalRow& row) { return send(stamper_.stats(row)); }

    // Throws ToolError when a receiver refused for good what no retry can
    // mend (MQTT credentials refused on the first connection).
    void checkReceivers() const;
    // Waits up to the flush timeout for the receivers, stops them and prints
    // one line per receiver on stderr ("MQTT URL: 12 delivered, ...", not
    // when quiet), or a warning when events were dropped, rejected or left
    // undelivered (always). Returns the counts.
    std::vector<SinkStats> finish(bool quiet = false);

private:
    SerializedEvent send(EventRecord e);
    EventStamper stamper_;
    Delivery delivery_;
    double flushTimeout_;
    bool finished_ = false;
};

}  // namespace tarvotool

#endif
