// limits.h - turning a float ratio of an integer sum into an integer limit.
//
// The limit is the exact product of two 32-bit floats (exact in double),
// truncated toward zero. Products beyond the signed 64-bit range saturate
// to its ends; a NaN product gives no limit, and every comparison with it
// is false. Converting an out-of-range double to an integer would be
// undefined behaviour (and hardware returns INT64_MIN, which would make a
// huge threshold trigger on every frame). The limit is the public
// LimitValue, so that a measurement record carries it as it was used.
#ifndef TARVOCOIL_DETECT_LIMITS_H
#define TARVOCOIL_DETECT_LIMITS_H

#include <cmath>
#include <cstdint>

#include "tarvocoil.hpp"

namespace tarvocoil {

inline LimitValue limitOf(float p, float ratio) {
    const double product = static_cast<double>(p) * static_cast<double>(ratio);
    LimitValue limit;
    constexpr double kTwo63 = 9223372036854775808.0;
    if (std::isnan(product)) {
        limit.state = LimitValue::State::NotANumber;
    } else if (product >= kTwo63) {
        limit.state = LimitValue::State::SaturatedHigh;
        limit.value = INT64_MAX;
    } else if (product < -kTwo63) {
        limit.state = LimitValue::State::SaturatedLow;
        limit.value = INT64_MIN;
    } else {
        limit.value = static_cast<int64_t>(product);
    }
    return limit;
}

// sum > limit, false for no limit.
inline bool exceeds(int64_t sum, const LimitValue& limit) {
    return limit.state != LimitValue::State::NotANumber && sum > limit.value;
}
// sum <= limit, false for no limit.
inline bool within(int64_t sum, const LimitValue& limit) {
    return limit.state != LimitValue::State::NotANumber && sum <= limit.value;
}

}  // namespace tarvocoil

#endif
