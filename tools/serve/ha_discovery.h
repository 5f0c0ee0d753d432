// ha_discovery.h - the MQTT topics and messages by which Home Assistant
// finds a site's cameras and coils by itself.
//
// One Home Assistant device per camera, identified by the node id and the
// camera's name (several `serve` processes may share one broker, each with
// a node id of its own). Per coil an occupancy binary sensor (the
// detector's presence flag), a count sensor and a device trigger; per
// camera a connectivity binary sensor for its stream. Every entity is
// available while the node's availability topic says "online".
#ifndef TARVOCOIL_TOOLS_SERVE_HA_DISCOVERY_H
#define TARVOCOIL_TOOLS_SERVE_HA_DISCOVERY_H

#include <cstddef>
#include <string>
#include <vector>

namespace tarvotool {

// A name reduced to A-Z a-z 0-9 _ - (each other byte becomes '_'), as
// topic levels and Home Assistant ids want it; "_" for an empty name.
std::string HaIdOf(const std::string& name);
// The host name as a node id: unique per machine without configuration.
std::string DefaultHaNodeId();

struct HaCamera {
    std::string name;                // a camera name is already an id
    std::vector<std::string> coils;  // the areas file's coil names, in order
};

struct HaMessage {
    std::string topic;
    std::string payload;  // empty and retained: removes what the broker keeps
    bool retain = true;
};

class HaTopics {
public:
    HaTopics(std::string discoveryPrefix, std::string nodeId);
    const std::string& nodeId() const { return nodeId_; }

    std::string availability() const;  // "online" / "offline"
    std::string stream(const std::string& camera) const;
    // The coil's topic level: its name as an id, with its index appended
    // when another coil of the camera reduces to the same id.
    static std::string coilId(const HaCamera& camera, std::size_t coil);
    // The coil as people read it in Home Assistant: its name, with its
    // number (from 1) added when another coil of the camera has that name,
    // so that two entities or device triggers are never told apart by
    // nothing.
    static std::string coilLabel(const HaCamera& camera, std::size_t coil);
    std::string presence(const HaCamera& camera, std::size_t coil) const;
    std::string count(const HaCamera& camera, std::size_t coil) const;
    std::string trigger(const HaCamera& camera, std::size_t coil) const;

    // The camera's discovery configs, retained.
    std::vector<HaMessage> configs(const HaCamera& camera) const;
    // Every retained topic of the camera (its configs and its states).
    std::vector<std::string> retainedTopics(const HaCamera& camera) const;

private:
    std::string configTopic(const std::string& component, const std::string& objectId) const;
    std::string base(const std::string& camera) const;

    std::string prefix_, nodeId_;
};

}  // namespace tarvotool

#endif
