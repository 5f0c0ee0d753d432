// serve_command.h - `tarvocoil serve SITE.json`: every camera of a site in
// one supervised process, with a page, a JSON API and metrics.
//
// SIGHUP (or the page's Reload) reads the site file and the areas files
// again (see Site::reload); SIGINT and SIGTERM stop every camera, flush the
// events and end with status 0.
#ifndef TARVOCOIL_TOOLS_SERVE_SERVE_COMMAND_H
#define TARVOCOIL_TOOLS_SERVE_SERVE_COMMAND_H

#include <string>

namespace tarvotool {

struct ServeCommand {
    std::string site;
    double flushTimeout = 10.0;  // seconds the receivers get at the end
};

// Returns the exit status or throws ToolError (a site file that does not
// parse, an events folder that cannot be written, an address that cannot
// be bound).
int RunServe(const ServeCommand& cmd);

}  // namespace tarvotool

#endif
