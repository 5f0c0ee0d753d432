// demo_command.cpp - the `demo` subcommand's options and help.
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"
#include "tools/cli/validators.h"

namespace tarvotool {

CLI::App* AddDemoCommand(CLI::App& app, DemoArgs& args) {
    CLI::App* c = app.add_subcommand(
        "demo",
        "Run the detector on the built-in synthetic traffic scene and print, per coil,\n"
        "vehicles, triggers, hits, misses, false triggers and mean latency, and per\n"
        "lane the speeds and lengths its coil pair measured against the true ones.");
    c->add_flag("--night", args.cmd.night, "Dark scene with headlights; front-light triggering on");
    c->add_option("--frames", args.cmd.frames, "Number of frames to render (25 per second)")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(2, 1000000));
    c->add_option("--seed", args.cmd.seed, "Seed of the traffic and the noise")->capture_default_str()->type_name("N");
    c->add_option("--threshold", args.cmd.threshold, "Presence threshold of every coil (a ratio)")
        ->capture_default_str()
        ->type_name("RATIO")
        ->check(DecimalRange(0.0, 1000.0));
    c->add_option("-o,--out", args.cmd.outDir, "Folder for events, ground truth, areas and review video")
        ->capture_default_str()
        ->type_name("DIR");
    c->add_flag("--no-review", args.noReview, "Do not write the review video");
    c->add_flag("--no-progress", args.noProgress, "No progress line on stderr");
    c->add_flag("--tune", args.cmd.tune, "Also tune each coil's threshold on the scene's ground truth and print the\n"
                                           "before/after table (writes -tune.csv, -tuned-areas.json, -tuned-plot.png)");
    c->footer(
        "The scene: 720x576, a camera 8 m above a three-lane road, vehicles at 8-32 m/s;\n"
        "per lane a pair of 2 m coils, \"in\" and \"out\", 6 m apart (a speed trap).\n"
        "A hit is a trigger at most 10 frames after a vehicle first touches the coil.\n"
        "Output folder: day-/night-events.csv, -truth.csv, -areas.json, -review.mp4.");
    return c;
}

DemoCommand DemoArgs::command() const {
    DemoCommand out = cmd;
    out.review = !noReview;
    out.progress = !noProgress;
    return out;
}

}  // namespace tarvotool
