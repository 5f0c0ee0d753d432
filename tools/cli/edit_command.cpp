// edit_command.cpp - the `edit` subcommand's options and help.
#include "tools/cli/options.h"

namespace tarvotool {

CLI::App* AddEditCommand(CLI::App& app, EditCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "edit",
        "Place and tune coils in the browser: a local web server showing the video's\n"
        "frames with the coils over them, saving the areas file and test-running the\n"
        "detector on the clip.");
    c->add_option("VIDEO", cmd.video,
                  "Any video file FFmpeg can read, or a live source as `run` takes it (rtsp://,\n"
                  "udp://, /dev/video0, ...): a clip of it is recorded first")
        ->required()
        ->type_name("VIDEO")
        ->each([&cmd](const std::string& v) { cmd.live = IsLiveInput(v); });
    c->add_option("-a,--areas", cmd.areas,
                  "Areas file to edit (default: VIDEO's name with .areas.json, beside it); "
                  "created on the first save when it does not exist")
        ->type_name("AREAS.json");
    c->add_option("--truth", cmd.truth,
                  "Truth file (header frame,area; one row per vehicle entering a coil): "
                  "test runs show hits, misses and false triggers; the passages marked on the page "
                  "are saved to it (created on the first save)")
        ->type_name("TRUTH.csv");
    const std::string live = "Live sources";
    c->add_option("--record", cmd.recordSeconds,
                  "Seconds of the live source to record (its video copied from the first keyframe,\n"
                  "not re-encoded) and edit on; the page's Record again button records anew")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 86400.0))
        ->type_name("SECONDS")
        ->group(live);
    c->add_option("--record-to", cmd.recordTo,
                  "Keep the recording as this file (.mkv, .mp4, .ts); default: a temporary file\n"
                  "removed when the editor ends")
        ->type_name("CLIP")
        ->group(live);
    c->add_flag("--overwrite", cmd.overwrite, "Record over an existing --record-to file")->group(live);
    c->add_option("--stall", cmd.stallSeconds, "Seconds the live source may give no picture before recording fails")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0))
        ->type_name("SECONDS")
        ->group(live);
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
        "The editor writes only the areas file and the truth file (atomically, keeping\n"
        "the previous version as FILE.bak) and a live source's recording. It answers\n"
        "only requests addressed to its own address and port. Ctrl-C stops it.");
    return c;
}

}  // namespace tarvotool
