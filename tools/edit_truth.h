// edit_truth.h - the editor's view of a truth file: which triggers of a
// test run are hits, which truth entries were missed, which triggers are
// false, and the thresholds the evidence recommends.
#ifndef TARVOCOIL_TOOLS_EDIT_TRUTH_H
#define TARVOCOIL_TOOLS_EDIT_TRUTH_H

#include <cstdint>
#include <string>
#include <vector>

#include "areas_file.h"
#include "edit_video.h"

namespace tarvotool {

// A truth file as read: rows of (frame, area as written). Areas are
// resolved against the coils of each test, which the editor may rename.
struct EditorTruth {
    std::string path;
    struct Row {
        int64_t frame;
        std::string area;
        int line;
    };
    std::vector<Row> rows;
};

// Reads TRUTH.csv (header frame,area); throws ToolError naming the line.
EditorTruth ReadEditorTruth(const std::string& path);

struct TruthCounts {
    int hits = 0, misses = 0, falseTriggers = 0;
};

struct TruthScore {
    std::vector<TruthCounts> coils;
    // Per event of the run, in its order: true when it matched a truth entry.
    std::vector<bool> eventHit;
    // Truth entries in the run's range: frame (counted as the run counts),
    // area index, and the frame of the trigger that matched it (-1: missed).
    struct Entry {
        int64_t frame;
        int area;
        int64_t trigger;
    };
    std::vector<Entry> entries;
};

// Matches a run's triggers against the truth, per coil. Truth frames count
// from the video's first frame; a run that starts later begins at truth
// frame `offset`. Throws ToolError when a row names no coil of `areas`.
TruthScore ScoreAgainstTruth(const EditorTruth& truth, const AreasConfig& areas, const DetectorRun& run,
                             int64_t offset);

// The recommended threshold per coil for these coils over the clip; throws
// ToolError when it cannot be had.
std::vector<float> RecommendThresholds(const EditorTruth& truth, const AreasConfig& areas, const std::string& video);

}  // namespace tarvotool

#endif
