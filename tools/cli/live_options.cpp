// live_options.cpp - the command-line options of live input.
#include <cmath>

#include <CLI/CLI.hpp>

#include "tools/cli/options.h"

namespace tarvotool {

void AddLiveOptions(CLI::App& cmd, LiveOptions& options) {
    const std::string group = "Live input (rtsp://, http://, udp://, srt://, ...)";
    cmd.add_option("--stall", options.stallSeconds, "Seconds without a frame after which the stream counts as lost")
        ->capture_default_str()
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 3600.0))
        ->group(group);
    cmd.add_flag_callback(
           "--no-reconnect", [&options] { options.reconnect = false; },
           "End the run when the stream is lost instead of reconnecting")
        ->group(group);
    cmd.add_option("--max-retries", options.maxRetries,
                   "Failed reconnection attempts in a row after which the run ends (-1: no limit)")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(-1, 1000000000))
        ->group(group);
    cmd.add_option_function<double>(
           "--retry-max-delay",
           [&options](const double& s) {
               options.retryMax = std::chrono::milliseconds(static_cast<int64_t>(std::llround(s * 1000.0)));
           },
           "Longest wait between reconnection attempts in seconds (the wait starts at 0.5 s and doubles; "
           "default 30)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.5, 86400.0))
        ->group(group);
}

}  // namespace tarvotool
