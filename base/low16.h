// low16.h - the low 16 bits of a value, read as signed.
//
// Geometry, flags and most light settings are signed 16-bit values; a
// 32-bit argument that lands in one keeps its low 16 bits (65556 is 20,
// 32768 is -32768). Written without a narrowing conversion whose result
// would depend on the compiler.
#ifndef TARVOCOIL_BASE_LOW16_H
#define TARVOCOIL_BASE_LOW16_H

#include <cstdint>

namespace tarvocoil {

inline int16_t low16(uint32_t v) {
    const uint16_t u = static_cast<uint16_t>(v);
    return static_cast<int16_t>(u >= 0x8000u ? static_cast<int32_t>(u) - 0x10000 : u);
}
inline int16_t low16(int32_t v) { return low16(static_cast<uint32_t>(v)); }

}  // namespace tarvocoil

#endif
