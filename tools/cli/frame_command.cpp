// frame_command.cpp - the `frame` subcommand's options and help.
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"
#include "tools/cli/validators.h"

namespace tarvotool {

CLI::App* AddFrameCommand(CLI::App& app, FrameCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "frame", "Write the frame shown at a given time as PNG, with the areas drawn,\nto help place the areas.");
    c->add_option("VIDEO", cmd.video, "Any video file FFmpeg can read")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("VIDEO");
    c->add_option("--at", cmd.at, "Time of the frame (seconds)")->required()->check(SecondsValidator(false))->type_name("SECONDS");
    CLI::Option* areas = c->add_option("-a,--areas", cmd.areas, "Areas file to draw (optional)")
        ->check(NonEmptyPath())
        ->type_name("AREAS.json");
    c->add_option("-o,--out", cmd.out, "Picture to write: PNG, or JPEG for a name ending in .jpg")
        ->required()
        ->check(NonEmptyPath())
        ->type_name("FRAME.png");
    c->add_flag("--light", cmd.light,
                "Also draw what the front-light test sees in each area: its light pixels (at the\n"
                "light threshold), the bright regions with their width x height, and the light\n"
                "limits to scale beside the area")
        ->needs(areas);
    c->add_option("--stream", cmd.stream, "Video stream to read (its index in the file)")
        ->type_name("N")
        ->check(CLI::Range(0, 1 << 20));
    c->footer("The frame is the one on screen at that time. Coordinates in the areas file\ncount pixels from the top-left corner of this picture.");
    return c;
}

}  // namespace tarvotool
