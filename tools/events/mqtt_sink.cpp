// mqtt_sink.cpp - libmosquitto driven from the sink's own thread.
//
// The client runs without libmosquitto's thread: this thread polls the
// socket and the queue's wake descriptor together, so a new event goes out
// at once and one thread owns the connection. Each connection is a new client
// object with a clean session: libmosquitto would otherwise resend its own
// copies of unacknowledged messages beside ours.
#include "tools/events/mqtt_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>

#include <mosquitto.h>

#include "host/errors.h"

namespace tarvotool {

using Clock = std::chrono::steady_clock;

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

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string DefaultClientId() {
    char host[64] = {0};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "host");
    // Client ids up to 23 characters are what every broker must accept.
    std::string id = std::string("tarvocoil-") + std::to_string(getpid()) + "-" + host;
    if (id.size() > 23) id.resize(23);
    return id;
}

// CONNACK return codes 4 (bad user name or password) and 5 (not authorised).
bool CredentialsRefused(int connack) { return connack == 4 || connack == 5; }

std::string MosqError(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

}  // namespace

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

MqttSink::MqttSink(const MqttTarget& target, const MqttSettings& settings, std::size_t capacity, WarnFn warn)
    : Sink(target.label(), capacity, std::move(warn)), target_(target), settings_(settings) {
    InitLibrary();
    if (settings_.clientId.empty()) settings_.clientId = DefaultClientId();
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
    mosquitto* m = mosquitto_new(settings_.clientId.c_str(), true, nullptr);
    if (!m) {
        why = std::string("cannot create an MQTT client: ") + std::strerror(errno);
        return nullptr;
    }
    int rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty())
        rc = mosquitto_username_pw_set(m, settings_.user.c_str(),
                                       settings_.password.empty() ? nullptr : settings_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && target_.tls) {
        const char* ca = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
        rc = mosquitto_tls_set(m, ca, ca ? nullptr : "/etc/ssl/certs",
                               settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                               settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            why = "TLS setup failed (" + MosqError(rc) + "); check the CA, certificate and key files";
            mosquitto_destroy(m);
            return nullptr;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        why = "MQTT client setup failed: " + MosqError(rc);
        mosquitto_destroy(m);
        return nullptr;
    }
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

namespace {

// One round of network work: wait for the socket or `wakeFd`, then read,
// write and keep alive. MOSQ_ERR_SUCCESS or the error that ended the link.
int Pump(mosquitto* m, int wakeFd, int timeoutMs) {
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

}  // namespace

MqttSink::SessionEnd MqttSink::session(mosquitto* m, std::string& why) {
    Session s;
    s.sink = this;
    mosquitto_user_data_set(m, &s);
    struct Detach {
        mosquitto* m;
        ~Detach() { mosquitto_user_data_set(m, nullptr); }
    } detach{m};

    int rc = mosquitto_connect(m, target_.host.c_str(), target_.port, settings_.keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : MosqError(rc);
        return SessionEnd::Lost;
    }
    // The socket is left blocking after a blocking connect; poll() decides
    // when to read and write, so no call may wait inside libmosquitto.
    const int fd = mosquitto_socket(m);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    const auto connectBy = Clock::now() + settings_.connectTimeout;
    while (s.connack < 0) {
        if (shouldEnd()) return SessionEnd::Finished;
        if (Clock::now() >= connectBy) {
            why = "no answer to CONNECT";
            return SessionEnd::Lost;
        }
        rc = Pump(m, wakeFd(), 100);
        if (rc != MOSQ_ERR_SUCCESS && s.connack < 0) {
            why = MosqError(rc);
            return SessionEnd::Lost;
        }
    }
    // A refusal also ends the link (libmosquitto: "connection refused"):
    // the broker's own reason says more.
    if (s.connack != 0) {
        why = std::string("the broker refused the connection: ") + mosquitto_connack_string(s.connack);
        return CredentialsRefused(s.connack) ? SessionEnd::NotAuthorised : SessionEnd::Lost;
    }
    onConnected();

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
                why = MosqError(rc);
                return SessionEnd::Lost;
            }
            s.inflight[mid] = next++;
        }
        rc = Pump(m, wakeFd(), finishing() ? 50 : 1000);
        if (rc != MOSQ_ERR_SUCCESS) {
            why = MosqError(rc);
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
