// options.h - the command line: each subcommand's options and help, filling
// the plain option structs the concern folders define and run.
#ifndef TARVOCOIL_TOOLS_CLI_OPTIONS_H
#define TARVOCOIL_TOOLS_CLI_OPTIONS_H

#include <cstdint>

#include <CLI/CLI.hpp>

#include "tools/edit/edit_server.h"
#include "tools/events/delivery_options.h"
#include "tools/evidence/plot.h"
#include "tools/evidence/tune.h"
#include "tools/live/live_source.h"

namespace tarvotool {

// Each declares a subcommand with its options and help on the application.
CLI::App* AddTuneCommand(CLI::App& app, TuneCommand& cmd);
CLI::App* AddPlotCommand(CLI::App& app, PlotCommand& cmd);
CLI::App* AddEditCommand(CLI::App& app, EditCommand& cmd);

// Option groups several subcommands share.
// --mqtt, --webhook, --queue, ...: the receivers of a run's events.
void AddDeliveryOptions(CLI::App& cmd, DeliveryOptions& opt);
// --stall, --no-reconnect, --max-retries, --retry-max-delay for a
// subcommand that reads live input.
void AddLiveOptions(CLI::App& cmd, LiveOptions& options);
// --early (explained by `earlyHelp`) and --late.
void AddMatchWindowOptions(CLI::App& app, int64_t& early, int64_t& late, const char* earlyHelp);

}  // namespace tarvotool

#endif
