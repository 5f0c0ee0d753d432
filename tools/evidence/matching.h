// matching.h - which triggers found which labelled passages.
//
// One rule for the demo's table and for tuning: per area, the truth entries
// in time order each take the earliest trigger not yet taken that lies in
// [entry - early, entry + late] frames. Hits are the entries that took a
// trigger, misses the others, false triggers those nobody took.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_MATCHING_H
#define TARVOCOIL_TOOLS_EVIDENCE_MATCHING_H

#include <cstdint>
#include <vector>

namespace tarvotool {

struct MatchWindow {
    int64_t early = 3;  // frames a trigger may come before the entry
    int64_t late = 10;  // frames it may come after
};

struct MatchCounts {
    int truths = 0;    // entries counted
    int triggers = 0;  // triggers counted
    int hits = 0;
    int misses = 0;
    int falses = 0;
};

struct AreaMatch : MatchCounts {
    double latencySum = 0.0;              // trigger - entry, frames, over the hits
    std::vector<int64_t> matched;         // per entry: the frame of its trigger, or -1
    std::vector<char> triggerTaken;       // per trigger: taken by an entry
};

// `truth` and `triggers` are frame indices, each in ascending order. With
// lastFrame >= 0, entries whose window ends after lastFrame (the run ended
// before their window did) are left out of the counts, together with the
// trigger they took; they still take it, so that they never leave a later
// entry a trigger that belongs to them.
AreaMatch MatchArea(const std::vector<int64_t>& truth, const std::vector<int64_t>& triggers, MatchWindow window,
                    int64_t lastFrame = -1);

// F1 = 2 hits / (2 hits + misses + false), compared exactly. With no
// entries and no triggers it is 1: nothing to find and nothing found.
struct F1Score {
    int64_t num = 1, den = 1;
    explicit F1Score(const MatchCounts& c);
    F1Score() = default;
    double value() const { return static_cast<double>(num) / static_cast<double>(den); }
    bool operator==(const F1Score& o) const { return num * o.den == o.num * den; }
    bool operator<(const F1Score& o) const { return num * o.den < o.num * den; }
};

}  // namespace tarvotool

#endif
