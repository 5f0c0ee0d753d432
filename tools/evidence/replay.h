// replay.h - the triggers any presence threshold would have given, from one
// pass's measurements.
//
// With front-light triggering off, the presence threshold decides nothing
// but the presence flag of its own area: the sums, the reference brightness,
// the still test, the still count, the background refresh (copy or plane
// exchange, and the unstable verdict it passes to later areas) are all
// formed without it, so one run's bgDiffSum, referenceGrey and sampleCount
// per area and frame determine presence, and with it the trigger edges, for
// every threshold. With front-light triggering on this does not hold: a
// present area writes its light mask into the previous plane, which changes
// what later areas and later frames compare with.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_REPLAY_H
#define TARVOCOIL_TOOLS_EVIDENCE_REPLAY_H

#include <cstdint>
#include <vector>

#include "tarvocoil.hpp"

namespace tarvotool {

// The presence limit a threshold gives on a recorded frame, by the
// detector's own arithmetic (tarvocoil::limitScale and limitOf); presence
// is tarvocoil::exceeds(bgDiffSum, limit).
inline tarvocoil::LimitValue PresenceLimit(int64_t referenceGrey, int32_t sampleCount, float threshold) {
    return tarvocoil::limitOf(tarvocoil::limitScale(referenceGrey, sampleCount), threshold);
}
// The same limit: the same state, and the same value where it has one.
bool SameLimit(const tarvocoil::LimitValue& a, const tarvocoil::LimitValue& b);

// Trigger frames per area and candidate threshold, fed one processed
// frame's measurements at a time.
class ThresholdReplay {
public:
    ThresholdReplay(std::size_t areaCount, std::vector<float> candidates);

    // The measurements of processed frame `index` (as run counts frames),
    // one per area. A baseline frame starts every area afresh: no presence.
    void frame(int64_t index, const std::vector<tarvocoil::AreaMeasurement>& measurements);

    std::size_t areaCount() const { return areas_; }
    const std::vector<float>& candidates() const { return candidates_; }
    // Ascending trigger frames of one area at one candidate.
    const std::vector<int64_t>& triggers(std::size_t area, std::size_t candidate) const;

private:
    std::size_t areas_;
    std::vector<float> candidates_;
    std::vector<uint8_t> wasPresent_;              // [area * candidates + candidate]
    std::vector<std::vector<int64_t>> triggers_;   // the same index
};

}  // namespace tarvotool

#endif
