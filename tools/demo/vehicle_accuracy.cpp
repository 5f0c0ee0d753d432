// vehicle_accuracy.cpp - error summaries for measured vehicles.
#include "tools/demo/vehicle_accuracy.h"

#include <algorithm>

namespace tarvotool {

ErrorSummary SummariseErrors(std::vector<double> errors) {
    ErrorSummary s;
    s.count = errors.size();
    if (errors.empty()) return s;
    std::sort(errors.begin(), errors.end());
    const std::size_t n = errors.size();
    s.median = n % 2 ? errors[n / 2] : 0.5 * (errors[n / 2 - 1] + errors[n / 2]);
    // Nearest rank: ceil(0.95 n), counted from 1; in whole numbers so that
    // 0.95 * 20 is 19 and not 19.000000000000004.
    const std::size_t rank = (95 * n + 99) / 100;
    s.p95 = errors[std::max<std::size_t>(rank, 1) - 1];
    return s;
}

void AccuracyTally::add(const MeasuredVehicle& m, const VehicleTruth* truth) {
    if (!truth || !(truth->speedMps > 0)) {
        ++unmatched_;
        return;
    }
    ++matched_;
    const double trueKmh = truth->speedMps * 3.6;
    speedErrors_.push_back(100.0 * std::fabs(m.speedKmh - trueKmh) / trueKmh);
    if (m.hasLength() && truth->lengthM > 0)
        lengthErrors_.push_back(100.0 * std::fabs(m.lengthM - truth->lengthM) / truth->lengthM);
}

void AccuracyTally::merge(const AccuracyTally& o) {
    matched_ += o.matched_;
    unmatched_ += o.unmatched_;
    speedErrors_.insert(speedErrors_.end(), o.speedErrors_.begin(), o.speedErrors_.end());
    lengthErrors_.insert(lengthErrors_.end(), o.lengthErrors_.begin(), o.lengthErrors_.end());
}

}  // namespace tarvotool
