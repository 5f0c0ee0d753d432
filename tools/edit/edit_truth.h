// edit_truth.h - the editor's view of a truth file: which triggers of a
// test run are hits, which passages were missed, which triggers are false
// (the matching rule of `demo` and `tune`), and the thresholds `tune`
// recommends for the coils on the page.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_TRUTH_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_TRUTH_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "tools/edit/edit_video.h"
#include "tools/evidence/matching.h"
#include "tools/evidence/truth.h"

namespace tarvotool {

// A truth file's text, read once. Its rows name coils, which the editor
// may rename, so it is parsed against the coils of each request.
struct EditorTruth {
    std::string path;
    std::string text;
};

// Reads the file and checks that it parses as a truth file (against no
// coil names yet: indices and names are resolved per request); throws ToolError.
EditorTruth ReadEditorTruth(const std::string& path);

struct TruthScore {
    std::vector<MatchCounts> coils;
    // Per event of the run, in its order: whether it matched a passage.
    std::vector<bool> eventHit;
    // Passages in the run's range: frame (as the run counts), area, and the
    // frame of the trigger that matched it (-1: missed).
    struct Entry {
        int64_t frame;
        int area;
        int64_t trigger;
    };
    std::vector<Entry> entries;
};

// Truth frames count from the video's first frame; a run that starts later
// begins at truth frame `offset`. Throws ToolError when a row names no coil.
TruthScore ScoreAgainstTruth(const EditorTruth& truth, const AreasConfig& areas, const DetectorRun& run,
                             int64_t offset);

// The truth entries of a run from `start` seconds to the end, counted as
// that run counts frames.
std::vector<TruthEntry> TruthForRun(const EditorTruth& truth, const AreasConfig& areas, const std::string& video,
                                    double start, const VideoFacts& facts);

struct CoilTuning {
    std::string name;
    std::string threshold;  // the recommended candidate as its decimal (its own without passages)
    MatchCounts before, after;
};

// `tune`'s recommendation per coil over [start, start + duration) of the
// video (the whole video without a duration), with its default candidates
// and window; truth frames as for ScoreAgainstTruth.
std::vector<CoilTuning> TuneCoils(const EditorTruth& truth, const AreasConfig& areas, const std::string& video,
                                  double start, std::optional<double> duration, const VideoFacts& facts);

}  // namespace tarvotool

#endif
