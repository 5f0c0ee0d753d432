// edit_cli.h - the `edit` subcommand's options.
#ifndef TARVOCOIL_TOOLS_EDIT_CLI_H
#define TARVOCOIL_TOOLS_EDIT_CLI_H

#include <CLI/CLI.hpp>

#include "edit_server.h"

namespace tarvotool {

// Adds `edit` to the tool's command line, filling `cmd`.
CLI::App* AddEditCommand(CLI::App& app, EditCommand& cmd);

}  // namespace tarvotool

#endif
