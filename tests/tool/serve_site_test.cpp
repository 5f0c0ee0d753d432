// serve_site_test.cpp - the pieces of `serve` that need no stream: the
// site file's checks, the frame queue between a camera's threads, the
// metrics text, the daily event files and the Host checks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tests/tool/tool_test_util.h"
#include "tools/edit/http_address.h"
#include "tools/serve/camera_events.h"
#include "tools/serve/frame_queue.h"
#include "tools/serve/site_file.h"
#include "tools/serve/http_auth.h"
#include "tools/serve/password_file.h"
#include "tools/serve/site_report.h"

using namespace tarvotool;
using namespace tooltest;

namespace {

std::string SiteError(const std::string& text) {
    try {
        ParseSite(text, "/sites/a/site.json");
    } catch (const ToolError& e) {
        return e.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(SiteFile, ResolvesPathsAndTakesReceiversAsUrlsOrObjects) {
    const SiteConfig s = ParseSite(R"({
      "listen": "127.0.0.1:9000",
      "cameras": [{"name": "north-1", "source": "rtsp://10.0.0.21/s1", "areas": "north.areas.json",
                   "stall": 2.5, "max_retries": 3, "retry_max_delay": 4, "stream": 1, "_note": "a comment"},
                  {"name": "South_2", "source": "/dev/video0", "areas": "/etc/south.json"}],
      "events": {"dir": "../events", "mqtt": ["mqtt://broker/site/events",
                                               {"url": "mqtts://b2/t", "user": "cam", "password_file": "mqtt.pass"}],
                 "webhook": [{"url": "https://collector/hook", "headers_file": "h.txt", "timeout": 3}]}})",
                                   "/sites/a/site.json");
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 9000);
    ASSERT_EQ(s.cameras.size(), 2u);
    EXPECT_EQ(s.cameras[0].areas, "/sites/a/north.areas.json");
    EXPECT_EQ(s.cameras[1].areas, "/etc/south.json");
    EXPECT_DOUBLE_EQ(s.cameras[0].live.stallSeconds, 2.5);
    EXPECT_EQ(s.cameras[0].live.maxRetries, 3);
    EXPECT_EQ(s.cameras[0].live.retryMax.count(), 4000);
    EXPECT_EQ(s.cameras[0].stream, 1);
    EXPECT_EQ(s.eventsDir, "/sites/events");
    ASSERT_EQ(s.mqtt.size(), 2u);
    EXPECT_EQ(s.mqtt[0].url, "mqtt://broker/site/events");
    EXPECT_EQ(s.mqtt[1].passwordFile, "/sites/a/mqtt.pass");
    ASSERT_EQ(s.webhooks.size(), 1u);
    EXPECT_EQ(s.webhooks[0].headersFile, "/sites/a/h.txt");
    EXPECT_DOUBLE_EQ(s.webhooks[0].timeout, 3.0);
    // Only the changed entry differs: what a reload restarts.
    SiteCamera changed = s.cameras[0];
    EXPECT_EQ(changed, s.cameras[0]);
    changed.live.stallSeconds = 3;
    EXPECT_NE(changed, s.cameras[0]);
}

TEST(SiteFile, ErrorsNameTheFileAndTheJsonPath) {
    const std::string cam = R"({"name": "a", "source": "rtsp://h/s", "areas": "a.json"})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"cameras": [)" + cam + R"(], "listn": "x"})", "/sites/a/site.json: $: unknown key \"listn\""},
        {R"({"cameras": [{"name": "a", "source": "rtsp://h/s", "areas": "a.json", "stal": 3}]})",
         "$.cameras[0]: unknown key \"stal\""},
        {R"({"cameras": [)" + cam + "," + cam + "]}", "$.cameras[1].name: a second camera named \"a\""},
        {R"({"cameras": [{"name": "a", "areas": "a.json"}]})", "$.cameras[0]: missing key \"source\""},
        {R"({"cameras": [{"name": "a", "source": "rtsp://h/s"}]})", "$.cameras[0]: missing key \"areas\""},
        {R"({"cameras": [{"name": "a b", "source": "rtsp://h/s", "areas": "a.json"}]})",
         "$.cameras[0].name: \"a b\" is not a camera name"},
        {R"({"cameras": [{"name": "../x", "source": "rtsp://h/s", "areas": "a.json"}]})", "is not a camera name"},
        {R"({"cameras": [{"name": ")" + std::string(65, 'x') + R"(", "source": "rtsp://h/s", "areas": "a.json"}]})",
         "is not a camera name"},
        {R"({"cameras": [{"name": "a", "source": "road.mp4", "areas": "a.json"}]})",
         "$.cameras[0].source: expected a stream URL"},
        {R"({"cameras": [{"name": "a", "source": "rtsp://h/s", "areas": "a.json", "stall": 0}]})",
         "$.cameras[0].stall: expected a number within"},
        {R"({"cameras": []})", "$.cameras: expected at least one camera"},
        {R"({"listen": "127.0.0.1"})", "$.listen: expected HOST:PORT"},
        {R"({"listen": "::1:80", "cameras": [)" + cam + "]}", "$.listen: expected HOST:PORT"},
        {R"({"listen": "0.0.0.0:8770", "cameras": [)" + cam + "]}", "$.listen: listening on 0.0.0.0 needs \"auth\""},
        {R"({"auth": 3, "cameras": [)" + cam + "]}", "$.auth: expected a string"},
        {R"({"cameras": [)" + cam + R"(], "events": {"mqtt": ["http://x/y"]}})", "$.events.mqtt[0]: "},
        {R"({"cameras": [)" + cam + R"(], "events": {"webhook": [{"url": "ftp://x/"}]}})", "$.events.webhook[0]: "},
        {R"({"cameras": [)" + cam + R"(], "events": {"mqtt": [{"url": "mqtt://b/t", "cert": "c.pem"}]}})",
         "\"cert\" and \"key\" go together"},
        {R"({"cameras": [)", "/sites/a/site.json:1:"},
        {R"({"cameras": [)" + cam + R"(], "stats_interval": 0})",
         "$.stats_interval: expected a number of seconds greater than 0, got 0"},
        {R"({"cameras": [)" + cam + R"(], "stats_interval": -60})", "$.stats_interval: expected a number of seconds"},
        {R"({"cameras": [)" + cam + R"(], "stats_interval": "60"})",
         "$.stats_interval: expected a number of seconds greater than 0, got string"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_NE(SiteError(text).find(expected), std::string::npos) << text << "\n  gave: " << SiteError(text);
    EXPECT_EQ(ParseSite(R"({"listen": "[::1]:0", "cameras": [)" + cam + "]}", "s.json").host, "::1");
    const SiteConfig open = ParseSite(R"({"listen": "0.0.0.0:80", "auth": "p", "cameras": [)" + cam + "]}", "/s/x.json");
    EXPECT_EQ(open.authFile, "/s/p");
}

TEST(SiteFile, HomeAssistantWantsAnMqttReceiverAndIds) {
    const std::string cam = R"({"cameras": [{"name": "a", "source": "rtsp://h/s", "areas": "a.json"}])";
    const std::string mqtt = R"(, "events": {"mqtt": ["mqtt://broker/site/events"]})";
    EXPECT_FALSE(ParseSite(cam + "}", "s.json").homeAssistant.enabled);
    const SiteConfig byDefault = ParseSite(cam + mqtt + R"(, "homeassistant": {}})", "s.json");
    EXPECT_TRUE(byDefault.homeAssistant.enabled);
    EXPECT_EQ(byDefault.homeAssistant.discoveryPrefix, "homeassistant");
    EXPECT_EQ(byDefault.homeAssistant.nodeId, "");
    const SiteConfig set =
        ParseSite(cam + mqtt + R"(, "homeassistant": {"discovery_prefix": "ha/site", "node_id": "gate-2"}})", "s.json");
    EXPECT_EQ(set.homeAssistant.discoveryPrefix, "ha/site");
    EXPECT_EQ(set.homeAssistant.nodeId, "gate-2");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {cam + R"(, "homeassistant": {}})", "$.homeassistant: needs an MQTT receiver"},
        {cam + mqtt + R"(, "homeassistant": {"prefix": "x"}})", "$.homeassistant: unknown key \"prefix\""},
        {cam + mqtt + R"(, "homeassistant": true})", "$.homeassistant: expected an object"},
        {cam + mqtt + R"(, "homeassistant": {"discovery_prefix": "ha/#"}})",
         "$.homeassistant.discovery_prefix: \"ha/#\" is not a topic prefix"},
        {cam + mqtt + R"(, "homeassistant": {"discovery_prefix": "ha/"}})", "is not a topic prefix"},
        {cam + mqtt + R"(, "homeassistant": {"node_id": "gate a"}})",
         "$.homeassistant.node_id: \"gate a\" is not a node id"},
        {cam + mqtt + R"(, "homeassistant": {"node_id": ""}})", "$.homeassistant.node_id: expected a non-empty"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_NE(SiteError(text).find(expected), std::string::npos) << text << "\n  gave: " << SiteError(text);
}

TEST(FrameQueue, DropsTheOldestCountsItAndKeepsItsBaselineRequest) {
    FrameQueue q(2);
    BgrImage img;
    img.resize(4, 2);
    SourceFrame f;
    f.picture = img.view();
    for (int i = 0; i < 5; ++i) {
        f.time = i;
        f.newBaseline = i == 2 ? BaselineCause::Reconnect : BaselineCause::None;
        f.baselineNote = i == 2 ? "the stream came back" : "";
        ASSERT_TRUE(q.push(f, i));
    }
    EXPECT_EQ(q.dropped(), 3u);  // 0, 1 and 2 pushed out by 3 and 4
    QueuedFrame out;
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out.index, 3);
    // Frame 2's request moved on: the detector must not miss the new scene.
    EXPECT_EQ(out.baseline, BaselineCause::Reconnect);
    EXPECT_EQ(out.note, "the stream came back");
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out.index, 4);
    EXPECT_EQ(out.baseline, BaselineCause::None);
    q.close();
    EXPECT_FALSE(q.pop(out));
    EXPECT_FALSE(q.push(f, 5));
}

// A loss sits between the frames before and after it, however full the
// queue gets, and reaches the detector's side with the last frame it saw.
TEST(FrameQueue, ALossKeepsItsPlaceAndIsNeverDropped) {
    FrameQueue q(2);
    BgrImage img;
    img.resize(4, 2);
    SourceFrame f;
    f.picture = img.view();
    std::vector<std::string> seen;
    QueueSource source(q, [&](std::optional<int64_t> index, std::optional<double> time) {
        seen.push_back("loss after " + (index ? std::to_string(*index) : std::string("none")) + " at " +
                       (time ? std::to_string(static_cast<int>(*time)) : std::string("none")));
    });
    q.pushLoss();  // lost before any frame
    for (int i = 0; i < 2; ++i) {
        f.time = 10 + i;
        ASSERT_TRUE(q.push(f, i));
    }
    q.pushLoss();
    for (int i = 2; i < 5; ++i) {  // frames of the return push out 0, 1 and 2, not the loss
        f.time = 10 + i;
        f.newBaseline = i == 2 ? BaselineCause::Reconnect : BaselineCause::None;
        ASSERT_TRUE(q.push(f, i));
    }
    EXPECT_EQ(q.dropped(), 3u);
    SourceFrame out;
    ASSERT_TRUE(source.next(out));
    seen.push_back("frame " + std::to_string(out.fileIndex));
    EXPECT_EQ(out.newBaseline, BaselineCause::Reconnect);  // frame 2's request, past the loss
    ASSERT_TRUE(source.next(out));
    seen.push_back("frame " + std::to_string(out.fileIndex));
    q.pushLoss();
    q.close();
    EXPECT_FALSE(source.next(out));
    EXPECT_EQ(seen, (std::vector<std::string>{"loss after none at none", "loss after none at none", "frame 3",
                                              "frame 4", "loss after 4 at 14"}));
}

// A source that shares its buffers: the queue holds them instead of
// copying, and lets go of every frame it drops or hands on, so that the
// source can convert into them again.
TEST(FrameQueue, HoldsSharedPicturesAndLetsGoOfDroppedOnes) {
    FrameQueue q(2);
    std::vector<BgrImage> buffers(4);
    std::vector<std::weak_ptr<const void>> holds;
    for (int i = 0; i < 4; ++i) {
        buffers[i].resize(4, 2);
        SourceFrame f;
        f.picture = buffers[i].view();
        auto keep = std::make_shared<int>(i);
        holds.push_back(keep);
        f.keep = std::move(keep);
        ASSERT_TRUE(q.push(f, i));
    }
    EXPECT_EQ(q.dropped(), 2u);
    EXPECT_TRUE(holds[0].expired());
    EXPECT_TRUE(holds[1].expired());
    QueueSource source(q);
    SourceFrame out;
    ASSERT_TRUE(source.next(out));
    EXPECT_EQ(out.fileIndex, 2);
    EXPECT_EQ(out.picture.pixels, buffers[2].view().pixels);  // no copy
    EXPECT_FALSE(holds[2].expired());  // while the detector reads it
    ASSERT_TRUE(source.next(out));
    EXPECT_TRUE(holds[2].expired());
    EXPECT_EQ(out.picture.pixels, buffers[3].view().pixels);
    // A source without a hold still has its picture copied.
    SourceFrame plain;
    plain.picture = buffers[0].view();
    ASSERT_TRUE(q.push(plain, 4));
    ASSERT_TRUE(source.next(out));
    EXPECT_TRUE(holds[3].expired());
    EXPECT_NE(out.picture.pixels, buffers[0].view().pixels);
    EXPECT_EQ(out.picture.width, 4);
}

TEST(SiteReport, MetricsAreWellFormedWithEscapedLabels) {
    CameraStatus c;
    c.name = "north";
    c.frames = 120;
    c.framesDropped = 3;
    c.streamUp = true;
    c.coils.resize(2);
    c.coils[0].name = "left, \"A\"\\x\ny";
    c.coils[0].triggers = 7;
    c.coils[0].present = true;
    c.coils[1].name = "right";
    c.coils[1].intervalCount = 4;
    c.coils[1].intervalOccupancy = 0.25;
    c.coils[1].health = HealthState::Chatter;
    c.coils[1].vehicles = 3;
    c.coils[1].lastSpeedKmh = 48.5;
    const std::string text = MetricsText({c}, 12.5);
    // Traffic data: the open interval, one health state set, and vehicles
    // and speed only where a pair ends (and a speed was measured).
    for (const char* sample : {"tarvocoil_coil_interval_triggers{camera=\"north\",coil=\"right\"} 4\n",
                               "tarvocoil_coil_interval_occupancy_ratio{camera=\"north\",coil=\"right\"} 0.25\n",
                               "tarvocoil_coil_health{camera=\"north\",coil=\"right\",state=\"chatter\"} 1\n",
                               "tarvocoil_coil_health{camera=\"north\",coil=\"right\",state=\"ok\"} 0\n",
                               "tarvocoil_coil_vehicles_total{camera=\"north\",coil=\"right\"} 3\n",
                               "tarvocoil_coil_speed_kmh{camera=\"north\",coil=\"right\"} 48.5\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n') - std::count(text.begin(), text.end(), '#'),
              5 + 3 * 2 + 1 + 2 * 4 + 1 + 1 + 1)
        << text;  // five camera families, two coils in three, one occupancy, 2x4 health, vehicles, speed, uptime
    const nlohmann::json status = StatusJson({c}, 12.5, ReloadResult{});
    const nlohmann::json& right = status.at("cameras").at(0).at("coils").at(1);
    EXPECT_EQ(right.at("interval_occupancy_percent"), 25.0);
    EXPECT_EQ(right.at("health"), "chatter");
    EXPECT_TRUE(status.at("cameras").at(0).at("coils").at(0).at("vehicles").is_null());
    EXPECT_NE(text.find("tarvocoil_camera_frames_total{camera=\"north\"} 120\n"), std::string::npos);
    EXPECT_NE(text.find("tarvocoil_camera_frames_dropped_total{camera=\"north\"} 3\n"), std::string::npos);
    EXPECT_NE(text.find("tarvocoil_camera_stream_up{camera=\"north\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("tarvocoil_coil_triggers_total{camera=\"north\",coil=\"left, \\\"A\\\"\\\\x\\ny\"} 7\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("tarvocoil_uptime_seconds 12.5\n"), std::string::npos);
    // Every family is announced once with HELP and TYPE, before its samples.
    std::set<std::string> typed;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("# TYPE ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(typed.insert(name).second) << name;
        } else if (!line.empty() && line[0] != '#') {
            const std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_TRUE(typed.count(name)) << line;
        }
    }
    EXPECT_EQ(typed.size(), 13u);
}

TEST(CameraEvents, OneFilePerCameraAndDayWithTheCameraNamed) {
    const std::string dir = Scratch("serve-events");
    CheckEventsDir(dir);
    EventStamper stamper;
    {
        CameraEvents events(dir, "north", nullptr, nullptr);
        events.write(stamper.trigger(12, 0.48, 1, "right"));
        EventRecord late = stamper.streamLost(40, 1.6, "end of stream");
        late.wallTime += std::chrono::hours(24);
        events.write(late);
        EXPECT_EQ(events.written(), 2u);
    }
    const auto now = std::chrono::system_clock::now();
    const std::vector<std::string> today = Lines(ReadFile(dir + "/" + DailyEventsFile("north", now)));
    ASSERT_GE(today.size(), 1u);
    const auto e = nlohmann::json::parse(today[0]);
    EXPECT_EQ(e.at("camera"), "north");
    EXPECT_EQ(e.at("frame"), 12);
    // "camera" right after "event", so that readers of the shared object find it in one place.
    EXPECT_EQ(today[0].rfind("{\"event\":\"trigger\",\"camera\":\"north\",\"id\":1,", 0), 0u) << today[0];
    const std::string tomorrow = ReadFile(dir + "/" + DailyEventsFile("north", now + std::chrono::hours(24)));
    EXPECT_NE(tomorrow.find("\"stream-lost\""), std::string::npos);
    EXPECT_EQ(DailyEventsFile("a", std::chrono::system_clock::time_point{}), "a-1970-01-01.jsonl");
}

TEST(CameraEvents, AnEventsFolderThatCannotBeWrittenIsAnErrorAtStart) {
    const std::string file = Scratch("serve-not-a-folder");
    WriteFile(file, "x");
    EXPECT_THROW(CheckEventsDir(file), ToolError);
    EXPECT_THROW(CheckEventsDir(file + "/sub"), ToolError);
    if (geteuid() != 0) {  // root writes anywhere
        const std::string ro = Scratch("serve-read-only");
        std::filesystem::create_directories(ro);
        chmod(ro.c_str(), 0555);
        EXPECT_THROW(CheckEventsDir(ro), ToolError);
        chmod(ro.c_str(), 0755);
    }
}

TEST(HttpAddress, HostHeadersNameTheServerByAddressAndPort) {
    EXPECT_TRUE(HostNamesServer("127.0.0.1:8770", "127.0.0.1", 8770));
    EXPECT_TRUE(HostNamesServer("localhost:8770", "127.0.0.1", 8770));
    EXPECT_TRUE(HostNamesServer("[::1]:8770", "::1", 8770));
    EXPECT_FALSE(HostNamesServer("127.0.0.1:8771", "127.0.0.1", 8770));
    EXPECT_FALSE(HostNamesServer("evil.example:8770", "127.0.0.1", 8770));  // DNS rebinding
    EXPECT_FALSE(HostNamesServer("", "127.0.0.1", 8770));
    std::string name;
    int port = 0;
    EXPECT_TRUE(SplitHostPort("[::1]:80", name, port));
    EXPECT_EQ(name, "[::1]");
    EXPECT_FALSE(SplitHostPort("::1", name, port));
    EXPECT_FALSE(SplitHostPort("host:", name, port));
}

TEST(PasswordFile, PasswdWritesSaltedHashesThatCheckAndKeepsOtherLines) {
    const std::string file = Scratch("serve-site.passwd");
    WriteFile(file, "# the site's users\nbob:$y$old\n");
    const std::string pw = Scratch("pw.txt");
    WriteFile(pw, "s3cret: with spaces\n");
    CliResult r = RunCli({"passwd", file, "alice"}, pw);
    ASSERT_EQ(r.status, 0) << r.err;
    WriteFile(pw, "other\n");
    r = RunCli({"passwd", file, "carol"}, pw);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind("# the site's users\nbob:$y$old\nalice:$y$", 0), 0u) << text;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    PasswordHashes users = ReadPasswordFile(file);
    ASSERT_EQ(users.size(), 3u);
    EXPECT_TRUE(CheckPassword("s3cret: with spaces", users["alice"]));
    EXPECT_FALSE(CheckPassword("s3cret", users["alice"]));
    // Same password, another salt.
    SetPassword(file, "alice", "other");
    users = ReadPasswordFile(file);
    EXPECT_NE(users["alice"], users["carol"]);
    EXPECT_TRUE(CheckPassword("other", users["alice"]));
    EXPECT_EQ(Lines(ReadFile(file)).size(), Lines(text).size());  // changed in place, not added

    WriteFile(pw, "x\n");
    EXPECT_EQ(RunCli({"passwd", file, "no:colon"}, pw).status, 1);
    WriteFile(pw, "");
    EXPECT_NE(RunCli({"passwd", file, "dave"}, pw).err.find("no password"), std::string::npos);
    WriteFile(file, "alice\n");
    EXPECT_THROW(ReadPasswordFile(file), ToolError);
}

TEST(BasicAuth, ChecksCredentialsAndSlowsAnAddressAfterFailures) {
    std::string user, password;
    EXPECT_TRUE(ParseBasicAuth("Basic YWxpY2U6b3Blbjogc2VzYW1l", user, password));  // alice:open: sesame
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(password, "open: sesame");
    EXPECT_FALSE(ParseBasicAuth("Bearer abc", user, password));
    EXPECT_FALSE(ParseBasicAuth("Basic !!!", user, password));
    EXPECT_FALSE(ParseBasicAuth("Basic YWxpY2U=", user, password));  // no colon

    BasicAuth auth({{"alice", HashPassword("open: sesame")}});
    const std::string good = "Basic YWxpY2U6b3Blbjogc2VzYW1l", bad = "Basic YWxpY2U6eA==";  // alice:x
    auto t = BasicAuth::Clock::now();
    EXPECT_EQ(auth.check("", "10.0.0.1", t), BasicAuth::Verdict::Missing);
    EXPECT_EQ(auth.check(bad, "10.0.0.1", t), BasicAuth::Verdict::Wrong);
    // Until its pause ends the address is not even checked; others are.
    EXPECT_EQ(auth.check(bad, "10.0.0.1", t), BasicAuth::Verdict::Slowed);
    EXPECT_GE(auth.retryAfter("10.0.0.1", t), 1);
    EXPECT_EQ(auth.check(good, "10.0.0.2", t), BasicAuth::Verdict::Allowed);
    t += BasicAuth::kFirstPause;
    EXPECT_EQ(auth.check(bad, "10.0.0.1", t), BasicAuth::Verdict::Wrong);
    t += BasicAuth::kFirstPause;  // the pause doubled
    EXPECT_EQ(auth.check(bad, "10.0.0.1", t), BasicAuth::Verdict::Slowed);
    t += BasicAuth::kFirstPause;
    EXPECT_EQ(auth.check(good, "10.0.0.1", t), BasicAuth::Verdict::Allowed);  // remembered from 10.0.0.2
    EXPECT_EQ(auth.check("Basic Ym9iOng=", "10.0.0.3", t), BasicAuth::Verdict::Wrong);  // bob: no such user

    // The password file read again: an unchanged entry stays remembered,
    // a changed one must pass again, a removed one no longer passes.
    const PasswordHashes before = {{"alice", HashPassword("open: sesame")}};
    BasicAuth again(before);
    EXPECT_EQ(again.check(good, "10.0.0.4", t), BasicAuth::Verdict::Allowed);
    again.setUsers(before);
    again.setUsers({{"alice", before.at("alice")}, {"bob", HashPassword("x")}});
    EXPECT_EQ(again.check(good, "10.0.0.4", t), BasicAuth::Verdict::Allowed);
    EXPECT_EQ(again.check("Basic Ym9iOng=", "10.0.0.5", t), BasicAuth::Verdict::Allowed);
    again.setUsers({{"bob", HashPassword("y")}});
    EXPECT_EQ(again.check(good, "10.0.0.4", t), BasicAuth::Verdict::Wrong);
    EXPECT_EQ(again.check("Basic Ym9iOng=", "10.0.0.5", t), BasicAuth::Verdict::Wrong);
}
