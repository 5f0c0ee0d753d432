// commands.h - the tool's subcommands, behind the command-line parsing.
#ifndef TARVOCOIL_TOOLS_COMMANDS_H
#define TARVOCOIL_TOOLS_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>

#include "delivery_options.h"
#include "events.h"

namespace tarvotool {

struct DemoCommand {
    bool night = false;
    int frames = 2250;
    uint64_t seed = 1;
    std::string outDir = "tarvocoil-demo";
    float threshold = 0.1f;
    bool review = true;
    bool progress = true;
};

struct RunCommand {
    std::string video;
    std::string areas;
    EventFormat format = EventFormat::Csv;
    std::string events;  // empty: stdout
    double start = 0.0;
    std::optional<double> duration;
    std::string review;
    std::string snapshots;
    bool progress = true;
    DeliveryOptions delivery;  // MQTT and webhook receivers
};

struct FrameCommand {
    std::string video;
    double at = 0.0;
    std::string areas;  // optional
    std::string out;
};

// Each returns the process exit status or throws ToolError.
int RunDemo(const DemoCommand& cmd);
int RunVideo(const RunCommand& cmd);
int RenderFrame(const FrameCommand& cmd);

// Frames within which a trigger after a vehicle's entry counts as a hit.
constexpr int kHitWindow = 10;

}  // namespace tarvotool

#endif
