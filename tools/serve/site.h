// site.h - every camera of a site, started, stopped and restarted as the
// site file says.
#ifndef TARVOCOIL_TOOLS_SERVE_SITE_H
#define TARVOCOIL_TOOLS_SERVE_SITE_H

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/events/delivery.h"
#include "tools/events/mqtt_client.h"
#include "tools/serve/camera.h"
#include "tools/serve/ha_publisher.h"
#include "tools/serve/http_auth.h"
#include "tools/serve/site_file.h"

namespace tarvotool {

// How the last reload went.
struct ReloadResult {
    bool ok = true;
    std::string message;  // the parser's message, or what changed
    std::chrono::system_clock::time_point at;
};

class Site {
public:
    // Checks the events folder (throws ToolError) and starts the receivers
    // and every camera. A camera whose areas file does not parse is shown
    // stopped with the message; the others run.
    Site(std::string path, SiteConfig config, WarnFn warn);
    ~Site();
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // The credentials the web server checks: a reload reads the site's
    // password file again into it (not owned; null without one).
    void setAuth(BasicAuth* auth) { auth_ = auth; }

    // Reads the site file, every areas file and the password file again.
    // When any fails to parse or read, everything keeps running as it is;
    // otherwise cameras that are new start, removed ones stop (their
    // events flushed), changed ones (their entry or their areas file, or
    // the site's stats interval) restart, writing their open traffic
    // interval first, and the others go on untouched. Thread-safe.
    ReloadResult reload();
    ReloadResult lastReload() const;
    // Reads the named camera's areas file again and restarts that camera
    // alone when it changed (a save from its editor), with its entry of
    // the site file as it runs; the other cameras and the site file are
    // left as they are. A file that does not parse keeps the camera
    // running as it is (ok false, the parser's message). Thread-safe.
    ReloadResult reloadCamera(const std::string& name);

    // The named camera as it runs now (a reload may replace it later);
    // null when there is none.
    std::shared_ptr<Camera> camera(const std::string& name) const;

    std::vector<CameraStatus> status() const;
    // The named camera's latest picture (see Camera::picture); empty when
    // there is no such camera or no picture yet.
    std::optional<BgrImage> picture(const std::string& camera);
    const SiteConfig& config() const { return config_; }
    std::chrono::system_clock::time_point startedAt() const { return startedAt_; }

    // Stops every camera, then lets the receivers send what they hold for
    // up to `flush`.
    void stop(std::chrono::milliseconds flush);

private:
    struct Loaded {
        SiteCamera config;
        AreasConfig areas;
        std::string areasText;
        std::string error;  // the areas file's parser, when it failed
    };
    static Loaded LoadCamera(const SiteCamera& config);
    // Tells Home Assistant which cameras and coils there are now.
    void announce(const std::vector<Loaded>& cameras);
    std::shared_ptr<Camera> makeCamera(Loaded loaded);

    const std::string path_;
    SiteConfig config_;
    WarnFn warn_;
    Delivery delivery_;
    std::unique_ptr<HaPublisher> homeAssistant_;  // null unless the site asks for it
    BasicAuth* auth_ = nullptr;
    const std::chrono::system_clock::time_point startedAt_;
    std::map<std::string, std::shared_ptr<EventStamper>> stampers_;
    mutable std::mutex mu_;  // the cameras and the last reload
    std::mutex reloadMu_;    // one reload at a time
    std::vector<std::shared_ptr<Camera>> cameras_;
    ReloadResult lastReload_;
    bool stopped_ = false;
};

// Receivers of the site's events from its site file entries; throws
// ToolError when a password or headers file cannot be read.
std::vector<std::unique_ptr<Sink>> SiteReceivers(const SiteConfig& site, WarnFn warn);
// The connection settings of an MQTT receiver (its password file read).
MqttSettings SiteMqttSettings(const SiteMqtt& m);
// The Home Assistant publisher the site file asks for, not started; null
// when it asks for none.
std::unique_ptr<HaPublisher> SiteHomeAssistantPublisher(const SiteConfig& site, WarnFn warn);

}  // namespace tarvotool

#endif
