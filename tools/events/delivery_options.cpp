// delivery_options.cpp - receivers from the command line and environment.
#include "tools/events/delivery_options.h"

#include <cmath>
#include <cstdlib>

#include "host/errors.h"
#include "tools/events/mqtt_sink.h"
#include "tools/events/webhook_sink.h"

namespace tarvotool {

namespace {

std::string FromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The option's value, else the environment's, else empty (the URL's then).
std::string Pick(const std::string& option, const char* env) { return option.empty() ? FromEnv(env) : option; }

std::chrono::milliseconds Millis(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(seconds * 1000.0)));
}

}  // namespace

EventOutlet::EventOutlet(const DeliveryOptions& opt, WarnFn warn)
    : delivery_(warn), flushTimeout_(opt.flushTimeout) {
    // Every URL is checked before any sink starts, so that a typo in the
    // second one does not leave the first one running.
    std::vector<MqttTarget> targets;
    for (const std::string& url : opt.mqtt) targets.push_back(ParseMqttUrl(url));
    for (const std::string& url : opt.webhooks) CheckWebhookUrl(url);

    MqttSettings mqtt;
    mqtt.clientId = Pick(opt.mqttClientId, "TARVOCOIL_MQTT_CLIENT_ID");
    mqtt.user = Pick(opt.mqttUser, "TARVOCOIL_MQTT_USER");
    mqtt.password = Pick(opt.mqttPassword, "TARVOCOIL_MQTT_PASSWORD");
    mqtt.caFile = opt.mqttCaFile;
    mqtt.certFile = opt.mqttCertFile;
    mqtt.keyFile = opt.mqttKeyFile;
    WebhookSettings hook;
    hook.timeout = Millis(opt.webhookTimeout);
    hook.headers = opt.webhookHeaders;

    std::vector<std::unique_ptr<Sink>> sinks;
    for (const MqttTarget& t : targets) sinks.push_back(std::make_unique<MqttSink>(t, mqtt, opt.queue, warn));
    for (const std::string& url : opt.webhooks)
        sinks.push_back(std::make_unique<WebhookSink>(url, hook, opt.queue, warn));
    for (auto& s : sinks) delivery_.add(std::move(s));
}

EventOutlet::~EventOutlet() {
    // An error ends the run: queued events get a short chance, no report.
    delivery_.close(std::chrono::milliseconds(std::min<int64_t>(1000, Millis(flushTimeout_).count())));
}

void EventOutlet::checkReceivers() const {
    const std::string fatal = delivery_.fatal();
    if (!fatal.empty()) throw ToolError(fatal);
}

SerializedEvent EventOutlet::send(EventRecord e) {
    SerializedEvent serialized(std::move(e));
    delivery_.deliver(serialized);
    return serialized;
}

SerializedEvent EventOutlet::trigger(int64_t frame, double time, int area, const std::string& name) {
    return send(stamper_.trigger(frame, time, area, name));
}

SerializedEvent EventOutlet::streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime,
                                    const std::string& reason) {
    return send(stamper_.streamLost(lastFrame, lastTime, reason));
}

SerializedEvent EventOutlet::streamRestored(int64_t nextFrame, double gapSeconds) {
    return send(stamper_.streamRestored(nextFrame, gapSeconds));
}

std::vector<SinkStats> EventOutlet::finish(bool quiet) {
    if (finished_ || delivery_.empty()) return delivery_.stats();
    finished_ = true;
    const std::vector<SinkStats> stats = delivery_.close(Millis(flushTimeout_));
    for (const SinkStats& s : stats) {
        if (s.dropped || s.undelivered || s.rejected)
            Warn(DescribeSinkStats(s) + (s.undelivered ? " (at the end of the run: " +
                                                              (s.lastFailure.empty() ? "no answer" : s.lastFailure) + ")"
                                                        : ""));
        else if (!quiet)
            std::fprintf(stderr, "tarvocoil: %s\n", TerminalText(DescribeSinkStats(s)).c_str());
    }
    return stats;
}

}  // namespace tarvotool
