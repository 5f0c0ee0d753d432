// main.cpp - command line of the tarvocoil tool.
#include <cmath>
#include <cstdio>
#include <new>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "common.h"
#include "edit_cli.h"
#include "media.h"

#ifndef TARVOCOIL_VERSION
#define TARVOCOIL_VERSION "unknown"
#endif

using namespace tarvotool;

namespace {

// Seconds on the command line: finite and not negative.
struct SecondsValidator : public CLI::Validator {
    explicit SecondsValidator(bool positive) {
        name_ = positive ? "SECONDS>0" : "SECONDS>=0";
        func_ = [positive](std::string& text) -> std::string {
            double v = 0.0;
            if (!CLI::detail::lexical_cast(text, v) || !std::isfinite(v))
                return "expected a number of seconds, got '" + text + "'";
            if (positive ? v <= 0.0 : v < 0.0)
                return std::string("expected ") + (positive ? "more than 0" : "0 or more") + " seconds, got " + text;
            return "";
        };
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
        ->check(CLI::Range(0.0f, 1000.0f));
    demoCmd->add_option("-o,--out", demo.outDir, "Folder for events, ground truth, areas and review video")
        ->capture_default_str()
        ->type_name("DIR");
    demoCmd->add_flag("--no-review", demoNoReview, "Do not write the review video");
    demoCmd->add_flag("--no-progress", demoNoProgress, "No progress line on stderr");
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
        "Run the detector over a video file and write one event per trigger:\n"
        "frame index, time in seconds, area index and area name.");
    runCmd->add_option("VIDEO", run.video, "Any video file FFmpeg can read")->required()->type_name("VIDEO");
    runCmd->add_option("-a,--areas", run.areas, "Areas file (JSON; see examples/)")->required()->type_name("AREAS.json");
    runCmd->add_option("-f,--format", format, "Event format: csv or jsonl")
        ->capture_default_str()
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "jsonl"}));
    runCmd->add_option("-e,--events", run.events, "Write events to FILE instead of stdout")->type_name("FILE");
    runCmd->add_option("--start", run.start, "Start at this time (seconds)")->check(SecondsValidator(false))->type_name("SECONDS");
    CLI::Option* durOpt =
        runCmd->add_option("--duration", duration, "Process this many seconds")->check(SecondsValidator(true))->type_name("SECONDS");
    runCmd->add_option("--review", run.review, "Write a review video (e.g. review.mp4): areas outlined, flashing on "
                                               "triggers, frame number and time")
        ->type_name("OUT.mp4");
    runCmd->add_option("--snapshots", run.snapshots, "Write a PNG of each frame with triggers into DIR")->type_name("DIR");
    runCmd->add_flag("--no-progress", runNoProgress, "No progress bar (it only shows when stderr is a terminal)");
    runCmd->footer(
        "Frame indices count from the first processed frame (0), which takes the\n"
        "detector's baseline; times are the frames' presentation times in seconds\n"
        "from the start of the video. CSV has the header frame,time,area,name.");

    FrameCommand frame;
    CLI::App* frameCmd = app.add_subcommand(
        "frame", "Write the frame shown at a given time as PNG, with the areas drawn,\nto help place the areas.");
    frameCmd->add_option("VIDEO", frame.video, "Any video file FFmpeg can read")->required()->type_name("VIDEO");
    frameCmd->add_option("--at", frame.at, "Time of the frame (seconds)")->required()->check(SecondsValidator(false))->type_name("SECONDS");
    frameCmd->add_option("-a,--areas", frame.areas, "Areas file to draw (optional)")->type_name("AREAS.json");
    frameCmd->add_option("-o,--out", frame.out, "PNG file to write")->required()->type_name("FRAME.png");
    frameCmd->footer("The frame is the one on screen at that time. Coordinates in the areas file\ncount pixels from the top-left corner of this picture.");

    EditCommand edit;
    CLI::App* editCmd = AddEditCommand(app, edit);

    // A mistyped subcommand deserves its own message, not "a subcommand is required".
    if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "demo" && std::string(argv[1]) != "run" &&
        std::string(argv[1]) != "frame" && std::string(argv[1]) != "edit") {
        std::fprintf(stderr,
                     "tarvocoil: unknown subcommand '%s' (expected demo, run, frame or edit)\n"
                     "Try 'tarvocoil --help' for more information.\n",
                     argv[1]);
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "tarvocoil: %s\nTry 'tarvocoil --help' for more information.\n", e.what());
        return 2;
    }

    SetMediaVerbose(verbose);
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
            return RunVideo(run);
        }
        if (*frameCmd) return RenderFrame(frame);
        if (*editCmd) return RunEditor(edit);
    } catch (const ToolError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvocoil: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvocoil: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvocoil: %s\n", e.what());
        return 1;
    }
    return 2;
}
