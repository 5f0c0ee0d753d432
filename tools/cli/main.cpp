// main.cpp - the tarvocoil program: the subcommands (each declared in its
// own file here), parsing, and the exit status.
#include <cstdio>
#include <new>
#include <string>

#include <CLI/CLI.hpp>

#include "host/errors.h"
#include "tools/cli/options.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/video_reader.h"

#ifndef TARVOCOIL_VERSION
#define TARVOCOIL_VERSION "unknown"
#endif

using namespace tarvotool;

namespace {

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
    "  tarvocoil serve site.json           every camera of a site, with a page and metrics\n"
    "  tarvocoil passwd site.passwd alice  a user of serve's page, API and metrics\n"
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

    DemoArgs demo;
    CLI::App* demoCmd = AddDemoCommand(app, demo);
    RunArgs run;
    CLI::App* runCmd = AddRunCommand(app, run);
    FrameCommand frame;
    CLI::App* frameCmd = AddFrameCommand(app, frame);

    TuneCommand tune;
    CLI::App* tuneCmd = AddTuneCommand(app, tune);
    PlotCommand plot;
    CLI::App* plotCmd = AddPlotCommand(app, plot);
    EditCommand edit;
    CLI::App* editCmd = AddEditCommand(app, edit);
    ServeCommand serve;
    CLI::App* serveCmd = AddServeCommand(app, serve);
    PasswdCommand passwd;
    CLI::App* passwdCmd = AddPasswdCommand(app, passwd);

    // A mistyped subcommand deserves its own message, not "a subcommand is required".
    if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "demo" && std::string(argv[1]) != "run" &&
        std::string(argv[1]) != "frame" && std::string(argv[1]) != "tune" && std::string(argv[1]) != "plot" &&
        std::string(argv[1]) != "edit" && std::string(argv[1]) != "serve" && std::string(argv[1]) != "passwd") {
        std::fprintf(stderr,
                     "tarvocoil: unknown subcommand '%s' (expected demo, run, frame, tune, plot, edit, serve or passwd)\n"
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
        if (*demoCmd) return RunDemo(demo.command());
        if (*runCmd) return RunVideo(run.command());
        if (*frameCmd) return RenderFrame(frame);
        if (*tuneCmd) return RunTune(tune);
        if (*plotCmd) return RunPlot(plot);
        if (*editCmd) return RunEditor(edit);
        if (*serveCmd) return RunServe(serve);
        if (*passwdCmd) return RunPasswd(passwd);
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
