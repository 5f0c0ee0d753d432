// site_file.h - the site file of `serve`: a site's cameras, where their
// events go and where the service listens.
//
//   {"listen": "127.0.0.1:8770", "auth": "site.passwd",
//    "cameras": [{"name": "north", "source": "rtsp://10.0.0.21/stream1", "areas": "north.areas.json",
//                 "stall": 10, "max_retries": -1, "retry_max_delay": 30, "stream": -1}],
//    "events": {"dir": "events",
//               "mqtt": ["mqtt://broker.site/site/events",
//                        {"url": "mqtts://broker.site/site/events", "user": "cam",
//                         "password_file": "mqtt.pass", "ca": "site-ca.pem"}],
//               "webhook": [{"url": "https://collector.site/hooks", "headers_file": "hook.headers"}]},
//    "stats_interval": 60,
//    "homeassistant": {"discovery_prefix": "homeassistant", "node_id": "gate-a"}}
//
// "stats_interval": seconds of each camera's traffic intervals (wall-clock,
// aligned to UTC, as `run --stats-interval` on a live stream; default 60).
// "auth" names a password file (`tarvocoil passwd`): the page, the API and
// /metrics then want HTTP Basic credentials. Listening beyond the loopback
// requires it. Paths are relative to the site file's folder. A receiver is a URL or an
// object with one. A camera's live options are `run`'s long options in
// snake_case. Keys starting with "_" are comments; any other unknown key is
// an error, as in areas files. "homeassistant" publishes the cameras to Home
// Assistant on the first MQTT receiver's broker. Camera names become file names, MQTT topics
// and metric labels, hence their narrow alphabet.
#ifndef TARVOCOIL_TOOLS_SERVE_SITE_FILE_H
#define TARVOCOIL_TOOLS_SERVE_SITE_FILE_H

#include <cstddef>
#include <string>
#include <vector>

#include "tools/live/live_source.h"

namespace tarvotool {

constexpr std::size_t kMaxCameraName = 64;
constexpr std::size_t kMaxSiteFileBytes = std::size_t{4} << 20;
constexpr int kDefaultServePort = 8770;
constexpr double kDefaultStatsInterval = 60.0;

struct SiteCamera {
    std::string name;
    std::string source;  // a stream URL or a camera device
    std::string areas;   // the areas file, resolved against the site file's folder
    LiveOptions live;
    int stream = -1;     // the video stream to read (-1: the best)

    bool operator==(const SiteCamera& o) const;
    bool operator!=(const SiteCamera& o) const { return !(*this == o); }
};

struct SiteMqtt {
    std::string url;
    std::string user;
    std::string passwordFile;  // its first line is the password
    std::string caFile, certFile, keyFile;
    std::string clientId;
};

struct SiteWebhook {
    std::string url;
    std::string headersFile;  // one "Name: value" per line
    double timeout = 10.0;
};

// Home Assistant discovery, on the broker of the first MQTT receiver.
struct SiteHomeAssistant {
    bool enabled = false;
    std::string discoveryPrefix = "homeassistant";
    std::string nodeId;  // empty: the host name, reduced to A-Z a-z 0-9 _ -
};

struct SiteConfig {
    std::string host = "127.0.0.1";
    int port = kDefaultServePort;
    std::string authFile;  // empty: no credentials asked (loopback only)
    std::vector<SiteCamera> cameras;
    std::string eventsDir;  // empty: events go to the receivers only
    std::vector<SiteMqtt> mqtt;
    std::vector<SiteWebhook> webhooks;
    double statsInterval = kDefaultStatsInterval;
    SiteHomeAssistant homeAssistant;
};

// Whether `name` is 1..kMaxCameraName of A-Z, a-z, 0-9, '_' and '-'.
bool IsCameraName(const std::string& name);

// Parses a site file's text; `source` names it in messages and its folder
// is where relative paths start. Throws ToolError with the file, the JSON
// path and what was expected.
SiteConfig ParseSite(const std::string& text, const std::string& source);
// Reads and parses the file.
SiteConfig LoadSiteFile(const std::string& path);

}  // namespace tarvotool

#endif
