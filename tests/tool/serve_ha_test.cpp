// serve_ha_test.cpp - Home Assistant discovery: the topics and payloads, the
// publisher against a real mosquitto broker on 127.0.0.1, and `serve` on a
// live stream with a subscriber watching what Home Assistant would see.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/tool/delivery_test_util.h"
#include "tests/tool/stream_server.h"
#include "tests/tool/tool_test_util.h"
#include "tools/serve/ha_discovery.h"
#include "tools/serve/ha_publisher.h"

using namespace tarvotool;
using namespace std::chrono_literals;
using nlohmann::json;
using Message = deliverytest::Subscriber::Message;

namespace {

// The latest message per topic.
std::map<std::string, Message> Latest(const std::vector<Message>& all) {
    std::map<std::string, Message> out;
    for (const Message& m : all) out[m.topic] = m;
    return out;
}

std::function<bool(const Message&)> Is(const std::string& topic, const std::string& payload) {
    return [=](const Message& m) { return m.topic == topic && m.payload == payload; };
}

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A TCP listener on 127.0.0.1 with a queue of one; -1 when it cannot.
int LoopbackListener(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 0) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

TEST(HaDiscovery, ConfigsNameTheirDeviceStateAndAvailability) {
    const HaTopics t("ha", "gate-a");
    const HaCamera cam{"north", {"lane 1", "lane/1", "exit"}};
    // Two coil names that reduce to one id are kept apart by their index.
    EXPECT_EQ(HaTopics::coilId(cam, 0), "lane_1_0");
    EXPECT_EQ(HaTopics::coilId(cam, 1), "lane_1_1");
    EXPECT_EQ(HaTopics::coilId(cam, 2), "exit");
    EXPECT_EQ(HaIdOf(""), "_");
    EXPECT_EQ(HaIdOf("a+b#c/d"), "a_b_c_d");

    const std::vector<HaMessage> configs = t.configs(cam);
    ASSERT_EQ(configs.size(), 1u + 3u * 3u);  // the stream, and per coil occupancy, count, trigger
    std::set<std::string> topics, uniqueIds;
    std::map<std::string, int> components;
    for (const HaMessage& m : configs) {
        EXPECT_TRUE(m.retain);
        EXPECT_TRUE(topics.insert(m.topic).second) << m.topic;
        const std::regex shape("ha/(binary_sensor|sensor|device_automation)/gate-a/north_[A-Za-z0-9_-]+/config");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(m.topic, match, shape)) << m.topic;
        ++components[match[1]];
        const json j = json::parse(m.payload);
        EXPECT_EQ(j.at("device").at("identifiers"), json::array({"tarvocoil_gate-a_north"}));
        EXPECT_EQ(j.at("device").at("name"), "north");
        if (match[1] == "device_automation") {
            EXPECT_EQ(j.at("automation_type"), "trigger");
            EXPECT_EQ(j.at("type"), "trigger");
            EXPECT_EQ(j.at("topic").get<std::string>().rfind("tarvocoil/gate-a/north/", 0), 0u);
            continue;
        }
        EXPECT_EQ(j.at("availability_topic"), t.availability());
        EXPECT_TRUE(uniqueIds.insert(j.at("unique_id").get<std::string>()).second);
        EXPECT_EQ(j.at("state_topic").get<std::string>().rfind("tarvocoil/gate-a/north/", 0), 0u);
        if (match[1] == "binary_sensor") {
            EXPECT_TRUE(j.contains("device_class"));
        }
    }
    EXPECT_EQ(components["binary_sensor"], 4);
    EXPECT_EQ(components["sensor"], 3);
    EXPECT_EQ(components["device_automation"], 3);
    const json occupancy = json::parse(configs[1].payload);
    EXPECT_EQ(occupancy.at("device_class"), "occupancy");
    EXPECT_EQ(occupancy.at("state_topic"), t.presence(cam, 0));
    EXPECT_EQ(json::parse(configs[0].payload).at("device_class"), "connectivity");

    // Two coils of one name: their triggers and entities are told apart.
    std::vector<std::string> subtypes, names;
    for (const HaMessage& m : t.configs(HaCamera{"gate", {"exit", "in", "exit"}})) {
        const json j = json::parse(m.payload);
        if (j.contains("subtype")) subtypes.push_back(j.at("subtype"));
        if (j.contains("name")) names.push_back(j.at("name"));
    }
    EXPECT_EQ(subtypes, (std::vector<std::string>{"exit (1)", "in", "exit (3)"}));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

// The publisher alone: configs and states retained for a subscriber that
// comes later, changes only, a camera removed at reload forgotten by the
// broker, and "offline" at a clean stop.
TEST(HaPublisher, RetainsConfigsAndStatesAndRemovesAGoneCamera) {
    deliverytest::Broker broker;
    broker.start();
    const HaTopics topics("homeassistant", "node1");
    const HaCamera north{"north", {"in"}}, south{"south", {"out", "exit"}};
    deliverytest::Subscriber watch(broker.port(), "#", "ha-watch");
    ASSERT_TRUE(watch.waitSubscribed(10s));
    HaPublisher ha(topics, ParseMqttUrl(broker.url("events")), MqttSettings{}, [](const std::string&) {});
    ha.setCameras({north, south});
    ha.start();
    ha.streamUp("north", true);
    ha.presence("north", 0, true);
    ha.coilCount("south", 1, 7);
    ha.presence("nowhere", 0, true);  // not a camera of the site: ignored
    ha.presence("south", 5, true);    // no such coil: ignored
    EventRecord e;
    e.id = 3;
    ha.trigger("north", 0, e);
    // Triggers reach those who listen, with the event's JSON and its camera.
    ASSERT_TRUE(watch.waitFor([&](const Message& m) { return m.topic == topics.trigger(north, 0); }, 20s));
    ASSERT_TRUE(watch.waitFor(Is(topics.count(south, 1), "7"), 20s));
    for (const Message& m : watch.received())
        if (m.topic == topics.trigger(north, 0)) {
            EXPECT_FALSE(m.retained);
            EXPECT_EQ(json::parse(m.payload).at("camera"), "north");
            EXPECT_EQ(json::parse(m.payload).at("id"), 3);
        }

    // A subscriber that comes later gets what the broker kept.
    deliverytest::Subscriber late(broker.port(), "#", "ha-late");
    ASSERT_TRUE(late.waitSubscribed(10s));
    ASSERT_TRUE(late.waitFor(Is(topics.count(south, 1), "7"), 20s));
    ASSERT_TRUE(late.waitFor(Is(topics.availability(), "online"), 20s));
    for (const HaCamera& cam : {north, south})
        for (const HaMessage& m : topics.configs(cam))
            ASSERT_TRUE(late.waitFor(Is(m.topic, m.payload), 10s)) << m.topic;
    ASSERT_TRUE(late.waitFor(Is(topics.presence(north, 0), "ON"), 10s));
    std::map<std::string, Message> got = Latest(late.received());
    for (const auto& [topic, m] : got) EXPECT_TRUE(m.retained) << topic;
    EXPECT_EQ(got[topics.stream("north")].payload, "ON");
    EXPECT_EQ(got[topics.stream("south")].payload, "OFF");
    EXPECT_EQ(got[topics.presence(north, 0)].payload, "ON");
    EXPECT_EQ(got.count(topics.presence(south, 0)), 0u);
    EXPECT_EQ(got.count(topics.trigger(north, 0)), 0u);  // a trigger is not kept for later subscribers

    // A reload without south: its entities are removed (empty retained
    // payloads), north's stay.
    ha.setCameras({north});
    ha.coilCount("south", 1, 8);  // a camera being stopped: too late to publish
    ASSERT_TRUE(late.waitFor(Is(topics.count(south, 1), ""), 20s));
    for (const std::string& t : topics.retainedTopics(south))
        ASSERT_TRUE(late.waitFor(Is(t, ""), 5s)) << t;
    ha.stop(2000ms);
    ASSERT_TRUE(late.waitFor(Is(topics.availability(), "offline"), 10s));

    deliverytest::Subscriber after(broker.port(), "#", "ha-after");
    ASSERT_TRUE(after.waitSubscribed(10s));
    ASSERT_TRUE(after.waitFor(Is(topics.availability(), "offline"), 10s));
    for (const HaMessage& m : topics.configs(north)) ASSERT_TRUE(after.waitFor(Is(m.topic, m.payload), 10s)) << m.topic;
    got = Latest(after.received());
    for (const std::string& t : topics.retainedTopics(south)) EXPECT_EQ(got.count(t), 0u) << t;
    EXPECT_EQ(got.count(topics.count(north, 0)), 0u);  // never counted: nothing published
}

// A coil ON for a single frame is told ON and then OFF, however quickly
// the changes follow each other: Home Assistant must see every vehicle.
TEST(HaPublisher, EveryChangeOfAStateGoesOutInOrder) {
    deliverytest::Broker broker;
    broker.start();
    const HaTopics topics("homeassistant", "node2");
    const HaCamera cam{"north", {"in"}};
    deliverytest::Subscriber watch(broker.port(), topics.presence(cam, 0), "ha-order");
    ASSERT_TRUE(watch.waitSubscribed(10s));
    HaPublisher ha(topics, ParseMqttUrl(broker.url("events")), MqttSettings{}, [](const std::string&) {});
    ha.setCameras({cam});
    ha.start();
    ha.presence("north", 0, false);
    ASSERT_TRUE(watch.waitFor(Is(topics.presence(cam, 0), "OFF"), 20s));
    constexpr int kPulses = 200;
    for (int i = 0; i < kPulses; ++i) {
        ha.presence("north", 0, true);
        ha.presence("north", 0, false);
    }
    auto count = [&](const std::string& payload) {
        int n = 0;
        for (const Message& m : watch.received()) n += m.payload == payload;
        return n;
    };
    ASSERT_TRUE(tooltest::WaitUntil([&] { return count("OFF") == kPulses + 1; }, 20s)) << count("ON") << " ON";
    std::string last;
    for (const Message& m : watch.received()) {
        EXPECT_NE(m.payload, last);
        last = m.payload;
    }
    EXPECT_EQ(count("ON"), kPulses);
    ha.stop(2000ms);
}

// A broker behind a firewall that drops packets: the TCP handshake never
// completes. Stopping must not wait for the system's TCP timeout (minutes),
// or the service's stop and a reload would hang with it.
TEST(HaPublisher, StopsAtOnceWhileABrokerNeverAnswers) {
    // A listener whose one-place queue is taken: further handshakes hang.
    int port = 0;
    const int listener = LoopbackListener(port), taken = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    const sockaddr_in addr = Loopback(port);
    ASSERT_EQ(connect(taken, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);

    MqttSettings settings;
    settings.connectTimeout = 60s;  // longer than the test may take: only stopping ends the attempt
    auto ha = std::make_unique<HaPublisher>(HaTopics("homeassistant", "node3"),
                                            ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(port) + "/x"), settings,
                                            [](const std::string&) {});
    ha->setCameras({HaCamera{"north", {"in"}}});
    ha->start();
    std::this_thread::sleep_for(500ms);  // well into the handshake
    auto stopped = std::async(std::launch::async, [&] { ha->stop(1000ms); });
    EXPECT_EQ(stopped.wait_for(30s), std::future_status::ready) << "stop waits for the TCP handshake";
    stopped.wait();
    ha.reset();
    close(taken);
    close(listener);
}

// A broker that accepts the connection and then acknowledges nothing:
// what waits stays in the publisher's bounded queue (the oldest triggers
// dropped and counted), not in an ever longer queue of the MQTT library.
TEST(HaPublisher, ABrokerThatStopsAcknowledgingFillsTheBoundedQueue) {
    int port = 0;
    const int listener = LoopbackListener(port);
    ASSERT_GE(listener, 0);
    std::thread broker([listener] {
        const int c = accept(listener, nullptr, nullptr);
        if (c < 0) return;
        char buf[4096];
        // CONNECT in, CONNACK (accepted) out; then everything is read and
        // nothing answered, until the client goes.
        if (read(c, buf, sizeof buf) > 0) {
            const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
            if (write(c, connack, sizeof connack) == static_cast<ssize_t>(sizeof connack))
                while (read(c, buf, sizeof buf) > 0) {
                }
        }
        close(c);
    });
    const HaCamera cam{"north", {"in"}};
    HaPublisher ha(HaTopics("homeassistant", "node4"), ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(port) + "/x"),
                   MqttSettings{}, [](const std::string&) {});
    ha.setCameras({cam});
    ha.start();
    EventRecord e;
    for (int i = 0; i < 100; ++i) ha.trigger("north", 0, e);  // more than the unacknowledged window
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(ha.droppedTriggers(), 0u);
    const std::size_t more = 2 * HaPublisher::kMaxQueuedTriggers;
    for (std::size_t i = 0; i < more; ++i) ha.trigger("north", 0, e);
    // (More when the first ones had not yet been taken.)
    EXPECT_GE(ha.droppedTriggers(), more - HaPublisher::kMaxQueuedTriggers);
    ha.stop(0ms);
    shutdown(listener, SHUT_RDWR);
    broker.join();
    close(listener);
}

// `serve` on one live stream: the camera's entities discovered, a coil's
// presence ON then OFF and kept by the broker, the trigger and the count,
// and "offline" from the broker's last will once the process is killed.
TEST(ServeHomeAssistant, PresenceRetainedAndOfflineByLastWill) {
    using namespace tooltest;
    deliverytest::Broker broker;
    broker.start();
    deliverytest::Subscriber sub(broker.port(), "#", "ha-watch");
    ASSERT_TRUE(sub.waitSubscribed(10s));
    StreamServer stream(ClipPath());
    stream.start();
    const std::string dir = Scratch("serve-ha");
    std::filesystem::create_directories(dir);
    WriteFile(dir + "/gate.areas.json", ClipAreasJson());
    WriteFile(dir + "/site.json", R"({"listen": "127.0.0.1:0",
      "cameras": [{"name": "gate", "source": ")" + stream.url() + R"(", "areas": "gate.areas.json", "stall": 5}],
      "events": {"mqtt": [")" + broker.url("site/events") + R"("]},
      "homeassistant": {"node_id": "e2e"}})");
    const int pid = StartCli({"serve", dir + "/site.json"}, dir + "/out", dir + "/err");
    struct Reap {
        int pid;
        ~Reap() {
            kill(pid, SIGKILL);
            WaitCli(pid, 10);
        }
    } reap{pid};

    const HaTopics topics("homeassistant", "e2e");
    std::vector<std::string> coils;
    const json areas = json::parse(ClipAreasJson());
    for (const json& a : areas.at("areas")) coils.push_back(a.at("name"));
    const HaCamera gate{"gate", coils};
    ASSERT_TRUE(sub.waitFor(Is(topics.availability(), "online"), 30s)) << ReadFile(dir + "/err");
    for (const HaMessage& m : topics.configs(gate)) ASSERT_TRUE(sub.waitFor(Is(m.topic, m.payload), 10s)) << m.topic;
    ASSERT_TRUE(sub.waitFor(Is(topics.stream("gate"), "ON"), 30s)) << ReadFile(dir + "/err");

    // A coil that went ON and then OFF again, each told once per change.
    auto onThenOff = [&](std::size_t coil) {
        bool on = false;
        for (const Message& m : sub.received())
            if (m.topic == topics.presence(gate, coil)) {
                if (m.payload == "ON") on = true;
                if (on && m.payload == "OFF") return true;
            }
        return false;
    };
    auto anyOnThenOff = [&] {
        for (std::size_t c = 0; c < coils.size(); ++c)
            if (onThenOff(c)) return true;
        return false;
    };
    ASSERT_TRUE(tooltest::WaitUntil(anyOnThenOff, 40s)) << ReadFile(dir + "/err") << [&] {
        std::string seen;
        for (const Message& m : sub.received()) seen += m.topic + " " + m.payload.substr(0, 40) + "\n";
        return seen;
    }();
    for (std::size_t c = 0; c < coils.size(); ++c) {
        std::string last;
        for (const Message& m : sub.received())
            if (m.topic == topics.presence(gate, c)) {
                EXPECT_NE(m.payload, last) << "repeated state on " << m.topic;
                last = m.payload;
            }
    }
    ASSERT_TRUE(sub.waitFor([&](const Message& m) { return m.topic.rfind("tarvocoil/e2e/gate/", 0) == 0 &&
                                                           m.topic.find("/trigger") != std::string::npos; }, 30s));
    for (const Message& m : sub.received())
        if (m.topic.find("/trigger") != std::string::npos) {
            EXPECT_EQ(json::parse(m.payload).at("event"), "trigger");
        }

    // A subscriber that comes now gets the states the broker kept.
    deliverytest::Subscriber later(broker.port(), "tarvocoil/e2e/#", "ha-later");
    ASSERT_TRUE(later.waitSubscribed(10s));
    auto kept = [&](const std::string& topic) {
        return later.waitFor([&](const Message& m) { return m.topic == topic && m.retained; }, 10s);
    };
    ASSERT_TRUE(kept(topics.presence(gate, 0)));
    ASSERT_TRUE(kept(topics.stream("gate")));
    ASSERT_TRUE(kept(topics.count(gate, 0)));

    kill(pid, SIGKILL);
    ASSERT_TRUE(sub.waitFor(Is(topics.availability(), "offline"), 20s));
    EXPECT_EQ(Latest(sub.received())[topics.availability()].payload, "offline");
}
