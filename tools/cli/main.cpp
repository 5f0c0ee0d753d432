// main.cpp - command line of the tarvocoil tool.
#include <cmath>
#include <cstdio>
#include <new>
#include <string>

#include <CLI/CLI.hpp>

#include "host/errors.h"
#include "tools/cli/options.h"
#include "tools/demo/demo_command.h"
#include "tools/evidence/plot.h"
#include "tools/evidence/tune.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/video_reader.h"
#include "tools/run/run_command.h"

#ifndef TARVOCOIL_VERSION
#define TARVOCOIL_VERSION "unknown"
#endif

using namespace tarvotool;

namespace {

// A plain decimal number (12, 0.5, 1e-3): no hexadecimal, no "inf" or "nan".
bool IsDecimal(const std::string& text) {
    if (text.empty()) return false;
    bool digit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') digit = true;
        else if (c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return false;
    }
    return digit;
}

// Seconds on the command line: finite and not negative.
struct SecondsValidator : public CLI::Validator {
    explicit SecondsValidator(bool positive) {
        name_ = positive ? "SECONDS>0" : "SECONDS>=0";
        func_ = [positive](std::string& text) -> std::string {
            double v = 0.0;
            if (!IsDecimal(text) || !CLI::detail::lexical_cast(text, v) || !std::isfinite(v))
                return "expected a number of seconds, got '" + text + "'";
            if (positive ? v <= 0.0 : v < 0.0)
                return std::string("expected ") + (positive ? "more than 0" : "0 or more") + " seconds, got " + text;
            return "";
        };
    }
};

// A finite decimal number within [lo, hi].
struct DecimalRange : public CLI::Validator {
    DecimalRange(double lo, double hi) {
        name_ = "RANGE";
        func_ = [lo, hi](std::string& text) -> std::string {
            double v = 0.0;
            if (!IsDecimal(text) || !CLI::detail::lexical_cast(text, v) || !std::isfinite(v) || v < lo || v > hi)
                return "expected a number within [" + CLI::detail::to_string(lo) + ", " + CLI::detail::to_string(hi) +
                       "], got '" + text + "'";
            return "";
        };
    }
};

// File names: an empty one is a mistake, not "the default".
struct NonEmptyPath : public CLI::Validator {
    NonEmptyPath() {
        name_ = "PATH";
        func_ = [](std::string& text) -> std::string { return text.empty() ? "expected a file name, got ''" : ""; };
    }
};

const char* const kDescription =
    "TarvoCoil: virtual induction loops (\"coils\") on video.\n"
    "Each coil is a quadrilateral of the picture; the detector reports the frame\n"
    "on which something moving begins to cover it.";

const char* const kFooter =
    "Examples:\n"
    "  tarvocoil demo                      built-in traffic scene, prints a per-coil table\n"
    "  tarvocoil demo --night              the same by night, with front-light triggering\n"
    "  tarvocoil run road.mp4 --areas examples/three-lanes.json --events events.csv\n"
    "  tarvocoil frame road.mp4 --at 12.5 --areas areas.json --out frame.png\n"
    "  tarvocoil tune road.mp4 --areas areas.json --truth truth.csv --out tuned.json\n"
    "  tarvocoil plot trace.jsonl --truth truth.csv --out plot.png\n"
    "  tarvocoil edit road.mp4 --areas areas.json   place coils in the browser\n"
    "\n"
    "Run 'tarvocoil SUBCOMMAND --help' for the options of each subcommand.";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "tarvocoil"};
    app.set_version_flag("--version", std::string("tarvocoil ") + TARVOCOIL_VERSION);
    app.require_subcommand(1);
    app.footer(kFooter);
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Show FFmpeg's own messages");
    app.fallthrough();

    DemoCommand demo;
    bool demoNoReview = false, demoNoProgress = false;
    CLI::App* demoCmd = app.add_subcommand(
        "demo",
        "Run the detector on the built-in synthetic traffic scene and print, per coil,\n"
        "vehicles, triggers, hits, misses, false triggers and mean latency.");
    demoCmd->add_flag("--night", demo.night, "Dark scene with headlights; front-light triggering on");
    demoCmd->add_option("--frames", demo.frames, "Number of frames to render (25 per second)")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(2, 1000000));
    demoCmd->add_option("--seed", demo.seed, "Seed of the traffic and the noise")->capture_default_str()->type_name("N");
    demoCmd->add_option("--threshold", demo.threshold, "Presence threshold of every coil (a ratio)")
        ->capture_default_str()
        ->type_name("RATIO")
        ->check(DecimalRange(0.0, 1000.0));
    demoCmd->add_option("-o,--out", demo.outDir, "Folder for events, ground truth, areas and review video")
        ->capture_default_str()
        ->type_name("DIR");
    demoCmd->add_flag("--no-review", demoNoReview, "Do not write the review video");
    demoCmd->add_flag("--no-progress", demoNoProgress, "No progress line on stderr");
    demoCmd->add_flag("--tune", demo.tune, "Also tune each coil's threshold on the scene's ground truth and print the\n"
                                           "before/after table (writes -tune.csv, -tuned-areas.json, -tuned-plot.png)");
    demoCmd->footer(
        "The scene: 720x576, a camera 8 m above a three-lane road, one coil per lane.\n"
        "A hit is a trigger at most 10 frames after a vehicle first touches the coil.\n"
        "Output folder: day-/night-events.csv, -truth.csv, -areas.json, -review.mp4.");

    RunCommand run;
    std::string format = "csv";
    bool runNoProgress = false;
    double duration = 0.0;
    CLI::App* runCmd = app.add_subcommand(
        "run",
        "Run the detector over a video file or a live stream and write one event per trigger:\n"
        "frame index, time in seconds, area index and area name.");
    runCmd->add_option("VIDEO", run.video, "Any video file FFmpeg can read; - reads standard input; a live stream URL "
                                             "(rtsp://, http://, udp://, srt://, ...) or a V4L2 camera "
                                             "(/dev/video0) reconnects when it drops")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("VIDEO");
    runCmd->add_option("-a,--areas", run.areas, "Areas file (JSON; see examples/); - reads standard input")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("AREAS.json");
    runCmd->add_option("-f,--format", format, "Event format: csv or jsonl")
        ->capture_default_str()
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "jsonl"}));
    runCmd->add_option("-e,--events", run.events, "Write events to FILE instead of stdout (each line as it happens)")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    runCmd->add_option("--start", run.start, "Start at this time (seconds)")->check(SecondsValidator(false))->type_name("SECONDS");
    CLI::Option* durOpt =
        runCmd->add_option("--duration", duration, "Process this many seconds")->check(SecondsValidator(true))->type_name("SECONDS");
    runCmd->add_option("--review", run.review, "Write a review video (e.g. review.mp4): areas outlined, flashing on "
                                               "triggers, frame number and time")
        ->check(NonEmptyPath())
        ->type_name("OUT.mp4");
    runCmd->add_option("--snapshots", run.snapshots,
                       "Write a PNG of each frame with triggers into DIR (frame-N.png, N the frame's index in the file)")
        ->check(NonEmptyPath())
        ->type_name("DIR");
    runCmd->add_flag("--overwrite", run.overwrite, "Allow --snapshots into a folder that holds files already");
    std::string traceFormat = "jsonl";
    runCmd->add_option("--trace", run.trace,
                       "Write the detector's measurements: one record per area per processed frame")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    runCmd->add_option("--trace-format", traceFormat, "Trace format: jsonl or csv")
        ->capture_default_str()
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"jsonl", "csv"}));
    runCmd->add_option("--plot", run.plot,
                       "Plot what each area measured over time, triggers and refreshes marked\n"
                       "(.png or .svg; see 'tarvocoil plot --help')")
        ->check(NonEmptyPath())
        ->type_name("FILE");
    runCmd->add_option("--stream", run.stream, "Video stream to read (its index in the file; default: the best one)")
        ->type_name("N")
        ->check(CLI::Range(0, 1 << 20));
    runCmd->add_flag("--strict", run.strict, "Stop with an error (exit 1) on the first decoding error");
    runCmd->add_flag("-q,--quiet", run.quiet, "No summary line on stderr");
    AddDeliveryOptions(*runCmd, run.delivery);
    AddLiveOptions(*runCmd, run.live);
    runCmd->add_flag("--no-progress", runNoProgress, "No progress bar (it only shows when stderr is a terminal)");
    runCmd->footer(
        "Frame indices count from the first processed frame (0), which takes the\n"
        "detector's baseline; times are the frames' presentation times in seconds\n"
        "from the start of the video. Frames are processed in decode order, whatever\n"
        "their timestamps. CSV has the header frame,time,area,name.\n"
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

    FrameCommand frame;
    CLI::App* frameCmd = app.add_subcommand(
        "frame", "Write the frame shown at a given time as PNG, with the areas drawn,\nto help place the areas.");
    frameCmd->add_option("VIDEO", frame.video, "Any video file FFmpeg can read")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("VIDEO");
    frameCmd->add_option("--at", frame.at, "Time of the frame (seconds)")->required()->check(SecondsValidator(false))->type_name("SECONDS");
    frameCmd->add_option("-a,--areas", frame.areas, "Areas file to draw (optional)")
        ->check(NonEmptyPath())
        ->type_name("AREAS.json");
    frameCmd->add_option("-o,--out", frame.out, "Picture to write: PNG, or JPEG for a name ending in .jpg")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("FRAME.png");
    frameCmd->add_option("--stream", frame.stream, "Video stream to read (its index in the file)")
        ->type_name("N")
        ->check(CLI::Range(0, 1 << 20));
    frameCmd->footer("The frame is the one on screen at that time. Coordinates in the areas file\ncount pixels from the top-left corner of this picture.");

    TuneCommand tune;
    CLI::App* tuneCmd = AddTuneCommand(app, tune);
    PlotCommand plot;
    CLI::App* plotCmd = AddPlotCommand(app, plot);
    EditCommand edit;
    CLI::App* editCmd = AddEditCommand(app, edit);

    // A mistyped subcommand deserves its own message, not "a subcommand is required".
    if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "demo" && std::string(argv[1]) != "run" &&
        std::string(argv[1]) != "frame" && std::string(argv[1]) != "tune" && std::string(argv[1]) != "plot" &&
        std::string(argv[1]) != "edit") {
        std::fprintf(stderr,
                     "tarvocoil: unknown subcommand '%s' (expected demo, run, frame, tune, plot or edit)\n"
                     "Try 'tarvocoil --help' for more information.\n",
                     TerminalText(argv[1]).c_str());
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "tarvocoil: %s\nTry 'tarvocoil --help' for more information.\n",
                     TerminalText(e.what()).c_str());
        return 2;
    }

    SetMediaVerbose(verbose);
    InstallStopHandlers();
    try {
        if (*demoCmd) {
            demo.review = !demoNoReview;
            demo.progress = !demoNoProgress;
            return RunDemo(demo);
        }
        if (*runCmd) {
            run.format = format == "jsonl" ? EventFormat::Jsonl : EventFormat::Csv;
            if (*durOpt) run.duration = duration;
            run.progress = !runNoProgress;
            run.traceFormat = traceFormat == "csv" ? TraceFormat::Csv : TraceFormat::Jsonl;
            return RunVideo(run);
        }
        if (*frameCmd) return RenderFrame(frame);
        if (*tuneCmd) return RunTune(tune);
        if (*plotCmd) return RunPlot(plot);
        if (*editCmd) return RunEditor(edit);
    } catch (const ToolError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvocoil: %s\n", TerminalText(e.what()).c_str());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvocoil: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvocoil: %s\n", TerminalText(e.what()).c_str());
        return 1;
    }
    return 2;
}
