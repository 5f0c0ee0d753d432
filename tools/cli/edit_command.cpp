// edit_command.cpp - the `edit` subcommand's options and help.
#include "tools/cli/options.h"

namespace tarvotool {

CLI::App* AddEditCommand(CLI::App& app, EditCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "edit",
        "Place and tune coils in the browser: a local web server showing the video's\n"
        "frames with the coils over them, saving the areas file and test-running the\n"
        "detector on the clip.");
    c->add_option("VIDEO", cmd.video, "Any video file FFmpeg can read")->required()->type_name("VIDEO");
    c->add_option("-a,--areas", cmd.areas,
                  "Areas file to edit (default: VIDEO's name with .areas.json, beside it); "
                  "created on the first save when it does not exist")
        ->type_name("AREAS.json");
    c->add_option("--truth", cmd.truth,
                  "Truth file (header frame,area; one row per vehicle entering a coil): "
                  "test runs show hits, misses and false triggers")
        ->type_name("TRUTH.csv");
    c->add_option("--port", cmd.port, "Port to listen on (0: any free port)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535))
        ->type_name("N");
    c->add_option("--host", cmd.host,
                  "Address to listen on; anything but the loopback address lets others on the\n"
                  "network read the video and change the areas file")
        ->capture_default_str()
        ->type_name("ADDR");
    c->footer(
        "The editor writes only the areas file, atomically, keeping the previous version\n"
        "as FILE.bak. It answers only requests addressed to its own address and port.\n"
        "Ctrl-C stops it.");
    return c;
}

}  // namespace tarvotool
