// vehicle_length.h - a vehicle's length from its time over a coil.
//
// A vehicle of length Lv at speed v occupies a coil of length Lc (along
// the lane) from the moment its front reaches the coil's leading edge
// until its rear leaves the trailing edge: (Lv + Lc) / v. So
//
//     Lv = v * (exit - entry) - Lc
//
// with entry and exit the instants at which the margin crossed 1.
//
// But the coil does not see the vehicle from its first centimetre: the
// difference from the background grows with the part of the coil the
// vehicle covers, and presence starts only when it passes the limit. With
// the difference proportional to the covered fraction c, and M the peak
// margin of the passage (the margin with the coil fully covered), the
// margin crosses 1 at c = 1/M: the coil sees the vehicle Lc/M late and
// loses it Lc/M early. The time over the coil is short by 2 Lc / (M v), so
//
//     Lv = v * (exit - entry) - Lc * (1 - 2 / M).
//
// A faint vehicle (M near 1) is seen over little more than the moment it
// covers the whole coil; a strong one (M large) over nearly the whole
// passage. This assumes a vehicle longer than the coil (one that covers
// it fully at some moment); with M unknown the plain formula is used.
#ifndef TARVOCOIL_HOST_TRAFFIC_VEHICLE_LENGTH_H
#define TARVOCOIL_HOST_TRAFFIC_VEHICLE_LENGTH_H

#include <cmath>

namespace tarvotool {

// Metres, or NaN when the numbers give no length (a speed or duration
// that is not positive, or a length that comes out 0 or less).
inline double VehicleLength(double speedMps, double entry, double exit, double coilLength, double peakMargin) {
    const double duration = exit - entry;
    if (!(speedMps > 0) || !(duration > 0) || !std::isfinite(speedMps) || !std::isfinite(duration)) return NAN;
    const double seen = std::isfinite(peakMargin) && peakMargin > 1.0 ? 1.0 - 2.0 / peakMargin : 1.0;
    const double length = speedMps * duration - coilLength * seen;
    return length > 0 ? length : NAN;
}

}  // namespace tarvotool

#endif
