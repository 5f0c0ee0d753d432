// camera_observer.h - what a camera tells others about itself as it runs:
// its stream going up and down, its coils' presence, triggers and counts.
#ifndef TARVOCOIL_TOOLS_SERVE_CAMERA_OBSERVER_H
#define TARVOCOIL_TOOLS_SERVE_CAMERA_OBSERVER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/event_json.h"

namespace tarvotool {

// Called from the camera's decoding and detector threads, on changes only,
// sometimes with the camera's own lock held: an observer returns at once
// (it queues, it never waits for the network) and never calls back into
// the camera. `coil` is the index of the coil in the camera's areas file.
class CameraObserver {
public:
    virtual ~CameraObserver() = default;
    virtual void streamUp(const std::string& camera, bool up) = 0;
    // The detector's presence flag of the coil changed (and once when the
    // camera's first frame is seen).
    virtual void presence(const std::string& camera, std::size_t coil, bool present) = 0;
    virtual void trigger(const std::string& camera, std::size_t coil, const EventRecord& event) = 0;
    // The coil's count changed (and once at the camera's first frame).
    virtual void coilCount(const std::string& camera, std::size_t coil, uint64_t count) = 0;
};

}  // namespace tarvotool

#endif
