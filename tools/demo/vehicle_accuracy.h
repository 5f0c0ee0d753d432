// vehicle_accuracy.h - measured speeds and lengths against true ones.
//
// Errors are absolute and relative: 100 * |measured - true| / true per
// cent. A summary gives their median (the mean of the two middle values
// for an even count) and their 95th percentile by nearest rank (the
// smallest error at least 95 % of the errors do not exceed).
#ifndef TARVOCOIL_TOOLS_DEMO_VEHICLE_ACCURACY_H
#define TARVOCOIL_TOOLS_DEMO_VEHICLE_ACCURACY_H

#include <cmath>
#include <cstddef>
#include <vector>

#include "tools/demo/traffic_collector.h"

namespace tarvotool {

struct ErrorSummary {
    std::size_t count = 0;
    double median = NAN, p95 = NAN;  // per cent; NaN without errors
};
ErrorSummary SummariseErrors(std::vector<double> errors);

// What a vehicle really did.
struct VehicleTruth {
    double speedMps = 0;
    double lengthM = 0;
};

class AccuracyTally {
public:
    // A measured vehicle and the true one it belongs to (nullptr: none,
    // a vehicle the pair made up or merged).
    void add(const MeasuredVehicle& measured, const VehicleTruth* truth);
    // Takes in another tally's vehicles (for a total over pairs).
    void merge(const AccuracyTally& other);

    int matched() const { return matched_; }
    int unmatched() const { return unmatched_; }
    int withLength() const { return static_cast<int>(lengthErrors_.size()); }
    ErrorSummary speed() const { return SummariseErrors(speedErrors_); }
    ErrorSummary length() const { return SummariseErrors(lengthErrors_); }

private:
    int matched_ = 0, unmatched_ = 0;
    std::vector<double> speedErrors_, lengthErrors_;
};

}  // namespace tarvotool

#endif
