// match_window_options.cpp - --early and --late, shared by `tune` and `plot`.
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"

namespace tarvotool {

void AddMatchWindowOptions(CLI::App& app, int64_t& early, int64_t& late, const char* earlyHelp) {
    app.add_option("--early", early, earlyHelp)
        ->capture_default_str()
        ->type_name("FRAMES")
        ->check(CLI::Range(int64_t{0}, int64_t{1000000}));
    app.add_option("--late", late, "... and up to this many frames after it")
        ->capture_default_str()
        ->type_name("FRAMES")
        ->check(CLI::Range(int64_t{0}, int64_t{1000000}));
}

}  // namespace tarvotool
