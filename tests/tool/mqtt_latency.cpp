// mqtt_latency.cpp - trigger-to-delivery latency over MQTT on this machine.
//
// Starts a mosquitto broker on 127.0.0.1 and a QoS 1 subscriber, hands
// events to a Delivery with one MQTT sink as the frame loop does, and
// measures from the hand-over to the subscriber's arrival.
//   tarvocoil_mqtt_latency [EVENTS [INTERVAL_MS]]     (default 2000, 5)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/events/delivery.h"
#include "tests/tool/delivery_test_util.h"
#include "host/event_json.h"
#include "tools/events/mqtt_sink.h"

using namespace tarvotool;
using namespace deliverytest;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const int intervalMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 5;
    Broker broker;
    broker.start();
    Subscriber sub(broker.port(), "latency", "latency-sub");
    if (!sub.waitSubscribed(std::chrono::seconds(10))) {
        std::fprintf(stderr, "no subscription\n");
        return 1;
    }
    Delivery d;
    d.add(std::make_unique<MqttSink>(ParseMqttUrl(broker.url("latency")), MqttSettings{}, kDefaultQueueEvents,
                                     nullptr));
    EventStamper stamper;
    std::vector<Clock::time_point> handed(static_cast<std::size_t>(n) + 1);
    for (int i = 0; i < n; ++i) {
        const SerializedEvent e(stamper.trigger(i, i / 25.0, 0, "lane 1"));
        handed[e.id()] = Clock::now();
        d.deliver(e);
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
    if (!sub.waitDistinct(static_cast<std::size_t>(n), std::chrono::seconds(60))) {
        std::fprintf(stderr, "not every event arrived\n");
        return 1;
    }
    d.close(std::chrono::seconds(5));
    const auto msgs = sub.messages();
    const auto arrivals = sub.arrivals();
    std::map<uint64_t, Clock::time_point> first;
    for (std::size_t i = 0; i < msgs.size(); ++i)
        first.emplace(nlohmann::json::parse(msgs[i]).at("id").get<uint64_t>(), arrivals[i]);
    std::vector<double> us;
    for (const auto& [id, t] : first) us.push_back(std::chrono::duration<double, std::micro>(t - handed[id]).count());
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[std::min(us.size() - 1, static_cast<std::size_t>(p * (us.size() - 1) + 0.5))]; };
    std::printf("MQTT trigger-to-delivery over 127.0.0.1 (QoS 1, mosquitto), %d events %d ms apart:\n", n, intervalMs);
    std::printf("  median %.0f us, p99 %.0f us, max %.0f us, min %.0f us\n", pct(0.5), pct(0.99), us.back(), us.front());
    return 0;
}
