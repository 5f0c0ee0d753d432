// limits.h - turning a float ratio of an integer sum into an integer limit.
//
// The limit is the exact product of two 32-bit floats (exact in double),
// truncated toward zero. Products beyond the signed 64-bit range saturate
// to its ends; a NaN product gives no limit, and every comparison with it
// is false. Converting an out-of-range double to an integer would be
// undefined behaviour (and hardware returns INT64_MIN, which would make a
// huge threshold trigger on every frame).
#ifndef TARVOCOIL_DETECT_LIMITS_H
#define TARVOCOIL_DETECT_LIMITS_H

#include <cmath>
#include <cstdint>

namespace tarvocoil {

struct Limit {
    bool valid;     // false for NaN
    int64_t value;
};

inline Limit limitOf(float p, float ratio) {
    const double product = static_cast<double>(p) * static_cast<double>(ratio);
    if (std::isnan(product)) return Limit{false, 0};
    constexpr double kTwo63 = 9223372036854775808.0;
    if (product >= kTwo63) return Limit{true, INT64_MAX};
    if (product < -kTwo63) return Limit{true, INT64_MIN};
    return Limit{true, static_cast<int64_t>(product)};
}

// sum > limit, false for no limit.
inline bool exceeds(int64_t sum, Limit limit) { return limit.valid && sum > limit.value; }
// sum <= limit, false for no limit.
inline bool within(int64_t sum, Limit limit) { return limit.valid && sum <= limit.value; }

}  // namespace tarvocoil

#endif
