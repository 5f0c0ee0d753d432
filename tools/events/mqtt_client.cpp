// mqtt_client.cpp - the broker URL and a libmosquitto client set up from
// it, shared by the events receiver and the Home Assistant publisher.
#include "tools/events/mqtt_client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <mosquitto.h>

#include "host/errors.h"

namespace tarvotool {

namespace {

std::string PercentDecode(const std::string& s, bool& ok) {
    std::string out;
    ok = true;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            ok = false;
            return out;
        }
        out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

// The URL as messages may show it: any password replaced.
std::string Elide(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t slash = url.find('/', start);
    const std::size_t at = url.rfind('@', slash == std::string::npos ? url.size() : slash);
    if (at == std::string::npos || at < start) return url;
    const std::size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace

void InitMqttLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string DefaultMqttClientId(const std::string& prefix) {
    char host[64] = {0};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "host");
    // Client ids up to 23 characters are what every broker must accept.
    std::string id = prefix + std::to_string(getpid()) + "-" + host;
    if (id.size() > 23) id.resize(23);
    return id;
}

bool MqttCredentialsRefused(int connack) { return connack == 4 || connack == 5; }

std::string MqttErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

std::string MqttTarget::label() const {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) +
           "/" + topic;
}

MqttTarget ParseMqttUrl(const std::string& url) {
    auto fail = [&](const std::string& why) { return ToolError("MQTT URL '" + Elide(url) + "': " + why); };
    MqttTarget t;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        t.tls = true;
        rest = url.substr(8);
    } else {
        throw fail("expected mqtt://HOST[:PORT]/TOPIC or mqtts://...");
    }
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos) throw fail("no topic (mqtt://HOST[:PORT]/TOPIC)");
    std::string authority = rest.substr(0, slash);
    bool ok = true;
    t.topic = PercentDecode(rest.substr(slash + 1), ok);
    if (!ok) throw fail("bad percent escape in the topic");
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const std::size_t colon = userinfo.find(':');
        t.user = PercentDecode(userinfo.substr(0, colon), ok);
        if (ok && colon != std::string::npos) t.password = PercentDecode(userinfo.substr(colon + 1), ok);
        if (!ok) throw fail("bad percent escape in the credentials");
    }
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) throw fail("unclosed '[' in the host");
        t.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') throw fail("expected ':PORT' after ']'");
            port = after.substr(1);
            if (port.empty()) throw fail("empty port");
        }
    } else {
        const std::size_t colon = authority.find(':');
        t.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            port = authority.substr(colon + 1);
            if (port.empty()) throw fail("empty port");
        }
    }
    if (t.host.empty()) throw fail("no host");
    t.port = t.tls ? 8883 : 1883;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            throw fail("port '" + port + "' is not a number");
        t.port = std::stoi(port);
        if (t.port < 1 || t.port > 65535) throw fail("port " + port + " is out of range 1-65535");
    }
    if (t.topic.empty()) throw fail("empty topic");
    if (mosquitto_pub_topic_check2(t.topic.c_str(), t.topic.size()) != MOSQ_ERR_SUCCESS ||
        mosquitto_validate_utf8(t.topic.c_str(), static_cast<int>(t.topic.size())) != MOSQ_ERR_SUCCESS)
        throw fail("topic '" + t.topic + "' cannot be published to (no '+', '#' or invalid UTF-8)");
    return t;
}

mosquitto* NewMqttClient(const MqttTarget& target, const MqttSettings& settings, std::string& why) {
    mosquitto* m = mosquitto_new(settings.clientId.c_str(), true, nullptr);
    if (!m) {
        why = std::string("cannot create an MQTT client: ") + std::strerror(errno);
        return nullptr;
    }
    int rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    const std::string& user = settings.user.empty() ? target.user : settings.user;
    const std::string& password = settings.password.empty() ? target.password : settings.password;
    if (rc == MOSQ_ERR_SUCCESS && !user.empty())
        rc = mosquitto_username_pw_set(m, user.c_str(), password.empty() ? nullptr : password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && target.tls) {
        const char* ca = settings.caFile.empty() ? nullptr : settings.caFile.c_str();
        rc = mosquitto_tls_set(m, ca, ca ? nullptr : "/etc/ssl/certs",
                               settings.certFile.empty() ? nullptr : settings.certFile.c_str(),
                               settings.keyFile.empty() ? nullptr : settings.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            why = "TLS setup failed (" + MqttErrorText(rc) + "); check the CA, certificate and key files";
            mosquitto_destroy(m);
            return nullptr;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        why = "MQTT client setup failed: " + MqttErrorText(rc);
        mosquitto_destroy(m);
        return nullptr;
    }
    return m;
}

int PumpMqtt(mosquitto* m, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {};
    fds[0].fd = mosquitto_socket(m);
    fds[0].events = POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0);
    fds[1].fd = wakeFd;
    fds[1].events = POLLIN;
    if (fds[0].fd < 0) return MOSQ_ERR_NO_CONN;
    const int n = poll(fds, 2, timeoutMs);
    if (n < 0 && errno != EINTR) return MOSQ_ERR_ERRNO;
    if (n > 0 && (fds[1].revents & POLLIN)) {
        uint64_t value = 0;
        if (read(wakeFd, &value, sizeof value) < 0) {
        }
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (n > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) rc = mosquitto_loop_read(m, 1);
    if (rc == MOSQ_ERR_SUCCESS && (n <= 0 || (fds[0].revents & POLLOUT) || mosquitto_want_write(m)))
        rc = mosquitto_loop_write(m, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);
    return rc;
}

int StartMqttConnect(mosquitto* m, const MqttTarget& target, int keepaliveSeconds) {
    const int rc = mosquitto_connect_async(m, target.host.c_str(), target.port, keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) return rc;
    const int fd = mosquitto_socket(m);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return MOSQ_ERR_SUCCESS;
}

MqttConnect ConnectMqtt(mosquitto* m, const MqttTarget& target, const MqttSettings& settings, int wakeFd,
                        const int& connack, const std::function<bool()>& stop, std::string& why) {
    int rc = StartMqttConnect(m, target, settings.keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = MqttErrorText(rc);
        return MqttConnect::Failed;
    }
    const auto connectBy = std::chrono::steady_clock::now() + settings.connectTimeout;
    while (connack < 0) {
        if (stop()) return MqttConnect::Stopped;
        if (std::chrono::steady_clock::now() >= connectBy) {
            why = "no answer to CONNECT";
            return MqttConnect::Failed;
        }
        rc = PumpMqtt(m, wakeFd, 100);
        if (rc != MOSQ_ERR_SUCCESS && connack < 0) {
            why = MqttErrorText(rc);
            return MqttConnect::Failed;
        }
    }
    // A refusal also ends the link (libmosquitto: "connection refused"):
    // the broker's own reason says more.
    if (connack != 0) {
        why = std::string("the broker refused the connection: ") + mosquitto_connack_string(connack);
        return MqttConnect::Refused;
    }
    return MqttConnect::Accepted;
}

}  // namespace tarvotool
