// run_command.cpp - the `run` subcommand's options and help.
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"
#include "tools/cli/validators.h"

namespace tarvotool {

CLI::App* AddRunCommand(CLI::App& app, RunArgs& args) {
    CLI::App* c = app.add_subcommand(
        "run",
        "Run the detector over a video file or a live stream and write one event per trigger:\n"
        "frame index, time in seconds, area index and area name.");
    c->add_option("VIDEO", args.cmd.video, "Any video file FFmpeg can read; - reads standard input; a live stream URL "
                                             "(rtsp://, http://, udp://, srt://, ...) or a V4L2 camera "
                                             "(/dev/video0) reconnects when it drops")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("VIDEO");
    c->add_option("-a,--areas", args.cmd.areas, "Areas file (JSON; see examples/); - reads standard input")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("AREAS.json");
    c->add_option("-f,--format", args.format, "Event format: csv or jsonl")
        ->capture_default_str()
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "jsonl"}));
    c->add_option("-e,--events", args.cmd.events, "Write events to FILE instead of stdout (each line as it happens)")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    c->add_option("--start", args.cmd.start, "Start at this time (seconds)")->check(SecondsValidator(false))->type_name("SECONDS");
    args.durationOption =
        c->add_option("--duration", args.duration, "Process this many seconds")->check(SecondsValidator(true))->type_name("SECONDS");
    CLI::Option* review =
        c->add_option("--review", args.cmd.review, "Write a review video (e.g. review.mp4): areas outlined, flashing on "
                                                   "triggers, frame number and time")
            ->check(NonEmptyPath())
            ->type_name("OUT.mp4");
    c->add_flag("--review-light", args.cmd.reviewLight,
                "On the review video, also what the front-light test sees: each area's light\n"
                "pixels, bright regions with their width x height, the blob the detector\n"
                "measured and the light limits to scale (as `frame --light` and the editor)")
        ->needs(review);
    c->add_option("--snapshots", args.cmd.snapshots,
                       "Write a PNG of each frame with triggers into DIR (frame-N.png, N the frame's index in the file)")
        ->check(NonEmptyPath())
        ->type_name("DIR");
    c->add_flag("--overwrite", args.cmd.overwrite, "Allow --snapshots into a folder that holds files already");
    c->add_option("--trace", args.cmd.trace,
                       "Write the detector's measurements: one record per area per processed frame")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    c->add_option("--trace-format", args.traceFormat, "Trace format: jsonl or csv")
        ->capture_default_str()
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"jsonl", "csv"}));
    c->add_option("--plot", args.cmd.plot,
                       "Plot what each area measured over time, triggers and refreshes marked\n"
                       "(.png or .svg; see 'tarvocoil plot --help')")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    c->add_option("--stats", args.cmd.stats,
                  "Write traffic data: one row per coil per interval (triggers reported,\n"
                  "occupancy, vehicles, mean speed and length on a pair's second coil,\n"
                  "health); see docs/traffic.md")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    c->add_option("--stats-format", args.statsFormat, "Stats format: csv or jsonl")
        ->capture_default_str()
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "jsonl"}));
    c->add_option("--stats-interval", args.cmd.statsInterval,
                  "Interval of the stats rows (files: stream time from the first frame;\n"
                  "live streams: wall-clock intervals aligned to UTC)")
        ->capture_default_str()
        ->check(SecondsValidator(true))
        ->type_name("SECONDS");
    c->add_flag("--stats-events", args.cmd.statsEvents,
                "Also send each stats row as an event ({\"event\":\"stats\", ...the row}) to the\n"
                "events file (JSON Lines) and the receivers");
    c->add_option("--stream", args.cmd.stream, "Video stream to read (its index in the file; default: the best one)")
        ->type_name("N")
        ->check(CLI::Range(0, 1 << 20));
    c->add_flag("--strict", args.cmd.strict, "Stop with an error (exit 1) on the first decoding error");
    c->add_flag("-q,--quiet", args.cmd.quiet, "No summary line on stderr");
    AddDeliveryOptions(*c, args.cmd.delivery);
    AddLiveOptions(*c, args.cmd.live);
    c->add_flag("--no-progress", args.noProgress, "No progress bar (it only shows when stderr is a terminal)");
    c->footer(
        "Frame indices count from the first processed frame (0), which takes the\n"
        "detector's baseline; times are the frames' presentation times in seconds\n"
        "from the start of the video. Frames are processed in decode order, whatever\n"
        "their timestamps. CSV has the header frame,time,area,name.\n"
        "A trigger within a coil's holdoff (areas file) is not reported; the trace marks\n"
        "it \"suppressed\": true. JSON Lines also carries vehicle events from coil pairs\n"
        "and health events (no-activity, chatter, max-presence, back to ok) per coil;\n"
        "CSV keeps triggers only. See docs/traffic.md.\n"
        "Frames keep the size of the first one: when the picture size changes (within\n"
        "a file or stream, or on reconnecting) they are scaled to it, the detector\n"
        "takes a new baseline and a warning names the frame and both sizes.\n"
        "At the end one summary line goes to stderr: frames read, processed, decoding\n"
        "errors, frames lost, events, seconds of video and of run time.\n"
        "SIGINT or SIGTERM stops the run: it stops reading, finishes the events, sinks,\n"
        "trace, plot and review video (playable) and prints the summary; a second signal\n"
        "ends it at once.\n"
        "Exit status: 0 done, and a live run stopped by a signal (its normal end);\n"
        "1 error, also a live stream given up on (--max-retries); 2 usage error;\n"
        "130 (SIGINT) or 143 (SIGTERM) when a signal stopped a file run.");
    return c;
}

RunCommand RunArgs::command() const {
    RunCommand out = cmd;
    out.format = format == "jsonl" ? EventFormat::Jsonl : EventFormat::Csv;
    if (durationOption && *durationOption) out.duration = duration;
    out.progress = !noProgress;
    out.traceFormat = traceFormat == "csv" ? TraceFormat::Csv : TraceFormat::Jsonl;
    out.statsFormat = statsFormat == "jsonl" ? IntervalFormat::Jsonl : IntervalFormat::Csv;
    return out;
}

}  // namespace tarvotool
