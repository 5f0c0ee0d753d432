// search_space.h - the detector settings `tune --search` tries, and how it
// moves between them.
//
// Every setting takes its values from a ladder of its own (below); a
// candidate is one rung per setting. The coarse grid is a few well spread
// rungs of each; refinement moves one setting at a time by `step` rungs
// around the best candidates found so far.
//
// With front-light triggering off, a coil's presence threshold decides
// nothing but its own presence flag, so one run with measurements gives
// every threshold exactly (replay.h) and each coil's threshold is chosen
// inside the candidate's run. With it on, a presence writes the light mask
// other coils and frames read: the threshold is then a setting of the
// candidate (one level for all coils, or a mix chosen per coil from the
// levels already run), tried in a run of its own.
//
// A coil's holdoff filters the triggers the run reported, so it needs no
// run of its own: every candidate's triggers are replayed at each rung of
// HoldoffLadder() per coil (CoilChoice in search.h).
#ifndef TARVOCOIL_TOOLS_EVIDENCE_SEARCH_SPACE_H
#define TARVOCOIL_TOOLS_EVIDENCE_SEARCH_SPACE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/areas_file.h"

namespace tarvotool {

// The settings searched, in the order they are printed.
enum SearchDim : int {
    kFrameCount,
    kDisturbRatio,
    kLightThreshold,
    kLightMinWidth,
    kLightMaxWidth,
    kLightMinHeight,
    kLightMaxHeight,
    kPresenceLevel,  // front light on: the presence threshold of every coil
    kSearchDims
};

struct SearchLadder {
    const char* name;                  // as in the areas file ("light.min_width")
    std::vector<std::string> rungs;    // decimals, ascending
    std::vector<std::size_t> coarse;   // the rungs of the coarse grid
    double fallback;                   // the detector's default (nearness is measured from it)
    bool frontLightOnly;
};
const SearchLadder& Ladder(int dim);

struct SearchCandidate {
    bool frontLight = false;
    std::array<std::size_t, kSearchDims> rung{};
    // Front light on: each coil's presence threshold. Uniform candidates
    // have every coil at rung[kPresenceLevel]; a mix (mixed = true) has
    // each coil at the level that served it best.
    std::vector<float> thresholds;
    bool mixed = false;

    double value(int dim) const;
    bool uses(int dim) const { return frontLight || !Ladder(dim).frontLightOnly; }
    // Identifies the detector run: settings the run does not use are left out.
    std::string key() const;
    // Front light on, frame_count, light limits ... as one line.
    std::string describe() const;
    // How far from the detector's defaults: the sum, over the settings the
    // run uses, of |value - default| / default, plus 1 for front light on.
    // The presence level and per-coil thresholds do not count.
    double distance() const;
    // The areas configuration this candidate runs: `areas` with these settings.
    AreasConfig apply(const AreasConfig& areas) const;
};

// The coarse grid for `coils` coils: front light off over frame_count and
// disturb_ratio; front light on over the light threshold, square light
// limits (min_width = min_height, max_width = max_height) and two presence
// levels, at the file's frame_count and disturb_ratio rounded to a rung.
std::vector<SearchCandidate> CoarseGrid(const AreasConfig& areas);

// The candidates one setting at a time `step` rungs away from `c`.
std::vector<SearchCandidate> Neighbours(const SearchCandidate& c, std::size_t coils, std::size_t step);

// A coil's holdoff values, seconds, ascending from 0 (no holdoff).
const std::vector<double>& HoldoffLadder();

// "frame_count 5,10,20,40 (of 15 rungs 2..100)" lines describing the space.
std::vector<std::string> DescribeSpace();

}  // namespace tarvotool

#endif
