// ha_discovery.cpp - topic names and discovery payloads.
#include "tools/serve/ha_discovery.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#ifndef TARVOCOIL_VERSION
#define TARVOCOIL_VERSION "unknown"
#endif

namespace tarvotool {

using nlohmann::json;

namespace {

// State topics live under their own root, apart from the discovery prefix
// that Home Assistant owns.
constexpr const char* kStateRoot = "tarvocoil";

json Device(const std::string& nodeId, const std::string& camera) {
    return {{"identifiers", json::array({"tarvocoil_" + nodeId + "_" + camera})},
            {"name", camera},
            {"manufacturer", "TarvoCoil"},
            {"model", "tarvocoil serve camera"},
            {"sw_version", TARVOCOIL_VERSION}};
}

}  // namespace

std::string HaIdOf(const std::string& name) {
    std::string id;
    for (char ch : name) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '_' || ch == '-';
        id += ok ? ch : '_';
    }
    return id.empty() ? "_" : id;
}

std::string DefaultHaNodeId() {
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "tarvocoil";
    return HaIdOf(host);
}

HaTopics::HaTopics(std::string discoveryPrefix, std::string nodeId)
    : prefix_(std::move(discoveryPrefix)), nodeId_(std::move(nodeId)) {}

std::string HaTopics::availability() const { return std::string(kStateRoot) + "/" + nodeId_ + "/availability"; }

std::string HaTopics::base(const std::string& camera) const {
    return std::string(kStateRoot) + "/" + nodeId_ + "/" + camera;
}

std::string HaTopics::stream(const std::string& camera) const { return base(camera) + "/stream"; }

std::string HaTopics::coilId(const HaCamera& camera, std::size_t coil) {
    const std::string id = HaIdOf(camera.coils.at(coil));
    for (std::size_t i = 0; i < camera.coils.size(); ++i)
        if (i != coil && HaIdOf(camera.coils[i]) == id) return id + "_" + std::to_string(coil);
    return id;
}

std::string HaTopics::coilLabel(const HaCamera& camera, std::size_t coil) {
    const std::string& name = camera.coils.at(coil);
    for (std::size_t i = 0; i < camera.coils.size(); ++i)
        if (i != coil && camera.coils[i] == name) return name + " (" + std::to_string(coil + 1) + ")";
    return name;
}

std::string HaTopics::presence(const HaCamera& camera, std::size_t coil) const {
    return base(camera.name) + "/" + coilId(camera, coil) + "/presence";
}

std::string HaTopics::count(const HaCamera& camera, std::size_t coil) const {
    return base(camera.name) + "/" + coilId(camera, coil) + "/count";
}

std::string HaTopics::trigger(const HaCamera& camera, std::size_t coil) const {
    return base(camera.name) + "/" + coilId(camera, coil) + "/trigger";
}

std::string HaTopics::configTopic(const std::string& component, const std::string& objectId) const {
    return prefix_ + "/" + component + "/" + nodeId_ + "/" + objectId + "/config";
}

std::vector<HaMessage> HaTopics::configs(const HaCamera& camera) const {
    const json device = Device(nodeId_, camera.name);
    const std::string idBase = "tarvocoil_" + nodeId_ + "_" + camera.name;
    auto entity = [&](const std::string& name, const std::string& uniqueId, const std::string& stateTopic) {
        return json{{"name", name},
                    {"unique_id", uniqueId},
                    {"state_topic", stateTopic},
                    {"availability_topic", availability()},
                    {"payload_available", "online"},
                    {"payload_not_available", "offline"},
                    {"device", device}};
    };
    std::vector<HaMessage> out;
    json stream = entity("Stream", idBase + "_stream", this->stream(camera.name));
    stream["device_class"] = "connectivity";
    stream["payload_on"] = "ON";
    stream["payload_off"] = "OFF";
    out.push_back({configTopic("binary_sensor", camera.name + "_stream"), stream.dump()});
    for (std::size_t c = 0; c < camera.coils.size(); ++c) {
        const std::string id = coilId(camera, c), object = camera.name + "_" + id, label = coilLabel(camera, c);
        json occupied = entity(label + " occupied", idBase + "_" + id + "_occupancy", presence(camera, c));
        occupied["device_class"] = "occupancy";
        occupied["payload_on"] = "ON";
        occupied["payload_off"] = "OFF";
        out.push_back({configTopic("binary_sensor", object + "_occupancy"), occupied.dump()});
        json counted = entity(label + " count", idBase + "_" + id + "_count", count(camera, c));
        counted["state_class"] = "measurement";
        counted["unit_of_measurement"] = "vehicles";
        out.push_back({configTopic("sensor", object + "_count"), counted.dump()});
        // Any payload fires the trigger; it is the trigger event's JSON.
        const json fired{{"automation_type", "trigger"}, {"topic", trigger(camera, c)},
                         {"type", "trigger"},            {"subtype", label},
                         {"device", device}};
        out.push_back({configTopic("device_automation", object + "_trigger"), fired.dump()});
    }
    return out;
}

std::vector<std::string> HaTopics::retainedTopics(const HaCamera& camera) const {
    std::vector<std::string> out;
    for (const HaMessage& m : configs(camera)) out.push_back(m.topic);
    out.push_back(stream(camera.name));
    for (std::size_t c = 0; c < camera.coils.size(); ++c) {
        out.push_back(presence(camera, c));
        out.push_back(count(camera, c));
    }
    return out;
}

}  // namespace tarvotool
