// delivery_test.cpp - event JSON, the sinks' queues, and delivery to a real
// mosquitto broker and a real HTTP receiver on 127.0.0.1.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/events/delivery.h"
#include "tools/events/events.h"
#include "tests/tool/delivery_test_util.h"
#include "tests/tool/tool_test_util.h"
#include "host/event_json.h"
#include "tools/events/mqtt_sink.h"
#include "tools/events/webhook_sink.h"

using namespace tarvotool;
using namespace deliverytest;
using namespace std::chrono_literals;

namespace {

// Warnings of the sinks, kept for the checks.
class Notes {
public:
    WarnFn fn() {
        return [this](const std::string& m) {
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(m);
        };
    }
    bool has(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mu_);
        for (const std::string& l : lines_)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
    std::size_t count(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::size_t n = 0;
        for (const std::string& l : lines_) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::string all() const {
        std::lock_guard<std::mutex> lock(mu_);
        std::string s;
        for (const std::string& l : lines_) s += l + "\n";
        return s;
    }

private:
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
};

std::vector<uint64_t> Range(uint64_t first, uint64_t last) {
    std::vector<uint64_t> v;
    for (uint64_t i = first; i <= last; ++i) v.push_back(i);
    return v;
}

void DeliverTriggers(Delivery& d, EventStamper& stamper, int count) {
    for (int i = 0; i < count; ++i) d.deliver(SerializedEvent(stamper.trigger(i + 1, (i + 1) / 25.0, i % 3, "lane")));
}

std::chrono::system_clock::time_point AtMillis(int64_t ms) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

// Sends only while open; what it sent, in order.
class GatedSink : public Sink {
public:
    GatedSink(std::size_t capacity, WarnFn warn) : Sink("gated", capacity, std::move(warn)) {}
    ~GatedSink() override { stopThread(); }
    std::atomic<bool> open{false};
    std::vector<uint64_t> sent() {
        std::lock_guard<std::mutex> lock(mu);
        return sent_;
    }
    std::vector<std::shared_ptr<const std::string>> texts() {
        std::lock_guard<std::mutex> lock(mu);
        return texts_;
    }

protected:
    void run() override {
        uint64_t seq = 0;
        while (!shouldEnd()) {
            if (!open) {
                sleepUntil(std::chrono::steady_clock::now() + 2ms);
                continue;
            }
            seq = std::max(seq, frontSeq());
            if (!waitFor(seq, std::chrono::steady_clock::now() + 20ms)) continue;
            QueuedEvent e;
            if (get(seq, e)) {
                std::lock_guard<std::mutex> lock(mu);
                sent_.push_back(e.id);
                texts_.push_back(e.json);
            }
            confirm(seq++);
        }
    }

private:
    std::mutex mu;
    std::vector<uint64_t> sent_;
    std::vector<std::shared_ptr<const std::string>> texts_;
};

}  // namespace

TEST(EventJson, SameTextForEveryKindOfEvent) {
    EventRecord t;
    t.id = 7;
    t.wallTime = AtMillis(1765250000123);
    t.fields = TriggerFields{12, 1.0 / 3.0, 1, "lane \"2\""};
    EXPECT_EQ(EventToJson(t),
              R"({"event":"trigger","id":7,"wall_time":"2025-12-09T03:13:20.123Z","frame":12,"time":0.333333,)"
              R"("area":1,"name":"lane \"2\""})");

    EventRecord lost;
    lost.id = 8;
    lost.wallTime = AtMillis(0);
    lost.fields = StreamLostFields{99, 3.96, "no frame for 10 s"};
    EXPECT_EQ(EventToJson(lost), R"({"event":"stream-lost","id":8,"wall_time":"1970-01-01T00:00:00.000Z",)"
                                 R"("frame":99,"time":3.96,"reason":"no frame for 10 s"})");
    EventRecord back;
    back.id = 9;
    back.wallTime = AtMillis(-1);  // before 1970: the milliseconds stay 0..999
    back.fields = StreamRestoredFields{100, 12.5};
    EXPECT_EQ(EventToJson(back), R"({"event":"stream-restored","id":9,"wall_time":"1969-12-31T23:59:59.999Z",)"
                                 R"("frame":100,"gap":12.5})");

    // A name from a file in another encoding must still give valid JSON.
    std::get<TriggerFields>(t.fields).name = std::string("caf\xe9");
    EXPECT_NE(EventToJson(t).find("\"name\":\"caf\xef\xbf\xbd\""), std::string::npos);
    std::get<TriggerFields>(t.fields).time = std::nan("");
    EXPECT_NE(EventToJson(t).find("\"time\":null"), std::string::npos);
}

TEST(EventJson, TimesHaveAtMostSixDecimals) {
    // The JSON library's shortest form of these rounded doubles has 17 digits.
    EXPECT_EQ(JsonSeconds(8.118811), "8.118811");
    EXPECT_EQ(JsonSeconds(8.1188110004), "8.118811");
    EXPECT_EQ(JsonSeconds(0.04), "0.04");
    EXPECT_EQ(JsonSeconds(12.0), "12");
    EXPECT_EQ(JsonSeconds(-0.0000001), "0");
    EXPECT_EQ(JsonSeconds(std::numeric_limits<double>::infinity()), "null");
    EventRecord lost;
    lost.fields = StreamLostFields{std::nullopt, 8.118811, "x"};
    EXPECT_NE(EventToJson(lost).find("\"time\":8.118811,"), std::string::npos) << EventToJson(lost);
    EventRecord back;
    back.fields = StreamRestoredFields{0, 8.118811};
    EXPECT_NE(EventToJson(back).find("\"gap\":8.118811}"), std::string::npos) << EventToJson(back);
}

TEST(EventJson, StamperCountsIdsAcrossKindsAndStampsNow) {
    EventStamper s;
    const auto before = std::chrono::system_clock::now();
    const EventRecord a = s.trigger(5, 0.2, 2, "x");
    const EventRecord b = s.streamLost(5, 0.2, "end of stream");
    const EventRecord c = s.streamRestored(6, 1.5);
    EXPECT_EQ(a.id, 1u);
    EXPECT_EQ(b.id, 2u);
    EXPECT_EQ(c.id, 3u);
    EXPECT_EQ(s.issued(), 3u);
    EXPECT_GE(a.wallTime, before - 1ms);
    EXPECT_LE(c.wallTime, std::chrono::system_clock::now());
    const auto j = nlohmann::json::parse(EventToJson(c));
    EXPECT_EQ(j.at("wall_time").get<std::string>().size(), 24u);
}

TEST(EventJson, CameraFollowsTheKindOnlyWhereTheRunNamesOne) {
    EventStamper named("north \"gate\"");
    const std::string text = EventToJson(named.streamRestored(3, 0.5));
    EXPECT_EQ(text.rfind(R"({"event":"stream-restored","camera":"north \"gate\"","id":1,"wall_time":")", 0), 0u)
        << text;
    EventStamper unnamed;
    EXPECT_EQ(EventToJson(unnamed.trigger(1, 0.04, 0, "a")).find("camera"), std::string::npos);
}

TEST(EventJson, FileAndEveryReceiverCarryTheOneTextMadePerEvent) {
    Delivery d;
    auto first = std::make_unique<GatedSink>(10, nullptr);
    auto second = std::make_unique<GatedSink>(10, nullptr);
    GatedSink* a = first.get();
    GatedSink* b = second.get();
    a->open = b->open = true;
    d.add(std::move(first));
    d.add(std::move(second));
    const std::string path = ::testing::TempDir() + "one_text.jsonl";
    EventWriter file(path, EventFormat::Jsonl);
    EventStamper stamper("cam");
    std::vector<SerializedEvent> events{SerializedEvent(stamper.trigger(4, 0.16, 1, "lane")),
                                        SerializedEvent(stamper.streamLost(4, 0.16, "end of stream"))};
    std::string expected;
    for (const SerializedEvent& e : events) {
        d.deliver(e);
        file.write(e);
        expected += e.json() + "\n";
    }
    file.finish();
    d.close(10s);
    // The queues hold the very text the event was made with, not a copy
    // or a second rendering of it.
    for (GatedSink* sink : {a, b}) {
        const auto texts = sink->texts();
        ASSERT_EQ(texts.size(), events.size());
        for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i].get(), events[i].sharedJson().get());
    }
    std::ifstream in(path, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, expected);
}

TEST(MqttUrl, ReadsHostPortTopicAndCredentials) {
    MqttTarget t = ParseMqttUrl("mqtt://broker.local/site/cam%201/events");
    EXPECT_FALSE(t.tls);
    EXPECT_EQ(t.host, "broker.local");
    EXPECT_EQ(t.port, 1883);
    EXPECT_EQ(t.topic, "site/cam 1/events");
    t = ParseMqttUrl("mqtts://ann:p%40ss:w@[::1]:9883/t");
    EXPECT_TRUE(t.tls);
    EXPECT_EQ(t.host, "::1");
    EXPECT_EQ(t.port, 9883);
    EXPECT_EQ(t.user, "ann");
    EXPECT_EQ(t.password, "p@ss:w");
    EXPECT_EQ(t.label(), "mqtts://[::1]:9883/t");
    EXPECT_EQ(ParseMqttUrl("mqtts://h/t").port, 8883);

    const char* bad[] = {"http://h/t",      "mqtt://h",         "mqtt://h/",       "mqtt:///t",
                         "mqtt://h:/t",     "mqtt://h:0/t",     "mqtt://h:65536/t", "mqtt://h:1x/t",
                         "mqtt://h/a/+/b",  "mqtt://h/a/#",     "mqtt://[::1/t",   "mqtt://h/%zz"};
    for (const char* url : bad) EXPECT_THROW(ParseMqttUrl(url), std::runtime_error) << url;
    try {
        ParseMqttUrl("mqtt://ann:secret@h");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
    }
}

TEST(Delivery, FullQueueDropsTheOldestAndCountsThem) {
    Notes notes;
    Delivery d(notes.fn());
    auto gated = std::make_unique<GatedSink>(5, notes.fn());
    auto open = std::make_unique<GatedSink>(100, notes.fn());
    GatedSink* g = gated.get();
    GatedSink* o = open.get();
    o->open = true;
    d.add(std::move(gated));
    d.add(std::move(open));
    EventStamper stamper;
    DeliverTriggers(d, stamper, 12);
    // The stuck sink holds the newest five; the other one is not held up.
    std::vector<SinkStats> s = d.stats();
    EXPECT_EQ(s[0].dropped, 7u);
    EXPECT_EQ(s[0].undelivered, 5u);
    EXPECT_TRUE(notes.has("gated: queue full (5 events), dropping the oldest")) << notes.all();
    for (int i = 0; i < 500 && o->sent().size() < 12; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(o->sent(), Range(1, 12));
    g->open = true;
    s = d.close(10s);
    EXPECT_EQ(g->sent(), Range(8, 12));
    EXPECT_EQ(s[0].delivered, 5u);
    EXPECT_EQ(s[0].dropped, 7u);
    EXPECT_EQ(s[0].undelivered, 0u);
    EXPECT_EQ(s[1].delivered, 12u);
    EXPECT_EQ(DescribeSinkStats(s[0]), "gated: 5 delivered, 7 dropped (queue full)");
}

TEST(Delivery, CloseGivesUpAtItsDeadlineAndCountsWhatIsLeft) {
    Delivery d;
    d.add(std::make_unique<GatedSink>(10, nullptr));
    EventStamper stamper;
    DeliverTriggers(d, stamper, 3);
    const std::vector<SinkStats> s = d.close(50ms);
    EXPECT_EQ(s[0].undelivered, 3u);
    EXPECT_EQ(s[0].delivered, 0u);
    DeliverTriggers(d, stamper, 1);  // after close: ignored, no crash
    EXPECT_EQ(d.close(0ms)[0].undelivered, 3u);
}

TEST(Mqtt, EveryEventOnceAndInOrderAcrossABrokerRestart) {
    Broker broker;
    broker.start();
    Subscriber sub(broker.port(), "site/cam1/events", "restart-sub");
    ASSERT_TRUE(sub.waitSubscribed(10s));
    Notes notes;
    MqttSettings settings;
    settings.retryFirst = 50ms;
    settings.retryMax = 200ms;
    Delivery d(notes.fn());
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(broker.url("site/cam1/events")), settings, kDefaultQueueEvents,
                                     notes.fn()));
    EventStamper stamper;
    const int n = 300;
    for (int i = 0; i < n; ++i) {
        d.deliver(SerializedEvent(stamper.trigger(i + 1, (i + 1) / 25.0, i % 3, "lane")));
        if (i == 100) broker.stop();
        if (i == 200) broker.start();
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(sub.waitDistinct(n, 30s)) << DistinctIds(sub.messages()).size() << " arrived\n" << notes.all();
    const std::vector<SinkStats> s = d.close(5s);
    std::size_t repeats = 0;
    EXPECT_EQ(DistinctIds(sub.messages(), &repeats), Range(1, n));
    EXPECT_EQ(s[0].delivered, static_cast<uint64_t>(n));
    EXPECT_EQ(s[0].dropped + s[0].undelivered + s[0].rejected, 0u);
    EXPECT_TRUE(notes.has("lost the broker")) << notes.all();
    EXPECT_TRUE(notes.has("connected; sending")) << notes.all();
    const auto j = nlohmann::json::parse(sub.messages().front());
    EXPECT_EQ(j.at("event"), "trigger");
    EXPECT_EQ(j.at("frame"), 1);
    std::printf("broker restart: %zu repeated deliveries\n", repeats);
}

TEST(Mqtt, BrokerDownFromTheStartKeepsTheNewestEventsOfAFullQueue) {
    Broker broker;
    broker.start();
    {  // a persistent session, so that the broker keeps messages for it
        Subscriber first(broker.port(), "q", "overflow-sub");
        ASSERT_TRUE(first.waitSubscribed(10s));
    }
    broker.stop();
    Notes notes;
    MqttSettings settings;
    settings.retryFirst = 50ms;
    settings.retryMax = 100ms;
    Delivery d(notes.fn());
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(broker.url("q")), settings, 50, notes.fn()));
    EventStamper stamper;
    DeliverTriggers(d, stamper, 120);
    EXPECT_EQ(d.stats()[0].dropped, 70u);
    broker.start();
    Subscriber sub(broker.port(), "q", "overflow-sub");
    ASSERT_TRUE(sub.waitDistinct(50, 30s)) << notes.all();
    const std::vector<SinkStats> s = d.close(5s);
    std::this_thread::sleep_for(200ms);  // room for anything that should not come
    EXPECT_EQ(DistinctIds(sub.messages()), Range(71, 120));
    EXPECT_EQ(s[0].delivered, 50u);
    EXPECT_EQ(s[0].dropped, 70u);
    EXPECT_TRUE(notes.has("cannot connect")) << notes.all();
    EXPECT_TRUE(notes.has("queue full (50 events)")) << notes.all();
}

TEST(Mqtt, TlsDeliversOnlyToABrokerWhoseCertificateIsTrustedAndNamed) {
    const Broker::Tls cert = MakeCertificate();
    Broker broker(&cert);
    broker.start();
    const Broker::Tls otherName = MakeCertificate("127.0.0.2");
    Broker impostor(&otherName);  // trusted, but its certificate names another host
    impostor.start();
    Subscriber sub(broker.port(), "tls", "tls-sub", &cert.certFile);
    ASSERT_TRUE(sub.waitSubscribed(10s));
    Notes notes;
    MqttSettings trusting;
    trusting.caFile = cert.certFile;
    MqttSettings system;  // the system's CAs do not know this certificate
    system.retryFirst = 50ms;
    Delivery d(notes.fn());
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(broker.url("tls")), trusting, 100, notes.fn()));
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(broker.url("tls")), system, 100, notes.fn()));
    MqttSettings trustingOther = system;
    trustingOther.caFile = otherName.certFile;
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(impostor.url("tls")), trustingOther, 100, notes.fn()));
    EventStamper stamper;
    DeliverTriggers(d, stamper, 5);
    ASSERT_TRUE(sub.waitDistinct(5, 20s)) << notes.all();
    const std::vector<SinkStats> s = d.close(300ms);
    EXPECT_EQ(DistinctIds(sub.messages()), Range(1, 5));
    EXPECT_EQ(s[0].delivered, 5u);
    EXPECT_EQ(s[1].delivered, 0u);
    EXPECT_EQ(s[1].undelivered, 5u);
    EXPECT_EQ(s[2].delivered, 0u);
    EXPECT_EQ(s[2].undelivered, 5u);
    EXPECT_TRUE(notes.has(broker.url("tls") + ": cannot connect")) << notes.all();
    EXPECT_TRUE(notes.has(impostor.url("tls") + ": cannot connect")) << notes.all();
}

// Up to 20 s, asked every 10 ms.
template <typename Pred>
bool Eventually(Pred done) {
    return tooltest::WaitUntil(done, 20s, 10ms);
}

// Wrong credentials on the first connection: no retry mends them, the sink
// gives up and says so. Refused later (the broker's users changed): the
// events are kept, and the warning says why reconnecting fails.
TEST(Mqtt, CredentialsRefusedFirstAreFatalAndLaterAreRetriedWithTheReason) {
    Broker broker;
    broker.requirePassword("cam", "right");
    broker.start();
    auto url = [&](const std::string& password) {
        return "mqtt://cam:" + password + "@127.0.0.1:" + std::to_string(broker.port()) + "/t";
    };
    MqttSettings fast;
    fast.retryFirst = 50ms;
    fast.retryMax = 200ms;
    Notes notes;
    Delivery d(notes.fn());
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(url("wrong")), fast, 100, notes.fn()));
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(url("right")), fast, 100, notes.fn()));
    EventStamper stamper;
    DeliverTriggers(d, stamper, 3);
    ASSERT_TRUE(Eventually([&] { return !d.fatal().empty() && d.stats()[1].delivered == 3; })) << notes.all();
    EXPECT_EQ(d.fatal().rfind("mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/t: not authorised: ", 0), 0u)
        << d.fatal();
    EXPECT_EQ(d.fatal().find("wrong"), std::string::npos) << "no password in messages";
    EXPECT_EQ(d.stats()[1].fatal, "");

    broker.stop();
    broker.requirePassword("cam", "changed");
    broker.start();
    DeliverTriggers(d, stamper, 2);
    ASSERT_TRUE(Eventually([&] { return notes.has("cannot reconnect (the broker refused the connection: "); }))
        << notes.all();
    const std::vector<SinkStats> s = d.close(100ms);
    EXPECT_EQ(s[1].fatal, "");
    EXPECT_EQ(s[1].undelivered, 2u);
    EXPECT_EQ(s[1].lastFailure.rfind("cannot connect: the broker refused the connection: ", 0), 0u) << s[1].lastFailure;
}

// Redirects within the scheme are followed with the same POST; others are
// refused with the reason. A receiver refusing every body gives a count,
// not a line per event. A failing receiver is reported by what it answered.
TEST(Webhook, RedirectsRefusalsAndFailuresSayWhatTheReceiverDid) {
    httplib::Server server;
    std::mutex mu;
    std::vector<std::string> moved;
    server.Post("/old", [&](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "/new");
    });
    server.Post("/new", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mu);
        moved.push_back(req.body);
        res.status = 200;
    });
    server.Post("/away", [&](const httplib::Request&, httplib::Response& res) {
        res.status = 307;
        res.set_header("Location", "https://127.0.0.1:1/new");
    });
    server.Post("/bad", [](const httplib::Request&, httplib::Response& res) { res.status = 400; });
    server.Post("/down", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    server.Post("/slow", [](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(600ms);
        res.status = 200;
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    Notes notes;
    WebhookSettings settings;
    settings.timeout = 2s;
    settings.retryFirst = 20ms;
    settings.retryMax = 50ms;
    Delivery d(notes.fn());
    for (const char* path : {"/old", "/away", "/bad", "/down"})
        d.add(std::make_unique<WebhookSink>(base + path, settings, 100, notes.fn()));
    WebhookSettings impatient = settings;
    impatient.timeout = 200ms;
    d.add(std::make_unique<WebhookSink>(base + "/slow", impatient, 100, notes.fn()));
    EventStamper stamper;
    DeliverTriggers(d, stamper, 45);
    ASSERT_TRUE(Eventually([&] {
        const auto s = d.stats();
        return s[0].delivered == 45 && s[1].rejected == 45 && s[2].rejected == 45 && !s[3].lastFailure.empty() &&
               !s[4].lastFailure.empty();
    })) << notes.all();
    const std::vector<SinkStats> s = d.close(50ms);
    server.stop();
    serving.join();
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_EQ(DistinctIds(moved), Range(1, 45)) << "the same POST at the new place";
    }
    EXPECT_TRUE(notes.has(base + "/away: the receiver refused event 1 (HTTP 307 to https://127.0.0.1:1/new; "
                                 "redirect not followed (another scheme)); not sent again"))
        << notes.all();
    const std::size_t badLines = notes.count(base + "/bad: ");
    EXPECT_GE(badLines, 1u);
    EXPECT_LE(badLines, 3u) << notes.all();  // the first at once, then one every 10 s at most
    EXPECT_EQ(s[3].lastFailure, "the receiver answered HTTP 500");
    EXPECT_EQ(s[4].lastFailure, "no answer within 0.2 s");
    EXPECT_TRUE(notes.has(base + "/down: the receiver answered HTTP 500; keeping events and retrying")) << notes.all();
}

TEST(Webhook, RetriesFailuresInOrderAndDropsWhatTheReceiverRefuses) {
    httplib::Server server;
    std::mutex mu;
    std::vector<std::string> bodies;
    std::vector<std::string> auth, types;
    int calls = 0;
    server.Post("/hook", [&](const httplib::Request& req, httplib::Response& res) {
        int call = 0;
        {
            std::lock_guard<std::mutex> lock(mu);
            call = ++calls;
            auth.push_back(req.get_header_value("Authorization"));
            types.push_back(req.get_header_value("Content-Type"));
        }
        if (call <= 3) {  // down for a while
            res.status = 503;
            return;
        }
        if (call == 4) std::this_thread::sleep_for(700ms);  // slower than the client waits
        if (nlohmann::json::parse(req.body).at("id") == 5) {
            res.status = 422;
            return;
        }
        std::lock_guard<std::mutex> lock(mu);
        bodies.push_back(req.body);
        res.status = 200;
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });

    Notes notes;
    WebhookSettings settings;
    settings.timeout = 250ms;
    settings.retryFirst = 20ms;
    settings.retryMax = 100ms;
    settings.headers = {"Authorization: Bearer t0ken"};
    Delivery d(notes.fn());
    d.add(std::make_unique<WebhookSink>("http://user:pw@127.0.0.1:" + std::to_string(port) + "/hook?key=k", settings,
                                        100, notes.fn()));
    EXPECT_EQ(d.stats()[0].label, "http://127.0.0.1:" + std::to_string(port) + "/hook");
    EventStamper stamper;
    DeliverTriggers(d, stamper, 10);
    std::vector<uint64_t> want = Range(1, 10);
    want.erase(want.begin() + 4);
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (DistinctIds(bodies).size() >= want.size()) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    const std::vector<SinkStats> s = d.close(5s);
    server.stop();
    serving.join();
    EXPECT_EQ(DistinctIds(bodies), want);
    EXPECT_EQ(s[0].delivered, 9u);
    EXPECT_EQ(s[0].rejected, 1u);
    EXPECT_TRUE(notes.has("HTTP 503; keeping events and retrying")) << notes.all();
    EXPECT_TRUE(notes.has("refused event 5 (HTTP 422)")) << notes.all();
    EXPECT_EQ(notes.all().find("pw"), std::string::npos) << notes.all();
    for (const std::string& a : auth) EXPECT_EQ(a, "Bearer t0ken");  // the given header wins over the URL's user
    for (const std::string& t : types) EXPECT_EQ(t, "application/json");
}

TEST(Webhook, RefusesUrlsItCannotPostTo) {
    for (const char* url : {"ftp://h/x", "http://", "http:///x", "file:///etc/passwd", "http://h/a b"})
        EXPECT_THROW(CheckWebhookUrl(url), std::runtime_error) << url;
    EXPECT_NO_THROW(CheckWebhookUrl("https://example.org:8443/in?token=abc"));
}
