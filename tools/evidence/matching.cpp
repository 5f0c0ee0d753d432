// matching.cpp - matching triggers with truth entries.
#include "tools/evidence/matching.h"

#include <algorithm>

namespace tarvotool {

AreaMatch MatchArea(const std::vector<int64_t>& truth, const std::vector<int64_t>& triggers, MatchWindow window,
                    int64_t lastFrame) {
    AreaMatch m;
    m.matched.assign(truth.size(), -1);
    m.triggerTaken.assign(triggers.size(), 0);
    std::vector<char> leftOut(triggers.size(), 0);
    // Windows only move forward, so every trigger before the last one taken
    // is either taken or before the current window: the earliest free
    // trigger of a window is the first one after both.
    std::size_t next = 0;
    for (std::size_t k = 0; k < truth.size(); ++k) {
        const int64_t entry = truth[k];
        std::size_t j = std::lower_bound(triggers.begin() + next, triggers.end(), entry - window.early) - triggers.begin();
        const bool hit = j < triggers.size() && triggers[j] <= entry + window.late;
        const bool counted = lastFrame < 0 || entry + window.late <= lastFrame;
        if (hit) {
            m.triggerTaken[j] = 1;
            m.matched[k] = triggers[j];
            next = j + 1;
            if (!counted) leftOut[j] = 1;
        }
        if (!counted) continue;
        ++m.truths;
        if (hit) {
            ++m.hits;
            m.latencySum += static_cast<double>(triggers[j] - entry);
        } else {
            ++m.misses;
        }
    }
    for (std::size_t j = 0; j < triggers.size(); ++j) {
        if (leftOut[j]) continue;
        ++m.triggers;
        if (!m.triggerTaken[j]) ++m.falses;
    }
    return m;
}

F1Score::F1Score(const MatchCounts& c) {
    num = 2 * int64_t{c.hits};
    den = num + c.misses + c.falses;
    if (den == 0) num = den = 1;
}

}  // namespace tarvotool
