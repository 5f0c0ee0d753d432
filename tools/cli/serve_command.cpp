// serve_command.cpp - the `serve` subcommand's options and help.
#include "tools/cli/options.h"

namespace tarvotool {

CLI::App* AddServeCommand(CLI::App& app, ServeCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "serve",
        "Run every camera of a site in one process: each stream on threads of its own\n"
        "with reconnection, its traffic data (holdoff, vehicles, coil health, interval\n"
        "statistics), events per camera and UTC day to the site's events folder and\n"
        "receivers, a page with a tile per camera and each camera's coil editor,\n"
        "/api/status and /metrics, and optionally Home Assistant discovery on the\n"
        "first MQTT receiver's broker.");
    c->add_option("SITE", cmd.site, "The site file (JSON; see docs/serve.md)")->required()->type_name("SITE.json");
    c->add_option("--flush-timeout", cmd.flushTimeout, "Seconds the receivers (and Home Assistant's connection) get to send what they hold at the end")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0))
        ->type_name("SECONDS");
    c->footer(
        "The page answers only requests addressed to its own address. Listening beyond\n"
        "the loopback needs a password file (\"auth\", made with 'tarvocoil passwd').\n"
        "SIGHUP or the page's Reload reads the site file, the areas files and the\n"
        "password file again: new cameras start, removed ones stop, changed ones\n"
        "restart (each writing its open interval first); a file that does not parse\n"
        "leaves everything running as it was. Ctrl-C or SIGTERM stops.");
    return c;
}

}  // namespace tarvotool
