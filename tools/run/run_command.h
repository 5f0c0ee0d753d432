// run_command.h - `tarvocoil run` (a video file or a live stream) and `frame`.
//
// Exit codes of every subcommand: 0 done; 1 an error (message on stderr);
// 2 a usage error (main); 128 + the signal (130 SIGINT, 143 SIGTERM) when a
// run was stopped by a signal after writing everything it had.
#ifndef TARVOCOIL_TOOLS_RUN_RUN_COMMAND_H
#define TARVOCOIL_TOOLS_RUN_RUN_COMMAND_H

#include <cstdint>
#include <optional>
#include <string>

#include "tools/events/delivery_options.h"
#include "tools/live/live_source.h"
#include "tools/events/events.h"
#include "tools/evidence/trace.h"
#include "host/traffic/interval_row.h"

namespace tarvotool {

struct RunCommand {
    std::string video;
    std::string areas;
    EventFormat format = EventFormat::Csv;
    std::string events;  // empty: stdout
    double start = 0.0;
    std::optional<double> duration;
    std::string review;
    bool reviewLight = false;  // the light view on the review video
    std::string snapshots;
    bool overwrite = false;  // write into a non-empty snapshot folder
    std::string trace;
    TraceFormat traceFormat = TraceFormat::Jsonl;
    std::string plot;  // a plot of the measurements, .png or .svg
    int stream = -1;
    bool strict = false;
    bool quiet = false;
    bool progress = true;
    std::string stats;  // interval rows per coil; empty: none
    IntervalFormat statsFormat = IntervalFormat::Csv;
    double statsInterval = 60.0;  // seconds
    bool statsEvents = false;     // each row also to the event receivers
    DeliveryOptions delivery;  // MQTT and webhook receivers
    LiveOptions live;          // reconnecting to live streams
};

struct FrameCommand {
    std::string video;
    double at = 0.0;
    std::string areas;  // optional
    std::string out;
    int stream = -1;
    bool light = false;  // the light view over the areas
};

// Each returns the process exit status or throws ToolError.
int RunVideo(const RunCommand& cmd);
int RenderFrame(const FrameCommand& cmd);

}  // namespace tarvotool

#endif
