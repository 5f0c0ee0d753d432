// serve_run_test.cpp - `tarvocoil serve` on three live streams that ffmpeg
// serves on 127.0.0.1: events per camera, a stream killed and back while
// the others go on, /metrics against the events written, a reload that
// restarts one camera only, and the refusals of its web server.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/tool/stream_server.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kCameras = {"north", "east", "south"};

// The clip's coils with the first two as a pair: north measures vehicles.
std::string PairedAreas() {
    std::string areas = ClipAreasJson();
    areas.replace(areas.rfind(']'), 1,
                  R"(], "pairs": [{"name": "p", "from": "left, \"A\"", "to": "right", "distance": 5, "max_time": 5}])");
    return areas;
}

// The UTC hour: traffic intervals of 3600 s close when it changes.
int64_t UtcHour() {
    return std::chrono::duration_cast<std::chrono::hours>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Per coil name, the triggers and the counts of the stats rows among `events`.
std::map<std::string, std::pair<int64_t, int64_t>> TriggersAndRowCounts(const std::vector<json>& events) {
    std::map<std::string, std::pair<int64_t, int64_t>> out;
    for (const json& e : events) {
        if (e.at("event") == "trigger") ++out[e.at("name").get<std::string>()].first;
        if (e.at("event") == "stats") out[e.at("name").get<std::string>()].second += e.at("count").get<int64_t>();
    }
    return out;
}

// Every complete event line of a camera's files, oldest file first.
std::vector<json> CameraEvents(const std::string& dir, const std::string& camera) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(camera + "-", 0) == 0) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<json> events;
    for (const std::string& f : files)
        for (const std::string& line : Lines(ReadFile(f)))
            if (!line.empty() && line.back() == '}') events.push_back(json::parse(line));
    return events;
}

std::size_t Count(const std::vector<json>& events, const std::string& kind) {
    return std::count_if(events.begin(), events.end(), [&](const json& e) { return e.at("event") == kind; });
}


// The service started on a site of three cameras, each on a stream of its own.
class Service {
public:
    // With a user, the site asks for credentials (the password "open: sesame").
    explicit Service(const std::vector<std::string>& cameras = kCameras, const std::string& user = "")
        : dir_(Scratch(user.empty() ? "serve-site" : "serve-site-auth")) {
        fs::create_directories(dir_);
        std::string cams, auth;
        if (!user.empty()) {
            WriteFile(dir_ + "/pw", "open: sesame\n");
            RunCli({"passwd", dir_ + "/site.passwd", user}, dir_ + "/pw");
            auth = R"("auth": "site.passwd", )";
        }
        for (const std::string& name : cameras) {
            streams_[name] = std::make_unique<StreamServer>(ClipPath());
            streams_[name]->start();
            WriteFile(dir_ + "/" + name + ".areas.json", name == "north" ? PairedAreas() : ClipAreasJson());
            cams += std::string(cams.empty() ? "" : ",") + R"({"name": ")" + name + R"(", "source": ")" +
                    streams_[name]->url() + R"(", "areas": ")" + name + R"(.areas.json", "stall": 1.5,
                     "retry_max_delay": 1})";
        }
        // Intervals of an hour: within the test only a restart closes one.
        WriteFile(site(), R"({"listen": "127.0.0.1:0", )" + auth + R"("cameras": [)" + cams +
                              R"(], "events": {"dir": "events"}, "stats_interval": 3600})");
        out_ = dir_ + "/serve.out";
        err_ = dir_ + "/serve.err";
        pid_ = StartCli({"serve", site(), "--flush-timeout", "1"}, out_, err_);
        const std::regex url("http://127\\.0\\.0\\.1:([0-9]+)/");
        std::smatch m;
        WaitUntil([&] {
            const std::string text = ReadFile(out_);
            if (!std::regex_search(text, m, url)) return false;
            port_ = std::stoi(m[1]);
            return true;
        }, 30s);
        if (port_ > 0) {
            client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
            client_->set_read_timeout(30, 0);
            if (!user.empty()) client_->set_basic_auth(user, "open: sesame");
        }
    }
    ~Service() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            WaitCli(pid_, 10);
        }
    }
    std::string site() const { return dir_ + "/site.json"; }
    std::string dir() const { return dir_; }
    std::string events() const { return dir_ + "/events"; }
    std::string err() const { return ReadFile(err_); }
    int port() const { return port_; }
    int pid() const { return pid_; }
    void forget() { pid_ = -1; }
    StreamServer& stream(const std::string& name) { return *streams_.at(name); }
    httplib::Client& http() { return *client_; }

    json status() {
        auto res = client_->Get("/api/status");
        return res && res->status == 200 ? json::parse(res->body) : json();
    }
    json camera(const std::string& name) {
        const json s = status();
        if (s.is_null()) return json();
        for (const json& c : s.at("cameras"))
            if (c.at("name") == name) return c;
        return json();
    }
    uint64_t frames(const std::string& name) {
        const json c = camera(name);
        return c.is_null() ? 0 : c.at("frames").get<uint64_t>();
    }

private:
    std::string dir_, out_, err_;
    int pid_ = -1, port_ = 0;
    std::map<std::string, std::unique_ptr<StreamServer>> streams_;
    std::unique_ptr<httplib::Client> client_;
};

// Per camera and coil, the triggers /metrics reports.
std::map<std::string, uint64_t> MetricTriggers(const std::string& text) {
    std::map<std::string, uint64_t> out;
    const std::regex sample(R"re(^tarvocoil_coil_triggers_total\{camera="([^"]+)",coil="((?:[^"\\]|\\.)*)"\} ([0-9]+)$)re");
    for (const std::string& line : Lines(text)) {
        std::smatch m;
        if (std::regex_match(line, m, sample)) {
            std::string coil = std::regex_replace(m[2].str(), std::regex(R"(\\")"), "\"");
            out[m[1].str() + "/" + coil] = std::stoull(m[3]);
        }
    }
    return out;
}

}  // namespace

TEST(Serve, ThreeCamerasLossAndReturnMetricsReloadAndRefusals) {
    Service s;
    ASSERT_GT(s.port(), 0) << s.err();
    for (const std::string& name : kCameras)
        ASSERT_TRUE(WaitUntil([&] { return Count(CameraEvents(s.events(), name), "trigger") >= 2; }, 40s))
            << name << ": " << s.err();
    for (const std::string& name : kCameras)
        for (const json& e : CameraEvents(s.events(), name)) EXPECT_EQ(e.at("camera"), name);

    // The page's server answers only its own address, and POSTs of its own page.
    const std::string self = "127.0.0.1:" + std::to_string(s.port());
    auto res = s.http().Get("/api/status", {{"Host", "evil.example:" + std::to_string(s.port())}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = s.http().Post("/api/reload", {{"Origin", "http://evil.example"}}, "{}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = s.http().Post("/api/reload", "{}", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415);
    res = s.http().Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("serve.js"), std::string::npos);

    // One stream dies: its camera is lost, the others keep counting; it comes back.
    s.stream("north").kill();
    ASSERT_TRUE(WaitUntil([&] { return s.camera("north").value("state", "") != "running"; }, 20s)) << s.err();
    const uint64_t east = s.frames("east"), south = s.frames("south");
    ASSERT_TRUE(WaitUntil([&] { return s.frames("east") > east + 25 && s.frames("south") > south + 25; }, 20s));
    EXPECT_NE(s.camera("north").value("state", ""), "running");
    s.stream("north").start();
    ASSERT_TRUE(WaitUntil([&] {
        const json c = s.camera("north");
        return !c.is_null() && c.at("state") == "running" && c.at("reconnects") == 1;
    }, 30s)) << s.err();
    const std::vector<json> north = CameraEvents(s.events(), "north");
    EXPECT_EQ(Count(north, "stream-lost"), 1u);
    EXPECT_EQ(Count(north, "stream-restored"), 1u);
    EXPECT_EQ(s.camera("east").at("reconnects"), 0);

    // With every stream gone the counts stand still: /metrics equals the files.
    for (const std::string& name : kCameras) s.stream(name).kill();
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& name : kCameras)
            if (s.camera(name).value("state", "") == "running") return false;
        return true;
    }, 20s));
    res = s.http().Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    const std::map<std::string, uint64_t> metrics = MetricTriggers(res->body);
    std::map<std::string, uint64_t> written;
    for (const std::string& name : kCameras) {
        for (const json& e : CameraEvents(s.events(), name))
            if (e.at("event") == "trigger") ++written[name + "/" + e.at("name").get<std::string>()];
    }
    EXPECT_EQ(metrics.size(), 9u) << res->body;
    for (const auto& [key, n] : metrics) EXPECT_EQ(n, written[key]) << key;
    // Every reported trigger is in a closed interval's stats event or in
    // the open interval's count; vehicles are the vehicle events.
    for (const std::string& name : kCameras) {
        const std::vector<json> events = CameraEvents(s.events(), name);
        const auto counted = TriggersAndRowCounts(events);
        const json camera = s.camera(name);  // the loop below reads into it
        for (const json& coil : camera.at("coils")) {
            const auto it = counted.find(coil.at("name").get<std::string>());
            const auto [triggers, rows] = it == counted.end() ? std::pair<int64_t, int64_t>{} : it->second;
            EXPECT_EQ(coil.at("triggers").get<int64_t>(), triggers) << name << coil;
            EXPECT_EQ(rows + coil.at("interval_count").get<int64_t>(), triggers) << name << coil;
            EXPECT_TRUE(coil.at("interval_occupancy_percent").is_number()) << name << coil;
            EXPECT_EQ(coil.at("health"), "ok") << name << coil;
        }
    }
    const json right = s.camera("north").at("coils").at(1);
    EXPECT_EQ(right.at("vehicles").get<std::size_t>(), Count(CameraEvents(s.events(), "north"), "vehicle")) << right;

    // A changed areas file restarts its camera alone.
    for (const std::string& name : kCameras) s.stream(name).start();
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& name : kCameras)
            if (s.camera(name).value("state", "") != "running") return false;
        return true;
    }, 40s)) << s.err();
    const json northBefore = s.camera("north"), southBefore = s.camera("south");
    const int64_t hourBefore = UtcHour();
    const std::size_t northRows = Count(CameraEvents(s.events(), "north"), "stats");
    std::string areas = ClipAreasJson();
    areas.replace(areas.find("\"right\""), 7, "\"right 2\"");
    WriteFile(s.site().substr(0, s.site().rfind('/')) + "/east.areas.json", areas);
    kill(s.pid(), SIGHUP);
    ASSERT_TRUE(WaitUntil([&] {
        const json st = s.status();
        return !st.is_null() && st.at("reload").at("message") == "restarted east";
    }, 20s)) << s.status().dump() << s.err();
    s.stream("east").kill();  // it served its one client, the camera's first run
    s.stream("east").start();
    ASSERT_TRUE(WaitUntil([&] {
        const json c = s.camera("east");
        return !c.is_null() && c.at("state") == "running" && c.at("coils").at(1).at("name") == "right 2";
    }, 30s)) << s.err();
    EXPECT_EQ(s.camera("north").at("running_since"), northBefore.at("running_since"));
    EXPECT_EQ(s.camera("south").at("running_since"), southBefore.at("running_since"));
    EXPECT_GE(s.frames("north"), northBefore.at("frames").get<uint64_t>());
    // East wrote its open interval before it restarted: up to its last stats
    // event, its rows hold every trigger of its first run. The others kept
    // their intervals (unless the hour turned meanwhile).
    const std::vector<json> eastEvents = CameraEvents(s.events(), "east");
    std::size_t lastRow = 0;
    for (std::size_t i = 0; i < eastEvents.size(); ++i)
        if (eastEvents[i].at("event") == "stats") lastRow = i;
    ASSERT_GT(lastRow, 0u);
    for (const auto& [coil, counts] : TriggersAndRowCounts({eastEvents.begin(), eastEvents.begin() + lastRow + 1}))
        EXPECT_EQ(counts.second, counts.first) << coil;
    EXPECT_EQ(eastEvents[lastRow].at("name"), "bottom");
    if (UtcHour() == hourBefore) {
        // The new east counts afresh: its interval holds its own triggers only.
        const json eastNow = s.camera("east");
        for (const json& coil : eastNow.at("coils"))
            EXPECT_EQ(coil.at("interval_count"), coil.at("triggers")) << coil;
        EXPECT_EQ(Count(CameraEvents(s.events(), "north"), "stats"), northRows);
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_GE(s.camera("north").at("coils").at(k).at("interval_count").get<int64_t>(),
                      northBefore.at("coils").at(k).at("interval_count").get<int64_t>());
    }
    // Ids stay unique per camera across the restart.
    std::set<uint64_t> ids;
    for (const json& e : CameraEvents(s.events(), "east")) EXPECT_TRUE(ids.insert(e.at("id").get<uint64_t>()).second);

    // A reload that does not parse keeps everything running.
    WriteFile(s.site(), "{\"cameras\": [");
    res = s.http().Post("/api/reload", "{}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 422);
    EXPECT_NE(res->body.find("JSON syntax error"), std::string::npos) << res->body;
    EXPECT_EQ(s.status().at("cameras").size(), 3u);

    kill(s.pid(), SIGTERM);
    EXPECT_EQ(WaitCli(s.pid(), 30), 0) << s.err();
    s.forget();
}

TEST(Serve, CredentialsAreAskedForReadAgainOnReloadAndSourcesLostOrNoisy) {
    const std::string dir = Scratch("serve-auth");
    fs::create_directories(dir);
    WriteFile(dir + "/a.areas.json", ClipAreasJson());
    StreamServer noisy(ClipPath(), 500);  // damaged packets: decoding errors
    noisy.start();
    const std::string pw = dir + "/pw";
    WriteFile(pw, "open: sesame\n");
    ASSERT_EQ(RunCli({"passwd", dir + "/site.passwd", "alice"}, pw).status, 0);
    // Port 9 (discard) on the loopback: nothing listens there.
    WriteFile(dir + "/site.json", R"({"listen": "127.0.0.1:0", "auth": "site.passwd",
        "cameras": [{"name": "gone", "source": "http://127.0.0.1:9/none.ts", "areas": "a.areas.json",
                     "stall": 1, "retry_max_delay": 1},
                    {"name": "noisy", "source": ")" + noisy.url() + R"(", "areas": "a.areas.json", "stall": 30}]})");
    const std::string out = dir + "/out", err = dir + "/err";
    const int pid = StartCli({"serve", dir + "/site.json"}, out, err);
    int port = 0;
    const std::regex url("http://127\\.0\\.0\\.1:([0-9]+)/");
    ASSERT_TRUE(WaitUntil([&] {
        std::smatch m;
        const std::string text = ReadFile(out);
        if (!std::regex_search(text, m, url)) return false;
        port = std::stoi(m[1]);
        return true;
    }, 30s)) << ReadFile(err);
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(30, 0);
    auto res = http.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->get_header_value("WWW-Authenticate").rfind("Basic ", 0), 0u);
    http.set_basic_auth("alice", "open: sesame");
    res = http.Get("/api/status");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    // The camera that cannot connect is lost and retried; the service runs.
    ASSERT_TRUE(WaitUntil([&] {
        auto r = http.Get("/api/status");
        if (!r || r->status != 200) return false;
        const std::string state = json::parse(r->body).at("cameras").at(0).at("state");
        return state == "lost" || state == "reconnecting";
    }, 20s));
    // Decoding errors show while the stream still runs (its one connection
    // never ended: no reconnect).
    ASSERT_TRUE(WaitUntil([&] {
        auto r = http.Get("/api/status");
        if (!r || r->status != 200) return false;
        const json cam = json::parse(r->body).at("cameras").at(1);
        return cam.at("decode_errors").get<uint64_t>() > 0 && cam.at("state") == "running" &&
               cam.at("reconnects") == 0;
    }, 30s)) << ReadFile(err);
    httplib::Client wrong("127.0.0.1", port);
    wrong.set_basic_auth("alice", "guess");
    res = wrong.Get("/api/status");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    res = wrong.Get("/api/status");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_FALSE(res->get_header_value("Retry-After").empty());
    res = http.Get("/metrics");  // credentials that passed before still pass
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("tarvocoil_camera_stream_up{camera=\"gone\"} 0"), std::string::npos);

    // A user added with `passwd` passes after a reload, without a restart;
    // a password file that does not read at a reload keeps the old users.
    WriteFile(pw, "b0b\n");
    ASSERT_EQ(RunCli({"passwd", dir + "/site.passwd", "bob"}, pw).status, 0);
    httplib::Client bob("127.0.0.1", port);
    bob.set_basic_auth("bob", "b0b");
    res = http.Post("/api/reload", "{}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    // This address failed above: bob waits out its pause.
    EXPECT_TRUE(WaitUntil([&] {
        res = bob.Get("/api/status");
        return res && res->status == 200;
    }, 40s));
    WriteFile(dir + "/site.passwd", ReadFile(dir + "/site.passwd") + "no colon here\n");
    res = http.Post("/api/reload", "{}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 422);
    EXPECT_NE(res->body.find("site.passwd"), std::string::npos) << res->body;
    res = bob.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitCli(pid, 30), 0) << ReadFile(err);
    EXPECT_NE(ReadFile(dir + "/site.passwd").find("alice:"), std::string::npos);
}

// A camera's editor, through the service: a clip of its running stream
// (each stream serves one client, the camera: a second connection would
// find nothing), the editor's API on it under the service's checks, and a
// save that restarts that camera alone.
TEST(Serve, CameraEditorRecordsFromTheRunningStreamAndSavesForThatCameraAlone) {
    Service s({"north", "east"}, "alice");
    ASSERT_GT(s.port(), 0) << s.err();
    ASSERT_TRUE(WaitUntil([&] {
        return s.camera("north").value("state", "") == "running" && s.camera("east").value("state", "") == "running";
    }, 40s)) << s.err();

    // The editor's routes answer to the service's credentials, Host and Origin checks.
    httplib::Client anonymous("127.0.0.1", s.port());
    auto res = anonymous.Get("/cameras/north/edit/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    res = s.http().Get("/cameras/north/edit/api/info", {{"Host", "evil.example:" + std::to_string(s.port())}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = s.http().Put("/cameras/north/edit/api/areas", {{"Origin", "http://evil.example"}}, "{}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = s.http().Get("/cameras/nobody/edit/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    res = s.http().Get("/cameras/north/edit/?seconds=1e9");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);

    // Opening it records a clip; the page says so until it is complete.
    res = s.http().Get("/cameras/north/edit/?seconds=2");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 202) << res->body;
    EXPECT_NE(res->body.find("Recording a clip of camera north"), std::string::npos);
    json info;
    ASSERT_TRUE(WaitUntil([&] {
        auto r = s.http().Get("/cameras/north/edit/api/info");
        if (r && r->status == 200) info = json::parse(r->body);
        return r && r->status != 503;
    }, 30s)) << s.err();
    ASSERT_TRUE(info.is_object()) << s.err();
    EXPECT_EQ(info.at("live"), "camera north");
    EXPECT_GT(info.at("frames").get<int64_t>(), 25);  // 2 s of a 25 fps stream, from a keyframe
    EXPECT_LE(info.at("frames").get<int64_t>(), 51);
    res = s.http().Get("/cameras/north/edit/api/frame?t=0.5");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
    res = s.http().Get("/cameras/north/edit/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("editor.js"), std::string::npos);
    // The camera went on from the one connection it has.
    EXPECT_EQ(s.camera("north").at("state"), "running");
    EXPECT_EQ(s.camera("north").at("reconnects"), 0);

    // A save writes that camera's areas file and restarts it alone.
    res = s.http().Get("/cameras/north/edit/api/areas");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const json areas = json::parse(res->body);
    json doc = areas.at("document");
    doc["areas"][1]["name"] = "right 2";
    doc["pairs"][0]["to"] = "right 2";  // the pair names the coil it ends on
    const json eastBefore = s.camera("east");
    res = s.http().Put("/cameras/north/edit/api/areas", {{"X-Areas-Base", areas.at("version").get<std::string>()}},
                       doc.dump(), "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(json::parse(res->body).at("applied"), "restarted north");
    EXPECT_NE(ReadFile(s.dir() + "/north.areas.json").find("right 2"), std::string::npos);
    s.stream("north").kill();  // it served its one client, the camera's first run
    s.stream("north").start();
    ASSERT_TRUE(WaitUntil([&] {
        const json c = s.camera("north");
        return !c.is_null() && c.at("state") == "running" && c.at("coils").at(1).at("name") == "right 2";
    }, 30s)) << s.err();
    EXPECT_EQ(s.camera("east").at("running_since"), eastBefore.at("running_since"));
    EXPECT_EQ(s.camera("east").at("reconnects"), 0);

    // A recording ends with what it has when the stream is lost: the
    // editor opens on the shorter clip rather than waiting for ever.
    res = s.http().Get("/cameras/east/edit/?seconds=600");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 202);
    ASSERT_TRUE(WaitUntil([&] {
        auto r = s.http().Get("/cameras/east/edit/");
        return r && r->body.find("Recording a clip of camera east for its editor: 1") != std::string::npos;
    }, 30s)) << s.err();
    s.stream("east").kill();
    info = json();
    ASSERT_TRUE(WaitUntil([&] {
        auto r = s.http().Get("/cameras/east/edit/api/info");
        if (r && r->status == 200) info = json::parse(r->body);
        return r && r->status != 503;
    }, 30s)) << s.err();
    ASSERT_TRUE(info.is_object()) << s.err();
    EXPECT_LT(info.at("duration").get<double>(), 60.0);

    kill(s.pid(), SIGTERM);
    EXPECT_EQ(WaitCli(s.pid(), 30), 0) << s.err();
    s.forget();
}
