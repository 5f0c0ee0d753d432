// margin.h - how far an area's difference from its background lies above
// its presence limit, and the time between two frames at which it crossed 1.
//
// The detector calls an area present when bgDiffSum > presenceLimit, so
// the margin m = bgDiffSum / presenceLimit crosses 1 where a presence
// begins or ends. Frames come at whole frame times; the crossing lies
// between them. With the margin m0 at t0 (the frame before) and m1 at t1,
// the straight line through both crosses 1 at
//
//     t = t0 + (1 - m0) / (m1 - m0) * (t1 - t0).
//
// At 25 fps and 60 km/h a vehicle moves 0.67 m per frame; over a 6 m trap
// the frame time alone is off by up to a frame at each coil, and the
// crossing takes most of that away.
#ifndef TARVOCOIL_HOST_TRAFFIC_MARGIN_H
#define TARVOCOIL_HOST_TRAFFIC_MARGIN_H

#include <cmath>
#include <limits>

#include "tarvocoil.hpp"

namespace tarvotool {

// The margin of one record, or NaN where it has none: a baseline record,
// and a limit that is NaN, saturated or not above 0 (the ratio then says
// nothing about how close the area came to its limit).
inline double Margin(const tarvocoil::AreaMeasurement& m) {
    using tarvocoil::AreaMeasurement;
    using tarvocoil::LimitValue;
    if (m.kind != AreaMeasurement::Kind::Detect || m.presenceLimit.state != LimitValue::State::Value ||
        m.presenceLimit.value <= 0)
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(m.bgDiffSum) / static_cast<double>(m.presenceLimit.value);
}

// The time at which the margin crossed 1 between the frame at t0 (margin
// m0) and the frame at t1 (margin m1). Falls back to t1, the frame on
// which the change was seen, where the crossing cannot be placed: a margin
// missing (NaN), a flat margin, frames out of order, or a crossing outside
// [t0, t1] (front-light triggering can confirm a presence frames after the
// margin crossed 1).
inline double CrossingTime(double t0, double m0, double t1, double m1) {
    if (!std::isfinite(t0) || !std::isfinite(m0) || !std::isfinite(m1) || !(t1 > t0) || m1 == m0) return t1;
    const double t = t0 + (1.0 - m0) / (m1 - m0) * (t1 - t0);
    if (!(t >= t0 && t <= t1)) return t1;
    return t;
}

}  // namespace tarvotool

#endif
