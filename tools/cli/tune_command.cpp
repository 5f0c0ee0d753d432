// tune_command.cpp - the `tune` subcommand's options and help.
#include <CLI/CLI.hpp>

#include "tools/cli/options.h"

namespace tarvotool {

CLI::App* AddTuneCommand(CLI::App& app, TuneCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "tune",
        "Choose each area's presence threshold from a video and a few labelled passages:\n"
        "every candidate threshold is scored per area against the truth file (hits,\n"
        "misses, false triggers) and the best is recommended.");
    c->add_option("VIDEO", cmd.video, "Any video file FFmpeg can read")->required()->type_name("VIDEO");
    c->add_option("-a,--areas", cmd.areas, "Areas file (JSON); its settings are used as they are")
        ->required()
        ->type_name("AREAS.json");
    c->add_option("-t,--truth", cmd.truth, "The labelled passages: CSV with the header frame,area (see below)")
        ->required()
        ->type_name("TRUTH.csv");
    c->add_option("--thresholds", cmd.thresholds,
                  "Candidates: FROM:TO:STEP in plain decimals (FROM, FROM+STEP, ... up to TO,\n"
                  "computed in decimal) or a list such as 0.05,0.1,0.2; each is the float nearest\n"
                  "to its decimal")
        ->capture_default_str()
        ->type_name("GRID");
    AddMatchWindowOptions(*c, cmd.early, cmd.late, "A trigger up to this many frames before a labelled entry is its hit");
    c->add_option("--table", cmd.table, "Write every table row as CSV: area,threshold,triggers,hits,misses,false\n"
                  "(with --search: every candidate, its settings, thresholds and totals)")
        ->type_name("FILE.csv");
    c->add_option("-o,--out", cmd.out,
                  "Write the areas file with each area's recommended threshold (all else kept;\n"
                  "with --search the searched settings too)")
        ->type_name("TUNED.json");
    c->add_option("--plot", cmd.plot,
                  "Plot the run at the recommended thresholds with the passages marked\n"
                  "(.png or .svg; see 'tarvocoil plot --help')")
        ->type_name("FILE");
    c->add_flag("--search", cmd.search,
                "Search the detector settings too (front_light, the light threshold and limits,\n"
                "frame_count, disturb_ratio) with each area's threshold and holdoff, for the best\n"
                "total F1; every candidate is a real detector run (see below), holdoffs are replayed\n"
                "from its triggers");
    c->add_option("--max-candidates", cmd.maxCandidates,
                  "With --search: the most candidate runs, at least the coarse grid's 74 (the\n"
                  "result depends on it, not on the machine's speed)")
        ->capture_default_str()
        ->type_name("N");
    c->add_option("--budget", cmd.budgetSeconds,
                  "With --search: a cap on its time; a refinement pass it interrupts is left out,\n"
                  "and the coarse grid must finish within it")
        ->capture_default_str()
        ->type_name("SECONDS");
    c->add_option("--start", cmd.start, "Start at this time (seconds), as 'run --start' does: frame 0 is the first\n"
                                        "frame at or after it")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 1e9));
    c->add_option("--duration", cmd.duration, "Process this many seconds, as 'run --duration' (default: to the end)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 1e9));
    c->footer(
        "TRUTH.csv: one row per vehicle passage: the frame on which it enters the coil,\n"
        "counted as 'run' counts (0 = the first, baseline frame), and the area by name\n"
        "or index:\n"
        "    frame,area\n"
        "    112,lane 1\n"
        "    140,0\n"
        "Matching, per area: the passages in time order each take the earliest trigger\n"
        "not yet taken within [frame - early, frame + late]; hits are the passages that\n"
        "took one, misses the rest, false the triggers nobody took.\n"
        "Recommended: the best F1 = 2 hits / (2 hits + misses + false); among equal\n"
        "scores the middle of the longest run of consecutive candidates with it.\n"
        "With front-light triggering off, one pass over the video gives every\n"
        "candidate exactly. With it on, the detector runs once per candidate (16 at a\n"
        "time per pass over the video), every area at that candidate, and one more pass\n"
        "checks the recommended thresholds together.\n"
        "--search: a coarse grid (front light off: frame_count x disturb_ratio; on: light\n"
        "threshold x light limits x two presence levels), then rounds of one-setting\n"
        "moves around the three best, until --max-candidates have run or no untried\n"
        "neighbour is left. Candidates run side by\n"
        "side on each decoded frame, on two threads. Score: the F1 of hits, misses and\n"
        "false summed over the labelled areas; ties go to fewer triggers, then to the\n"
        "settings nearer the detector's defaults. --table writes every candidate, --out\n"
        "the areas file with the best settings and thresholds; 'run' on it gives the\n"
        "printed row.");
    return c;
}

}  // namespace tarvotool
