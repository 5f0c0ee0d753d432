// tune.h - choosing each area's presence threshold from labelled passages.
//
// `tarvocoil tune VIDEO --areas FILE --truth TRUTH.csv` runs the detector
// over the video, scores every candidate threshold per area against the
// truth (matching.h) and recommends, per area, the candidate with the best
// F1; among equal scores the middle of the longest run of consecutive
// candidates with that score, so that the choice sits where small changes
// of the picture do not change the outcome.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_TUNE_H
#define TARVOCOIL_TOOLS_EVIDENCE_TUNE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "tools/loop/frame_loop.h"
#include "tools/evidence/matching.h"
#include "tools/evidence/truth.h"

namespace tarvotool {

// A candidate threshold: the float nearest to the decimal `text`.
struct Candidate {
    float value = 0.0f;
    std::string text;
};

// "FROM:TO:STEP" (plain decimals; every FROM + k STEP up to TO, computed in
// decimal) or a comma-separated list of numbers. Sorted, without duplicate
// floats. Throws ToolError for anything else.
std::vector<Candidate> ParseThresholds(const std::string& grid);

// The recommended candidate of one area's rows: the best F1, and among
// equal scores the middle of the longest run of consecutive candidates with
// that score (the lower middle of an even run, the lowest of equal runs).
struct Recommendation {
    std::size_t index = 0;
    std::size_t runFirst = 0, runLast = 0;
};
Recommendation Recommend(const std::vector<MatchCounts>& rows);

// One pass over the frames tune runs on: runs `loop` (which holds the
// pass's detector and sinks; add more, a progress line say) over them from
// the first and returns its stats. Tune may make several passes; each must
// give the same frames.
using RunPass = std::function<LoopStats(FrameLoop& loop)>;

struct AreaTuning {
    std::string name;
    std::vector<MatchCounts> rows;  // per candidate
    Recommendation best;
    // Without labelled passages every candidate scores alike: the area
    // keeps its own threshold rather than the middle of the grid.
    bool labelled = true;
    Candidate chosen;               // what the tuned file gets: the recommendation, or the own threshold
    MatchCounts before;             // at the areas file's own threshold
    MatchCounts after;              // in a run with every area at its recommendation
};

struct TuneResult {
    std::vector<Candidate> candidates;
    std::vector<AreaTuning> areas;
    bool frontLight = false;        // the detector ran once per candidate
    int64_t frames = 0;             // processed frames
    int passes = 0;                 // runs through the source
    std::vector<float> recommended() const;
};

struct TuneOptions {
    std::vector<Candidate> candidates;
    MatchWindow window;
    int64_t lastFrame = -1;       // see MatchArea
    std::string plotPath;         // a plot of the run at the recommendations
    std::string plotTitle;
};

// Tunes the areas on the source (areas without passages keep their
// thresholds). With front-light triggering off, one pass
// with measurements gives every candidate exactly; with it on, the detector
// runs once per candidate (in batches) with every area at that candidate,
// and a last pass checks the recommended mix.
TuneResult Tune(const AreasConfig& areas, const std::vector<TruthEntry>& truth, const TuneOptions& options,
                const RunPass& runPass);

// The per-area tables, as printed and as CSV (area,threshold,triggers,hits,misses,false).
void PrintTuneTables(const TuneResult& r, std::FILE* out);
void PrintBeforeAfter(const TuneResult& r, const AreasConfig& areas, std::FILE* out);
std::string TuneTableCsv(const TuneResult& r);

// The areas file text with each area's threshold replaced; everything else
// (comments, settings, order of keys) kept. Checked by parsing it back.
// With `settings`, its detector settings replace the file's too, key by key
// (a bare list of areas then becomes an object with "areas" and "settings").
std::string TunedAreasText(const std::string& original, const std::string& source,
                           const std::vector<Candidate>& thresholds, const AreasConfig* settings = nullptr);

struct TuneCommand {
    std::string video, areas, truth;
    std::string thresholds = "0.01:0.50:0.01";
    int64_t early = 3, late = 10;
    std::string table, out, plot;
    double start = 0.0, duration = 0.0;  // duration 0: to the end
    // --search: detector settings too (search.h).
    bool search = false;
    std::size_t maxCandidates = 400;
    double budgetSeconds = 600.0;
};

int RunTune(const TuneCommand& cmd);
// `tune --search` (search.h).
int RunSearch(const TuneCommand& cmd);

// Passes over the command's video as `run` reads it (--start, --duration),
// with a progress line labelled `label` and the pass number; the first pass
// warns about the input as run does. `areas` must outlive the passes.
RunPass FilePasses(const TuneCommand& cmd, const AreasConfig& areas, const std::string& label);

}  // namespace tarvotool

#endif
