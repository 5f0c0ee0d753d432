// camera.h - one camera of a site: its stream, its detector and its
// events, on threads of its own.
//
//   decoding thread:  connects (again and again, with backoff), decodes,
//                     hands each frame to a queue of eight (FrameQueue)
//                     in a buffer of the reader's own, without a copy
//   detector thread:  the frame loop over that queue: detector, traffic
//                     data (holdoff, vehicles, health, intervals as `run`
//                     has them for a live stream), events, counts, and the
//                     picture for the page while someone watches
//
// Nothing a camera does waits for another camera: a stream that dies,
// cannot be opened or decodes badly changes this camera's state alone.
// A source that cannot be opened is a camera in state "lost", retried.
#ifndef TARVOCOIL_TOOLS_SERVE_CAMERA_H
#define TARVOCOIL_TOOLS_SERVE_CAMERA_H

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/areas_file.h"
#include "host/canvas.h"
#include "host/event_json.h"
#include "host/traffic/coil_health.h"
#include "tools/media/stream_tap.h"
#include "tools/serve/camera_events.h"
#include "tools/serve/camera_observer.h"
#include "tools/serve/frame_queue.h"
#include "tools/serve/site_file.h"

namespace tarvotool {

enum class CameraState { Starting, Running, Lost, Reconnecting, Stopped };
// "starting", "running", "lost", "reconnecting", "stopped".
const char* CameraStateName(CameraState state);

struct CoilStatus {
    std::string name;
    uint64_t triggers = 0;  // reported (after the coil's holdoff), as the trigger events
    bool present = false;  // the detector's presence decision on the last frame
    std::optional<std::chrono::system_clock::time_point> lastTrigger;
    // The traffic interval still open: reported triggers, and the share of
    // its frames the coil was present on (none before a frame).
    int64_t intervalCount = 0;
    std::optional<double> intervalOccupancy;
    HealthState health = HealthState::Ok;
    // On a pair's "to" coil: its vehicle events and the last one's speed.
    std::optional<uint64_t> vehicles;
    std::optional<double> lastSpeedKmh;
};

// What the page, /api/status and /metrics show of a camera at one moment.
struct CameraStatus {
    std::string name;
    CameraState state = CameraState::Starting;
    std::chrono::system_clock::time_point since;  // of the state
    std::string message;                          // why it is lost or stopped
    std::optional<std::chrono::system_clock::time_point> runningSince;  // of the current connection
    uint64_t frames = 0;         // processed by the detector
    uint64_t framesDropped = 0;  // delivered by the stream, never seen by the detector
    uint64_t decodeErrors = 0;
    uint64_t reconnects = 0;     // returns of the stream after a loss
    bool streamUp = false;
    double fps = 0.0;            // processed frames per second, over the last few seconds
    int width = 0, height = 0;
    double statsInterval = 0;    // seconds of its traffic intervals
    std::vector<CoilStatus> coils;
};

// What a camera shares with the others of its site and with the runs of
// the same camera before it (a reload restarts cameras).
struct CameraEnv {
    std::string eventsDir;
    Delivery* delivery = nullptr;
    // Ids stay unique per camera across restarts.
    std::shared_ptr<EventStamper> stamper;
    WarnFn warn;
    double statsInterval = kDefaultStatsInterval;  // seconds of the traffic intervals
    // Told of stream, presence, trigger and count changes; may be null.
    CameraObserver* observer = nullptr;
};

class Camera {
public:
    // `areas` parsed by the caller; `areasError` non-empty: the camera does
    // not start and shows the message.
    Camera(SiteCamera config, AreasConfig areas, std::string areasText, CameraEnv env,
           std::string areasError = {});
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    void start();
    // Stops both threads, writes the open traffic interval (a partial
    // "stats" event per coil) and closes the events file; the camera ends
    // in state "stopped". Safe to call twice.
    void stop();

    const SiteCamera& config() const { return config_; }
    const std::string& areasText() const { return areasText_; }
    double statsInterval() const { return env_.statsInterval; }
    CameraStatus status() const;

    // The latest frame with its coils drawn, painted at most every
    // kPictureInterval while pictures are asked for (and not at all
    // otherwise); empty until there is one. Each call counts as asking.
    std::optional<BgrImage> picture();
    static constexpr std::chrono::milliseconds kPictureInterval{250};
    static constexpr std::chrono::seconds kWatchWindow{5};

    // A clip of the running stream, copied from the packets the decoding
    // thread reads (no second connection); blocks until it is complete.
    // See StreamTap::record; a camera stopped meanwhile ends it.
    StreamRecording record(const StreamRecordOptions& options) { return tap_.record(options); }

private:
    class Listener;
    class Sink;
    void decodeThread();
    void detectThread();
    // One connection's life, from opening to the end of its live source.
    void runConnection(int64_t& handedOut, int& width, int& height, Listener& listener);
    bool pause(std::chrono::milliseconds d);
    // Whether pictures were asked for within kWatchWindow.
    bool watched() const;
    void setState(CameraState s, const std::string& message = {});
    // Under mu_: the stream's up/down, and the observer told of a change.
    void setStreamUp(bool up);

    const SiteCamera config_;
    const AreasConfig areas_;
    const std::string areasText_;
    CameraEnv env_;
    CameraEvents events_;
    const std::string areasError_;
    std::vector<std::vector<tarvocoil::AreaRow>> rows_;  // the detector's, per area
    // 320 ms at 25 fps: a detector thread kept off the CPU for a moment
    // (a busy neighbour, a page being drawn) catches up without losing a
    // frame, which would change what the detector reports; only a camera
    // that stays behind drops. Waiting frames are the reader's buffers.
    static constexpr std::size_t kFramesWaiting = 8;
    FrameQueue queue_{kFramesWaiting};
    StreamTap tap_;  // the decoding thread's packets, for recordings
    QueueSource* source_ = nullptr;  // the detector thread's, while it runs
    bool wholeNext_ = false;  // decoding thread: convert the next frame whole
    volatile std::sig_atomic_t stop_ = 0;

    mutable std::mutex mu_;
    CameraStatus status_;
    std::optional<BgrImage> picture_;
    std::atomic<int64_t> watchedAt_{0};  // steady clock, ns; 0: never
    std::atomic<int64_t> decodeErrors_{0};

    std::thread decoder_, detector_;
    bool started_ = false, stopped_ = false;
};

}  // namespace tarvotool

#endif
