// replay.cpp - presence and trigger edges for many thresholds at once.
#include "tools/evidence/replay.h"

#include <algorithm>

#include "host/errors.h"

namespace tarvotool {

using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

bool SameLimit(const LimitValue& a, const LimitValue& b) {
    if (a.state != b.state) return false;
    return a.state != LimitValue::State::Value || a.value == b.value;
}

ThresholdReplay::ThresholdReplay(std::size_t areaCount, std::vector<float> candidates)
    : areas_(areaCount),
      candidates_(std::move(candidates)),
      wasPresent_(areas_ * candidates_.size(), 0),
      triggers_(areas_ * candidates_.size()) {}

void ThresholdReplay::frame(int64_t index, const std::vector<AreaMeasurement>& m) {
    if (m.size() != areas_)
        throw ToolError("internal error: frame " + std::to_string(index) + " has " + std::to_string(m.size()) +
                        " area measurements for " + std::to_string(areas_) + " areas");
    const std::size_t n = candidates_.size();
    for (std::size_t a = 0; a < areas_; ++a) {
        uint8_t* was = &wasPresent_[a * n];
        if (m[a].kind == AreaMeasurement::Kind::Baseline) {
            std::fill(was, was + n, 0);
            continue;
        }
        for (std::size_t c = 0; c < n; ++c) {
            const bool present =
                tarvocoil::exceeds(m[a].bgDiffSum, PresenceLimit(m[a].referenceGrey, m[a].sampleCount, candidates_[c]));
            if (present && !was[c]) triggers_[a * n + c].push_back(index);
            was[c] = present ? 1 : 0;
        }
    }
}

const std::vector<int64_t>& ThresholdReplay::triggers(std::size_t area, std::size_t candidate) const {
    return triggers_.at(area * candidates_.size() + candidate);
}

}  // namespace tarvotool
