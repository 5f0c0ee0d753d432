// delivery_options.cpp - the command-line options of event receivers (--mqtt,
// --webhook, --queue, ...).
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"

namespace tarvotool {

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

}  // namespace tarvotool
