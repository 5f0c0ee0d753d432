// interval_clock.cpp - interval numbers from stream or wall time.
#include "host/traffic/interval_clock.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace tarvotool {

namespace {
// Interval numbers beyond this are not counted (a corrupt timestamp).
constexpr double kMaxIndex = 1e15;
}  // namespace

int64_t IntervalClock::index(double t, double wall) {
    const bool live = basis_ == IntervalBasis::WallClock;
    if (!std::isfinite(t) || (live && !std::isfinite(wall))) return kNone;
    if (!started_) {
        started_ = true;
        t0_ = t;
        offset_ = live ? wall - t : 0;
    }
    const double k = live ? std::floor(wall / seconds_) : std::floor((t - t0_) / seconds_);
    if (!(std::fabs(k) < kMaxIndex)) return kNone;
    return static_cast<int64_t>(k);
}

double IntervalClock::start(int64_t k) const {
    const double kk = static_cast<double>(k);
    return basis_ == IntervalBasis::WallClock ? kk * seconds_ - offset_ : t0_ + kk * seconds_;
}

std::string IntervalClock::wallStart(int64_t k) const {
    return basis_ == IntervalBasis::WallClock ? IsoUtc(static_cast<double>(k) * seconds_) : std::string();
}

std::string IsoUtc(double seconds) {
    const double whole = std::floor(seconds);
    const std::time_t tt = static_cast<std::time_t>(whole);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string s = buf;
    const long ms = std::lround((seconds - whole) * 1000.0);
    if (ms > 0 && ms < 1000) {
        std::snprintf(buf, sizeof buf, ".%03ld", ms);
        s += buf;
    }
    return s + "Z";
}

}  // namespace tarvotool
