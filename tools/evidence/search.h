// search.h - `tune --search`: the detector settings and each coil's
// threshold with the best total F1 on labelled passages.
//
// Every candidate is a real detector run on the whole video; a pass over
// the video runs many candidates side by side (DetectorBank: decoded once,
// two threads). The strategy is a coarse grid, then refinement: rounds of
// single-setting moves around the best few candidates, two rungs at a time
// and then one, until no new candidate is left or the budget is spent. The
// budget is counted in candidates, so that the result does not depend on
// the machine's speed; a time limit only caps it.
//
// A candidate's score is the F1 of the counts summed over the labelled
// coils (hits, misses, false triggers); ties go to fewer triggers, then to
// the candidate nearer the detector's defaults (SearchCandidate::distance),
// then to the one tried first.
//
// Each coil's holdoff is chosen inside every candidate, after its
// threshold: the candidate's triggers at each threshold are replayed
// through the holdoff filter at every rung of HoldoffLadder(), the rung
// that gives the coil the best F1 going with that threshold (ties to the
// smaller holdoff), and the threshold is then chosen on those pairs. This
// costs no candidate.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_SEARCH_H
#define TARVOCOIL_TOOLS_EVIDENCE_SEARCH_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/evidence/matching.h"
#include "tools/evidence/search_space.h"
#include "tools/evidence/truth.h"
#include "tools/evidence/tune.h"

namespace tarvotool {

// What a coil gets from a candidate: its threshold and holdoff, and the
// counts its reported triggers (after the holdoff) score there.
struct CoilChoice {
    Candidate threshold;
    MatchCounts counts;
    double holdoff = 0.0;  // seconds
};

struct SearchOutcome {
    SearchCandidate candidate;
    std::vector<CoilChoice> coils;
    MatchCounts total;  // over the labelled coils
    std::size_t order = 0;  // the position in which it was tried
};

struct SearchProgress {
    std::size_t candidatesDone = 0;  // scored so far
    std::size_t candidatesLimit = 0;
    std::size_t passCandidates = 0;  // in the pass under way
    int pass = 0;
    int64_t frame = 0;               // frames of this pass so far
    MatchCounts best;                // the best total so far
    bool haveBest = false;
};

struct SearchOptions {
    std::vector<Candidate> thresholds;  // each coil's candidates with front light off
    std::vector<double> holdoffs = HoldoffLadder();  // each labelled coil's, ascending
    MatchWindow window;
    int64_t lastFrame = -1;
    std::size_t maxCandidates = 400;
    double budgetSeconds = 600.0;
    // Frame size, for keeping the detectors of one pass within memory (0: unknown).
    int frameWidth = 0, frameHeight = 0;
    // Frames a pass is expected to give (-1: unknown), for saying how much
    // time the coarse grid needs when --budget ends it.
    int64_t expectedFrames = -1;
    // Polled on every frame: a set flag ends the search (SearchCancelled).
    const std::atomic<bool>* cancel = nullptr;
    // Called on every frame of every pass, on the pass's thread.
    std::function<void(const SearchProgress&)> progress;
};

struct SearchResult {
    std::vector<SearchOutcome> tried;  // in order
    std::size_t best = 0;              // index into tried
    std::vector<CoilChoice> before;    // the areas file as it is
    MatchCounts beforeTotal;
    std::size_t coarseCandidates = 0;
    int passes = 0;
    int refinementRounds = 0;
    int64_t frames = 0;
    double seconds = 0.0;
    bool timeUp = false;  // the time limit ended the refinement
    const SearchOutcome& winner() const { return tried[best]; }
};

class SearchCancelled : public ToolError {
public:
    SearchCancelled() : ToolError("the search was cancelled") {}
};

// True when a is the better of two outcomes by the rule above.
bool Better(const SearchOutcome& a, const SearchOutcome& b);

// The least --max-candidates: the coarse grid's size.
std::size_t LeastCandidates(const AreasConfig& areas);

SearchResult Search(const AreasConfig& areas, const std::vector<TruthEntry>& truth, const SearchOptions& options,
                    const RunPass& runPass);

// The areas file text with the winner's settings, thresholds and holdoffs
// (written where non-zero or where the coil had one); all else (comments,
// order of keys, settings the winner does not use) kept. A bare list of
// areas becomes an object, since only that has room for settings.
std::string SearchedAreasText(const std::string& original, const std::string& source, const SearchOutcome& winner);

}  // namespace tarvotool

#endif
