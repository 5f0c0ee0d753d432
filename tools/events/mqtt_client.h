// mqtt_client.h - what every MQTT connection of the tool shares: the
// broker's URL, the connection settings, and a libmosquitto client set up
// with them (protocol, credentials, TLS), driven from the caller's thread.
#ifndef TARVOCOIL_TOOLS_EVENTS_MQTT_CLIENT_H
#define TARVOCOIL_TOOLS_EVENTS_MQTT_CLIENT_H

#include <chrono>
#include <functional>
#include <string>

struct mosquitto;

namespace tarvotool {

// mqtt://[USER[:PASSWORD]@]HOST[:PORT]/TOPIC, mqtts:// for TLS (port 1883,
// 8883 by default). HOST may be [IPv6]. TOPIC is the whole path after the
// first '/', percent-decoded; it must not be empty or hold '+' or '#'.
struct MqttTarget {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string topic;
    std::string user, password;  // from the URL, empty when absent
    // mqtt://HOST:PORT/TOPIC, without credentials: for messages.
    std::string label() const;
};
// Throws ToolError naming the URL (credentials elided) and the fault.
MqttTarget ParseMqttUrl(const std::string& url);

struct MqttSettings {
    std::string clientId;            // empty: tarvocoil-PID-HOSTNAME
    std::string user, password;      // empty: those of the URL
    std::string caFile;              // TLS: trusted CAs (default: the system's)
    std::string certFile, keyFile;   // TLS: a client certificate, both or neither
    int keepaliveSeconds = 20;
    std::chrono::milliseconds retryFirst{500};  // reconnect backoff
    std::chrono::milliseconds retryMax{30000};
    std::chrono::milliseconds connectTimeout{10000};  // for the broker's answer
    unsigned window = 16;            // messages sent but not yet acknowledged
};

// Once per process, before the first client.
void InitMqttLibrary();
// PREFIX-PID-HOSTNAME, cut to the 23 characters every broker must accept.
std::string DefaultMqttClientId(const std::string& prefix = "tarvocoil-");
// libmosquitto's text for an error code (errno's for MOSQ_ERR_ERRNO).
std::string MqttErrorText(int rc);
// CONNACK return codes 4 (bad user name or password) and 5 (not authorised).
bool MqttCredentialsRefused(int connack);

// A client with a clean session, MQTT 3.1.1, the credentials (the
// settings', else the URL's) and TLS set up; null with `why` when that
// fails. No callbacks are set.
::mosquitto* NewMqttClient(const MqttTarget& target, const MqttSettings& settings, std::string& why);

// One round of network work without libmosquitto's thread: waits up to
// `timeoutMs` for the socket or `wakeFd` (drained when readable), then
// reads, writes and keeps alive. MOSQ_ERR_SUCCESS or the error that ended
// the link.
int PumpMqtt(::mosquitto* m, int wakeFd, int timeoutMs);

// Starts connecting to the target's broker and returns at once: the TCP
// handshake, TLS and CONNECT go on in PumpMqtt, so that a broker behind a
// firewall that drops packets holds nobody past their own deadline (a
// blocking connect waits for the system's TCP timeout, minutes). The
// socket is non-blocking: poll() decides when to read and write, so no
// call waits inside libmosquitto. MOSQ_ERR_SUCCESS or why it could not
// start (a name that does not resolve, say).
int StartMqttConnect(::mosquitto* m, const MqttTarget& target, int keepaliveSeconds);

enum class MqttConnect { Accepted, Refused, Failed, Stopped };
// Connects (StartMqttConnect) and pumps until the broker answers CONNECT,
// settings.connectTimeout passes or `stop` says so. `connack` is where the
// client's connect callback writes the broker's answer (-1 until then);
// Refused leaves the broker's code there. `why` says what went wrong.
MqttConnect ConnectMqtt(::mosquitto* m, const MqttTarget& target, const MqttSettings& settings, int wakeFd,
                        const int& connack, const std::function<bool()>& stop, std::string& why);

}  // namespace tarvotool

#endif
