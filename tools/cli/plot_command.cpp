// plot_command.cpp - the `plot` subcommand's options and help.
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"

namespace tarvotool {

CLI::App* AddPlotCommand(CLI::App& app, PlotCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "plot",
        "Draw a trace (as 'run --trace' writes it) as a picture: one panel per area over\n"
        "time with bgDiffSum over the presence limit (the dashed line 1.0 is the\n"
        "threshold: above it the area is present), the still ratio prevDiffSum over the\n"
        "still limit (at or below 1.0 the area is still), and marks for triggers,\n"
        "background refreshes and, with a truth file, passages hit or missed.");
    c->add_option("TRACE", cmd.trace,
                  "Trace as 'run --trace' writes it: JSON Lines (one object per area and\n"
                  "processed frame) or CSV ('--trace-format csv': a header line, then one row each)")
        ->required()
        ->type_name("TRACE");
    c->add_option("-o,--out", cmd.out, "Picture to write: .png or .svg")->required()->type_name("PLOT.png");
    c->add_option("-t,--truth", cmd.truth,
                  "Labelled passages (CSV frame,area; see 'tarvocoil tune --help'): marks\n"
                  "triggers as hits or false and passages as hit or missed")
        ->type_name("TRUTH.csv");
    AddMatchWindowOptions(*c, cmd.early, cmd.late, "With --truth: a trigger up to this many frames before a passage is its hit");
    c->add_option("--width", cmd.options.width, "Width in pixels")
        ->capture_default_str()
        ->type_name("PIXELS")
        ->check(CLI::Range(300, kMaxPlotSide));
    c->add_option("--height", cmd.options.height, "Height in pixels (default: 90 + 250 per area)")
        ->type_name("PIXELS")
        ->check(CLI::Range(1, kMaxPlotSide));
    c->footer(
        "The time axis is labelled in seconds and in frames as 'run' counts them.\n"
        "Marks: trigger row (grey without a truth file; green hit, red false with one),\n"
        "refresh row (cyan: background copied; brown: refused, the history showed a\n"
        "trend), truth row (green: found, orange: missed). Ratios above the top of a\n"
        "panel are drawn at its edge.");
    return c;
}

}  // namespace tarvotool
