// delivery_run_test.cpp - `tarvocoil run` with MQTT and webhook receivers:
// every receiver gets exactly the text of the events file.
#include <gtest/gtest.h>

#include <httplib.h>

#include <mutex>
#include <thread>

#include "delivery_test_util.h"
#include "tool_test_util.h"

using namespace tooltest;
using namespace deliverytest;
using namespace std::chrono_literals;

TEST(RunDelivery, FileMqttAndWebhookCarryTheSameEvents) {
    const std::string areas = Scratch("delivery-areas.json");
    WriteFile(areas, ClipAreasJson());
    Broker broker;
    broker.start();
    Subscriber sub(broker.port(), "site/cam", "run-sub");
    ASSERT_TRUE(sub.waitSubscribed(10s));

    httplib::Server server;
    std::mutex mu;
    std::vector<std::string> bodies;
    server.Post("/in", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mu);
        bodies.push_back(req.body);
        res.status = 204;
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });

    const std::string file = Scratch("delivered.jsonl");
    const CliResult r = RunCli({"run", ClipPath(), "--areas", areas, "--format", "jsonl", "--events", file, "--mqtt",
                                broker.url("site/cam"), "--webhook",
                                "http://127.0.0.1:" + std::to_string(port) + "/in", "--queue", "100"});
    server.stop();
    serving.join();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(ReadFile(file));
    ASSERT_GE(lines.size(), 3u);
    ASSERT_TRUE(sub.waitDistinct(lines.size(), 10s));
    std::vector<std::string> mqtt = sub.messages();
    EXPECT_EQ(mqtt, lines);  // no broker loss here: no repeats either
    EXPECT_EQ(bodies, lines);
    EXPECT_NE(r.err.find(broker.url("site/cam") + ": " + std::to_string(lines.size()) + " delivered"),
              std::string::npos)
        << r.err;
}

TEST(RunDelivery, UnreachableReceiversNeitherStopNorHoldTheRun) {
    const std::string areas = Scratch("delivery-areas2.json");
    WriteFile(areas, ClipAreasJson());
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(FreePort()) + "/t";
    const CliResult r =
        RunCli({"run", ClipPath(), "--areas", areas, "--mqtt", url, "--flush-timeout", "0.2", "--queue", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t events = Lines(r.out).size() - 1;  // CSV header
    ASSERT_GE(events, 3u);
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("warning: " + url + ": 0 delivered, " + std::to_string(events - 2) +
                         " dropped (queue full), 2 undelivered"),
              std::string::npos)
        << r.err;

    // Refused before anything runs: no output, exit 1 or 2.
    for (const char* bad : {"mqtt://h/a/#", "tcp://h/t"}) {
        const CliResult b = RunCli({"run", ClipPath(), "--areas", areas, "--mqtt", bad});
        EXPECT_EQ(b.status, 1) << bad << "\n" << b.err;
        EXPECT_EQ(b.out, "") << bad;
        EXPECT_NE(b.err.find("MQTT URL"), std::string::npos) << b.err;
    }
    const CliResult w = RunCli({"run", ClipPath(), "--areas", areas, "--webhook", "ftp://h/x"});
    EXPECT_EQ(w.status, 1);
    EXPECT_NE(w.err.find("webhook URL"), std::string::npos) << w.err;
}
