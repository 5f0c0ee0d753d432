// site.cpp - the cameras of a site, its receivers and its reloads.
#include "tools/serve/site.h"

#include <algorithm>
#include <set>

#include "host/errors.h"
#include "host/input_file.h"
#include "tools/events/mqtt_sink.h"
#include "tools/events/webhook_sink.h"

namespace tarvotool {

namespace {

constexpr std::size_t kMaxSecretFileBytes = 64 * 1024;

std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string FirstLine(const std::string& path, const std::string& what) {
    const std::vector<std::string> lines = TextLines(ReadInputFile(path, what, kMaxSecretFileBytes));
    return lines.empty() ? std::string() : lines.front();
}

// "Name: value" lines; empty lines and lines starting with '#' are skipped.
std::vector<std::string> HeaderLines(const std::string& path) {
    std::vector<std::string> headers;
    int n = 0;
    for (const std::string& line : TextLines(ReadInputFile(path, "webhook headers file", kMaxSecretFileBytes))) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || line.find_first_of(" \t") < colon)
            throw ToolError("webhook headers file '" + path + "': line " + std::to_string(n) +
                            ": expected \"Name: value\"");
        headers.push_back(line);
    }
    return headers;
}

}  // namespace

MqttSettings SiteMqttSettings(const SiteMqtt& m) {
    MqttSettings settings;
    settings.clientId = m.clientId;
    settings.user = m.user;
    if (!m.passwordFile.empty()) settings.password = FirstLine(m.passwordFile, "MQTT password file");
    settings.caFile = m.caFile;
    settings.certFile = m.certFile;
    settings.keyFile = m.keyFile;
    return settings;
}

std::unique_ptr<HaPublisher> SiteHomeAssistantPublisher(const SiteConfig& site, WarnFn warn) {
    if (!site.homeAssistant.enabled || site.mqtt.empty()) return nullptr;
    const SiteHomeAssistant& ha = site.homeAssistant;
    MqttSettings settings = SiteMqttSettings(site.mqtt.front());
    // A connection of its own beside the events receiver's: two clients
    // with one id would throw each other off the broker.
    if (!settings.clientId.empty()) settings.clientId += "-ha";
    HaTopics topics(ha.discoveryPrefix, ha.nodeId.empty() ? DefaultHaNodeId() : ha.nodeId);
    return std::make_unique<HaPublisher>(std::move(topics), ParseMqttUrl(site.mqtt.front().url), settings, warn);
}

std::vector<std::unique_ptr<Sink>> SiteReceivers(const SiteConfig& site, WarnFn warn) {
    std::vector<std::unique_ptr<Sink>> sinks;
    for (const SiteMqtt& m : site.mqtt)
        sinks.push_back(
            std::make_unique<MqttSink>(ParseMqttUrl(m.url), SiteMqttSettings(m), kDefaultQueueEvents, warn));
    for (const SiteWebhook& w : site.webhooks) {
        WebhookSettings settings;
        settings.timeout = std::chrono::milliseconds(static_cast<int64_t>(w.timeout * 1000.0));
        if (!w.headersFile.empty()) settings.headers = HeaderLines(w.headersFile);
        sinks.push_back(std::make_unique<WebhookSink>(w.url, settings, kDefaultQueueEvents, warn));
    }
    return sinks;
}

Site::Loaded Site::LoadCamera(const SiteCamera& config) {
    Loaded l;
    l.config = config;
    try {
        l.areasText = ReadInputFile(config.areas, "areas file", kMaxAreasFileBytes);
        l.areas = ParseAreas(l.areasText, config.areas);
    } catch (const ToolError& e) {
        l.error = e.what();
    }
    return l;
}

std::shared_ptr<Camera> Site::makeCamera(Loaded loaded) {
    std::shared_ptr<EventStamper>& stamper = stampers_[loaded.config.name];
    if (!stamper) stamper = std::make_shared<EventStamper>();
    CameraEnv env{config_.eventsDir, delivery_.empty() ? nullptr : &delivery_, stamper, warn_, config_.statsInterval,
                  homeAssistant_.get()};
    for (const std::string& w : loaded.areas.warnings) warn_(loaded.config.areas + ": " + w);
    auto cam = std::make_shared<Camera>(std::move(loaded.config), std::move(loaded.areas), std::move(loaded.areasText),
                                        env, loaded.error);
    if (!loaded.error.empty()) warn_("camera '" + cam->config().name + "' not started: " + loaded.error);
    cam->start();
    return cam;
}

Site::Site(std::string path, SiteConfig config, WarnFn warn)
    : path_(std::move(path)), config_(std::move(config)), warn_(std::move(warn)), delivery_(warn_),
      startedAt_(std::chrono::system_clock::now()) {
    if (!config_.eventsDir.empty()) CheckEventsDir(config_.eventsDir);
    for (auto& sink : SiteReceivers(config_, warn_)) delivery_.add(std::move(sink));
    homeAssistant_ = SiteHomeAssistantPublisher(config_, warn_);
    std::vector<Loaded> loaded;
    for (const SiteCamera& c : config_.cameras) loaded.push_back(LoadCamera(c));
    announce(loaded);
    if (homeAssistant_) homeAssistant_->start();
    for (Loaded& l : loaded) cameras_.push_back(makeCamera(std::move(l)));
    lastReload_.at = startedAt_;
    lastReload_.message = "started with " + std::to_string(cameras_.size()) + " cameras";
}

void Site::announce(const std::vector<Loaded>& cameras) {
    if (!homeAssistant_) return;
    std::vector<HaCamera> all;
    for (const Loaded& l : cameras) {
        all.push_back(HaCamera{l.config.name, {}});
        for (const AreaSpec& a : l.areas.areas) all.back().coils.push_back(a.name);
    }
    homeAssistant_->setCameras(all);
}

Site::~Site() { stop(std::chrono::milliseconds(1000)); }

ReloadResult Site::reload() {
    std::lock_guard<std::mutex> one(reloadMu_);
    ReloadResult r;
    r.at = std::chrono::system_clock::now();
    SiteConfig nextConfig;
    std::vector<Loaded> loaded;
    PasswordHashes users;
    try {
        nextConfig = LoadSiteFile(path_);
        for (const SiteCamera& c : nextConfig.cameras) {
            loaded.push_back(LoadCamera(c));
            if (!loaded.back().error.empty()) throw ToolError(loaded.back().error);
        }
        // `tarvocoil passwd` changes take effect here, without a restart.
        if (auth_ && !nextConfig.authFile.empty()) users = ReadPasswordFile(nextConfig.authFile);
    } catch (const ToolError& e) {
        r.ok = false;
        r.message = std::string("reload refused, the running configuration stays: ") + e.what();
        warn_(r.message);
        std::lock_guard<std::mutex> lock(mu_);
        lastReload_ = r;
        return r;
    }
    if (nextConfig.host != config_.host || nextConfig.port != config_.port ||
        nextConfig.eventsDir != config_.eventsDir || nextConfig.mqtt.size() != config_.mqtt.size() ||
        nextConfig.webhooks.size() != config_.webhooks.size() ||
        nextConfig.authFile.empty() != config_.authFile.empty() ||
        nextConfig.homeAssistant.enabled != config_.homeAssistant.enabled ||
        nextConfig.homeAssistant.discoveryPrefix != config_.homeAssistant.discoveryPrefix ||
        nextConfig.homeAssistant.nodeId != config_.homeAssistant.nodeId)
        warn_("reload: changes to \"listen\", \"events\", \"homeassistant\" and whether there is \"auth\" take "
              "effect when the service restarts");
    if (auth_ && !nextConfig.authFile.empty()) auth_->setUsers(std::move(users));
    // A camera that restarts writes its open interval; one that goes on
    // keeps its interval and its counts.
    const bool sameInterval = nextConfig.statsInterval == config_.statsInterval;
    config_.statsInterval = nextConfig.statsInterval;

    announce(loaded);
    std::vector<std::shared_ptr<Camera>> old;
    {
        std::lock_guard<std::mutex> lock(mu_);
        old = cameras_;
    }
    auto running = [&](const std::string& name) {
        auto it = std::find_if(old.begin(), old.end(), [&](const auto& c) { return c->config().name == name; });
        return it == old.end() ? nullptr : *it;
    };
    std::set<std::string> names;
    for (const Loaded& l : loaded) names.insert(l.config.name);
    std::vector<std::string> started, stopped, restarted;
    // What goes stops first (its events flushed), so that a restarted
    // camera never has two connections or two writers at once.
    for (const auto& cam : old) {
        if (names.count(cam->config().name)) continue;
        stopped.push_back(cam->config().name);
        cam->stop();
    }
    std::vector<std::shared_ptr<Camera>> next;
    for (Loaded& l : loaded) {
        const std::shared_ptr<Camera> was = running(l.config.name);
        if (was && sameInterval && was->config() == l.config && was->areasText() == l.areasText) {
            next.push_back(was);
            continue;
        }
        if (was) {
            restarted.push_back(l.config.name);
            was->stop();
        } else {
            started.push_back(l.config.name);
        }
        next.push_back(makeCamera(std::move(l)));
    }
    auto list = [](const char* what, const std::vector<std::string>& names) {
        std::string s;
        for (const std::string& n : names) s += (s.empty() ? std::string(what) + " " : ", ") + n;
        return s.empty() ? s : s + "; ";
    };
    r.message = list("started", started) + list("stopped", stopped) + list("restarted", restarted);
    if (r.message.empty()) r.message = "nothing changed";
    else r.message.resize(r.message.size() - 2);
    warn_("reload: " + r.message);
    std::lock_guard<std::mutex> lock(mu_);
    cameras_ = std::move(next);
    config_.cameras = std::move(nextConfig.cameras);
    lastReload_ = r;
    return r;
}

ReloadResult Site::reloadCamera(const std::string& name) {
    std::lock_guard<std::mutex> one(reloadMu_);
    ReloadResult r;
    r.at = std::chrono::system_clock::now();
    const std::shared_ptr<Camera> was = camera(name);
    if (!was) {
        r.ok = false;
        r.message = "no camera '" + name + "'";
        return r;
    }
    Loaded l = LoadCamera(was->config());
    if (!l.error.empty()) {
        r.ok = false;
        r.message = "camera '" + name + "' keeps running as it was: " + l.error;
    } else if (l.areasText == was->areasText()) {
        r.message = "nothing changed";
    } else {
        // Stopped first: one camera never has two connections or two writers.
        was->stop();
        std::shared_ptr<Camera> next = makeCamera(std::move(l));
        std::lock_guard<std::mutex> lock(mu_);
        std::replace(cameras_.begin(), cameras_.end(), was, next);
        r.message = "restarted " + name;
    }
    warn_("reload: " + r.message);
    std::lock_guard<std::mutex> lock(mu_);
    lastReload_ = r;
    return r;
}

std::shared_ptr<Camera> Site::camera(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& c : cameras_)
        if (c->config().name == name) return c;
    return nullptr;
}

ReloadResult Site::lastReload() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lastReload_;
}

std::vector<CameraStatus> Site::status() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<CameraStatus> all;
    for (const auto& c : cameras_) all.push_back(c->status());
    return all;
}

std::optional<BgrImage> Site::picture(const std::string& camera) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& c : cameras_)
        if (c->config().name == camera) return c->picture();
    return std::nullopt;
}

void Site::stop(std::chrono::milliseconds flush) {
    std::lock_guard<std::mutex> one(reloadMu_);
    std::vector<std::shared_ptr<Camera>> cams;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopped_) return;
        stopped_ = true;
        cams.swap(cameras_);
    }
    for (auto& c : cams) c->stop();
    if (homeAssistant_) homeAssistant_->stop(flush);
    for (const SinkStats& s : delivery_.close(flush))
        if (s.dropped || s.undelivered || s.rejected) warn_(DescribeSinkStats(s));
}

}  // namespace tarvotool
