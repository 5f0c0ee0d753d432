// camera_events.h - a camera's events: one JSON Lines file per camera and
// UTC day in the site's events folder, and the site's receivers.
//
//   DIR/north-2026-12-09.jsonl
//
// Each event is appended and flushed as it happens, so that a file is
// complete up to the last event whatever stops the service. A file that
// cannot be written is warned about (once until writing works again) and
// the events still go to the receivers.
#ifndef TARVOCOIL_TOOLS_SERVE_CAMERA_EVENTS_H
#define TARVOCOIL_TOOLS_SERVE_CAMERA_EVENTS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/event_json.h"
#include "tools/events/delivery.h"

namespace tarvotool {

// Creates the folder when missing and checks that a file can be made in
// it; throws ToolError when not.
void CheckEventsDir(const std::string& dir);

// "north-2026-12-09.jsonl": the file of a camera's events on a UTC day.
std::string DailyEventsFile(const std::string& camera, std::chrono::system_clock::time_point t);

class CameraEvents {
public:
    // dir empty: no files. delivery may be null (no receivers).
    CameraEvents(std::string dir, std::string camera, Delivery* delivery, WarnFn warn);
    ~CameraEvents();
    CameraEvents(const CameraEvents&) = delete;
    CameraEvents& operator=(const CameraEvents&) = delete;

    // Adds the camera's name; thread-safe.
    void write(EventRecord e);
    // Closes the current file; later events open it again.
    void close();
    uint64_t written() const;

private:
    bool openFor(std::chrono::system_clock::time_point t);

    const std::string dir_, camera_;
    Delivery* delivery_;
    WarnFn warn_;
    mutable std::mutex mu_;
    std::FILE* file_ = nullptr;
    std::string fileName_;
    bool failing_ = false;
    uint64_t written_ = 0;
};

}  // namespace tarvotool

#endif
