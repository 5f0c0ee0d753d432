// options.h - the command line: each subcommand's options and help, filling
// the plain option structs the concern folders define and run.
#ifndef TARVOCOIL_TOOLS_CLI_OPTIONS_H
#define TARVOCOIL_TOOLS_CLI_OPTIONS_H

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/demo/demo_command.h"
#include "tools/edit/edit_server.h"
#include "tools/events/delivery_options.h"
#include "tools/evidence/plot.h"
#include "tools/evidence/tune.h"
#include "tools/live/live_source.h"
#include "tools/run/run_command.h"
#include "tools/serve/password_file.h"
#include "tools/serve/serve_command.h"

namespace tarvotool {

// `demo` and `run` have options that only say how to fill their command.
struct DemoArgs {
    DemoCommand cmd;
    bool noReview = false, noProgress = false;
    DemoCommand command() const;
};
struct RunArgs {
    RunCommand cmd;
    std::string format = "csv", traceFormat = "jsonl", statsFormat = "csv";
    bool noProgress = false;
    double duration = 0.0;  // taken when --duration was given
    CLI::Option* durationOption = nullptr;
    RunCommand command() const;
};

// Each declares a subcommand with its options and help on the application.
CLI::App* AddDemoCommand(CLI::App& app, DemoArgs& args);
CLI::App* AddRunCommand(CLI::App& app, RunArgs& args);
CLI::App* AddFrameCommand(CLI::App& app, FrameCommand& cmd);
CLI::App* AddTuneCommand(CLI::App& app, TuneCommand& cmd);
CLI::App* AddPlotCommand(CLI::App& app, PlotCommand& cmd);
CLI::App* AddEditCommand(CLI::App& app, EditCommand& cmd);
CLI::App* AddServeCommand(CLI::App& app, ServeCommand& cmd);
CLI::App* AddPasswdCommand(CLI::App& app, PasswdCommand& cmd);

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
