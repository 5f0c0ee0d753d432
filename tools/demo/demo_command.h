// demo_command.h - `tarvocoil demo`: the synthetic scene run, scored and
// optionally tuned on its own ground truth.
#ifndef TARVOCOIL_TOOLS_DEMO_DEMO_COMMAND_H
#define TARVOCOIL_TOOLS_DEMO_DEMO_COMMAND_H

#include <cstdint>
#include <string>

namespace tarvotool {

struct DemoCommand {
    bool night = false;
    int frames = 2250;
    uint64_t seed = 1;
    std::string outDir = "tarvocoil-demo";
    float threshold = 0.1f;
    bool review = true;
    bool progress = true;
    bool tune = false;  // also tune the coils on the scene's ground truth
};

// Returns the process exit status or throws ToolError.
int RunDemo(const DemoCommand& cmd);

// Frames within which a trigger after a vehicle's entry counts as a hit.
constexpr int kHitWindow = 10;

}  // namespace tarvotool

#endif
