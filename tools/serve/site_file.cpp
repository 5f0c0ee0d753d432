// site_file.cpp - reading and checking the site file.
#include "tools/serve/site_file.h"

#include <cmath>
#include <filesystem>
#include <set>

#include "host/errors.h"
#include "host/input_file.h"
#include "host/json_text.h"
#include "tools/edit/http_address.h"
#include "tools/events/mqtt_sink.h"
#include "tools/events/webhook_sink.h"

namespace tarvotool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class SiteChecker {
public:
    SiteChecker(std::string source, fs::path folder) : source_(std::move(source)), folder_(std::move(folder)) {}

    [[noreturn]] void fail(const std::string& path, const std::string& what) const {
        throw ToolError(source_ + ": " + path + ": " + what);
    }

    static std::string describe(const json& v) {
        if (v.is_object()) return "an object";
        if (v.is_array()) return "an array";
        std::string text = v.dump(-1, ' ', false, json::error_handler_t::replace);
        if (text.size() > 40) text = text.substr(0, 37) + "...";
        return std::string(v.type_name()) + " " + text;
    }

    void object(const json& v, const std::string& path, std::initializer_list<const char*> allowed) const {
        if (!v.is_object()) fail(path, "expected an object, got " + describe(v));
        for (auto it = v.begin(); it != v.end(); ++it) {
            const std::string& key = it.key();
            if (!key.empty() && key[0] == '_') continue;
            bool ok = false;
            std::string list;
            for (const char* a : allowed) {
                ok = ok || key == a;
                list += (list.empty() ? "" : ", ") + std::string(a);
            }
            if (!ok) fail(path, "unknown key \"" + key + "\" (expected " + list + ")");
        }
    }

    std::string text(const json& v, const std::string& path) const {
        if (!v.is_string()) fail(path, "expected a string, got " + describe(v));
        const std::string s = v.get<std::string>();
        if (s.empty()) fail(path, "expected a non-empty string");
        if (s.find('\0') != std::string::npos) fail(path, "a NUL character is not allowed");
        return s;
    }

    // A path as written, made relative to the site file's folder.
    std::string file(const json& v, const std::string& path) const {
        const fs::path p(text(v, path));
        return (p.is_absolute() ? p : folder_ / p).lexically_normal().string();
    }

    double number(const json& v, const std::string& path, double lo, double hi) const {
        const std::string range = "a number within " + std::to_string(lo) + ".." + std::to_string(hi);
        if (!v.is_number()) fail(path, "expected " + range + ", got " + describe(v));
        const double d = v.get<double>();
        if (!std::isfinite(d) || d < lo || d > hi) fail(path, "expected " + range + ", got " + v.dump());
        return d;
    }

    int integer(const json& v, const std::string& path, int lo, int hi) const {
        const double d = number(v, path, lo, hi);
        if (d != std::floor(d)) fail(path, "expected an integer, got " + v.dump());
        return static_cast<int>(d);
    }

    // The array at `key`, or an empty one when the key is absent.
    const json& list(const json& parent, const char* key, const std::string& path) const {
        static const json none = json::array();
        if (!parent.contains(key)) return none;
        const json& v = parent[key];
        if (!v.is_array()) fail(path, "expected an array, got " + describe(v));
        return v;
    }

    const fs::path& folder() const { return folder_; }

private:
    std::string source_;
    fs::path folder_;
};

void ParseListen(const SiteChecker& c, const json& v, SiteConfig& site) {
    const std::string path = "$.listen";
    const std::string value = c.text(v, path);
    std::string host;
    int port = 0;
    if (!SplitHostPort(value, host, port))
        c.fail(path, "expected HOST:PORT (127.0.0.1:8770, [::1]:8770), got \"" + value + "\"");
    if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (port > 65535) c.fail(path, "expected a port within 0..65535 (0: any free one), got " + std::to_string(port));
    site.host = host;
    site.port = port;
}

SiteCamera ParseCamera(const SiteChecker& c, const json& v, const std::string& path) {
    c.object(v, path, {"name", "source", "areas", "stall", "max_retries", "retry_max_delay", "stream"});
    SiteCamera cam;
    if (!v.contains("name")) c.fail(path, "missing key \"name\"");
    cam.name = c.text(v["name"], path + ".name");
    if (!IsCameraName(cam.name))
        c.fail(path + ".name", "\"" + cam.name + "\" is not a camera name (1 to " + std::to_string(kMaxCameraName) +
                                   " of A-Z, a-z, 0-9, _ and -)");
    if (!v.contains("source")) c.fail(path, "missing key \"source\" (the camera's stream URL)");
    cam.source = c.text(v["source"], path + ".source");
    if (!IsLiveInput(cam.source))
        c.fail(path + ".source", "expected a stream URL (rtsp://, http://, udp://, srt://, ...) or a camera device "
                                 "(/dev/video*), got \"" + cam.source + "\"");
    if (!v.contains("areas")) c.fail(path, "missing key \"areas\" (the camera's areas file)");
    cam.areas = c.file(v["areas"], path + ".areas");
    if (v.contains("stall")) cam.live.stallSeconds = c.number(v["stall"], path + ".stall", 0.1, 3600.0);
    if (v.contains("max_retries"))
        cam.live.maxRetries = c.integer(v["max_retries"], path + ".max_retries", -1, 1000000000);
    if (v.contains("retry_max_delay"))
        cam.live.retryMax = std::chrono::milliseconds(
            std::llround(c.number(v["retry_max_delay"], path + ".retry_max_delay", 0.5, 86400.0) * 1000.0));
    if (v.contains("stream")) cam.stream = c.integer(v["stream"], path + ".stream", -1, 1000);
    return cam;
}

SiteMqtt ParseMqtt(const SiteChecker& c, const json& v, const std::string& path) {
    SiteMqtt m;
    if (v.is_string()) {
        m.url = c.text(v, path);
    } else {
        c.object(v, path, {"url", "user", "password_file", "ca", "cert", "key", "client_id"});
        if (!v.contains("url")) c.fail(path, "missing key \"url\"");
        m.url = c.text(v["url"], path + ".url");
        if (v.contains("user")) m.user = c.text(v["user"], path + ".user");
        if (v.contains("password_file")) m.passwordFile = c.file(v["password_file"], path + ".password_file");
        if (v.contains("ca")) m.caFile = c.file(v["ca"], path + ".ca");
        if (v.contains("cert")) m.certFile = c.file(v["cert"], path + ".cert");
        if (v.contains("key")) m.keyFile = c.file(v["key"], path + ".key");
        if (v.contains("client_id")) m.clientId = c.text(v["client_id"], path + ".client_id");
        if (m.certFile.empty() != m.keyFile.empty()) c.fail(path, "\"cert\" and \"key\" go together");
    }
    try {
        ParseMqttUrl(m.url);
    } catch (const ToolError& e) {
        c.fail(path, e.what());
    }
    return m;
}

SiteWebhook ParseWebhook(const SiteChecker& c, const json& v, const std::string& path) {
    SiteWebhook w;
    if (v.is_string()) {
        w.url = c.text(v, path);
    } else {
        c.object(v, path, {"url", "headers_file", "timeout"});
        if (!v.contains("url")) c.fail(path, "missing key \"url\"");
        w.url = c.text(v["url"], path + ".url");
        if (v.contains("headers_file")) w.headersFile = c.file(v["headers_file"], path + ".headers_file");
        if (v.contains("timeout")) w.timeout = c.number(v["timeout"], path + ".timeout", 0.1, 3600.0);
    }
    try {
        CheckWebhookUrl(w.url);
    } catch (const ToolError& e) {
        c.fail(path, e.what());
    }
    return w;
}

void ParseEvents(const SiteChecker& c, const json& v, SiteConfig& site) {
    const std::string path = "$.events";
    c.object(v, path, {"dir", "mqtt", "webhook"});
    if (v.contains("dir")) site.eventsDir = c.file(v["dir"], path + ".dir");
    const json& mqtt = c.list(v, "mqtt", path + ".mqtt");
    for (std::size_t i = 0; i < mqtt.size(); ++i)
        site.mqtt.push_back(ParseMqtt(c, mqtt[i], path + ".mqtt[" + std::to_string(i) + "]"));
    const json& hooks = c.list(v, "webhook", path + ".webhook");
    for (std::size_t i = 0; i < hooks.size(); ++i)
        site.webhooks.push_back(ParseWebhook(c, hooks[i], path + ".webhook[" + std::to_string(i) + "]"));
}

// A topic prefix Home Assistant subscribes below: levels without
// wildcards, no empty level.
bool IsTopicPrefix(const std::string& s) {
    if (s.empty() || s.front() == '/' || s.back() == '/' || s.find("//") != std::string::npos) return false;
    return s.find_first_of("+#") == std::string::npos;
}

void ParseHomeAssistant(const SiteChecker& c, const json& v, SiteConfig& site) {
    const std::string path = "$.homeassistant";
    c.object(v, path, {"discovery_prefix", "node_id"});
    SiteHomeAssistant& ha = site.homeAssistant;
    ha.enabled = true;
    if (v.contains("discovery_prefix")) {
        ha.discoveryPrefix = c.text(v["discovery_prefix"], path + ".discovery_prefix");
        if (!IsTopicPrefix(ha.discoveryPrefix))
            c.fail(path + ".discovery_prefix", "\"" + ha.discoveryPrefix +
                                                   "\" is not a topic prefix (levels split by '/', none empty, "
                                                   "no '+' or '#')");
    }
    if (v.contains("node_id")) {
        ha.nodeId = c.text(v["node_id"], path + ".node_id");
        if (!IsCameraName(ha.nodeId))
            c.fail(path + ".node_id", "\"" + ha.nodeId + "\" is not a node id (1 to " +
                                          std::to_string(kMaxCameraName) + " of A-Z, a-z, 0-9, _ and -)");
    }
    if (site.mqtt.empty())
        c.fail(path, "needs an MQTT receiver in \"events.mqtt\": Home Assistant is reached through its broker");
}

// As `run --stats-interval`: any finite number of seconds above 0.
double ParseStatsInterval(const SiteChecker& c, const json& v) {
    const std::string path = "$.stats_interval";
    const std::string wanted = "expected a number of seconds greater than 0";
    if (!v.is_number()) c.fail(path, wanted + ", got " + SiteChecker::describe(v));
    const double d = v.get<double>();
    if (!std::isfinite(d) || d <= 0) c.fail(path, wanted + ", got " + v.dump());
    return d;
}

}  // namespace

bool SiteCamera::operator==(const SiteCamera& o) const {
    return name == o.name && source == o.source && areas == o.areas && stream == o.stream &&
           live.reconnect == o.live.reconnect && live.maxRetries == o.live.maxRetries &&
           live.retryFirst == o.live.retryFirst && live.retryMax == o.live.retryMax &&
           live.stallSeconds == o.live.stallSeconds;
}

bool IsCameraName(const std::string& name) {
    if (name.empty() || name.size() > kMaxCameraName) return false;
    for (char ch : name) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '_' || ch == '-';
        if (!ok) return false;
    }
    return true;
}

SiteConfig ParseSite(const std::string& text, const std::string& source) {
    const json doc = ParseJsonText(text, source);
    const SiteChecker c(source, fs::path(source).parent_path());
    c.object(doc, "$", {"listen", "auth", "cameras", "events", "stats_interval", "homeassistant"});
    SiteConfig site;
    if (doc.contains("listen")) ParseListen(c, doc["listen"], site);
    if (doc.contains("auth")) site.authFile = c.file(doc["auth"], "$.auth");
    // Beyond the loopback the page, the API and the metrics would be open
    // to anyone on the network.
    if (!IsLoopback(site.host) && site.authFile.empty())
        c.fail("$.listen", "listening on " + site.host + " needs \"auth\": a password file made with "
                           "'tarvocoil passwd FILE USER'");
    if (!doc.contains("cameras")) c.fail("$", "missing key \"cameras\" (a list of cameras)");
    const json& cams = c.list(doc, "cameras", "$.cameras");
    if (cams.empty()) c.fail("$.cameras", "expected at least one camera");
    std::set<std::string> names;
    for (std::size_t i = 0; i < cams.size(); ++i) {
        const std::string path = "$.cameras[" + std::to_string(i) + "]";
        SiteCamera cam = ParseCamera(c, cams[i], path);
        if (!names.insert(cam.name).second)
            c.fail(path + ".name", "a second camera named \"" + cam.name + "\" (names must be unique)");
        site.cameras.push_back(std::move(cam));
    }
    if (doc.contains("events")) ParseEvents(c, doc["events"], site);
    if (doc.contains("stats_interval")) site.statsInterval = ParseStatsInterval(c, doc["stats_interval"]);
    if (doc.contains("homeassistant")) ParseHomeAssistant(c, doc["homeassistant"], site);
    return site;
}

SiteConfig LoadSiteFile(const std::string& path) {
    return ParseSite(ReadInputFile(path, "site file", kMaxSiteFileBytes), path);
}

}  // namespace tarvotool
