// delivery_options.cpp - receivers from the command line and environment.
#include "delivery_options.h"

#include <cmath>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "common.h"
#include "mqtt_sink.h"
#include "webhook_sink.h"

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

void AddDeliveryOptions(CLI::App& cmd, DeliveryOptions& opt) {
    const std::string group = "Event receivers";
    cmd.add_option("--mqtt", opt.mqtt,
                   "Publish each event to an MQTT broker, QoS 1: mqtt://[USER[:PASS]@]HOST[:PORT]/TOPIC, "
                   "mqtts:// for TLS (repeatable)")
        ->type_name("URL")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(group);
    cmd.add_option("--mqtt-client-id", opt.mqttClientId,
                   "MQTT client id (default: $TARVOCOIL_MQTT_CLIENT_ID, else tarvocoil-PID-HOST)")
        ->type_name("ID")
        ->group(group);
    cmd.add_option("--mqtt-user", opt.mqttUser, "MQTT user name (default: $TARVOCOIL_MQTT_USER, else the URL's)")
        ->type_name("NAME")
        ->group(group);
    cmd.add_option("--mqtt-password", opt.mqttPassword,
                   "MQTT password (default: $TARVOCOIL_MQTT_PASSWORD, else the URL's); other users can see "
                   "options in the process list, the environment is safer")
        ->type_name("PASSWORD")
        ->group(group);
    cmd.add_option("--mqtt-ca", opt.mqttCaFile, "mqtts: trust these CA certificates (default: the system's)")
        ->type_name("FILE.pem")
        ->check(CLI::ExistingFile.description(""))
        ->group(group);
    cmd.add_option("--mqtt-cert", opt.mqttCertFile, "mqtts: client certificate (with --mqtt-key)")
        ->type_name("FILE.pem")
        ->check(CLI::ExistingFile.description(""))
        ->group(group);
    cmd.add_option("--mqtt-key", opt.mqttKeyFile, "mqtts: client key (with --mqtt-cert)")
        ->type_name("FILE.pem")
        ->check(CLI::ExistingFile.description(""))
        ->group(group);
    cmd.add_option("--webhook", opt.webhooks,
                   "POST each event's JSON to this http:// or https:// URL (repeatable)")
        ->type_name("URL")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(group);
    cmd.add_option("--webhook-header", opt.webhookHeaders,
                   "Extra header for every POST, e.g. 'Authorization: Bearer TOKEN' (repeatable)")
        ->type_name("'NAME: VALUE'")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(group);
    cmd.add_option("--webhook-timeout", opt.webhookTimeout, "Seconds one POST may take before it is retried")
        ->capture_default_str()
        ->type_name("SECONDS")
        ->check(CLI::Range(0.001, 3600.0))
        ->group(group);
    cmd.add_option("--queue", opt.queue,
                   "Events each receiver keeps while it is unreachable; when full, the oldest are dropped "
                   "and counted")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}))
        ->group(group);
    cmd.add_option("--flush-timeout", opt.flushTimeout,
                   "At the end of the run, seconds to wait for receivers to take what is queued")
        ->capture_default_str()
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0))
        ->group(group);
}

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

EventRecord EventOutlet::send(EventRecord e) {
    delivery_.deliver(e);
    return e;
}

EventRecord EventOutlet::trigger(int64_t frame, double time, int area, const std::string& name) {
    return send(stamper_.trigger(frame, time, area, name));
}

EventRecord EventOutlet::streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime,
                                    const std::string& reason) {
    return send(stamper_.streamLost(lastFrame, lastTime, reason));
}

EventRecord EventOutlet::streamRestored(int64_t nextFrame, double gapSeconds) {
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
