// coil_flash.h - how coils look on pictures, for every host that draws them
// (the review video, snapshots, the editor's frames, the GStreamer element):
// outlined green while idle; on a trigger red and filled, the fill fading
// out over the flash. The pixels are each host's own (its picture type and
// blending); the colours and the flash's timing are the same everywhere.
#ifndef TARVOCOIL_HOST_COIL_FLASH_H
#define TARVOCOIL_HOST_COIL_FLASH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/canvas.h"

namespace tarvotool {

constexpr Color kCoilIdle{40, 220, 40};
constexpr Color kCoilTriggered{40, 40, 255};

// Per coil, the frames since its last trigger while its flash lasts.
class CoilFlash {
public:
    explicit CoilFlash(std::size_t coils = 0) : age_(coils, -1) {}

    // Once per processed frame: the flags (one per coil) of a detection
    // frame, or null. A trigger starts the coil's flash again; a flash ends
    // after `flashFrames` frames.
    void advance(const int32_t* flags, int flashFrames) {
        for (std::size_t i = 0; i < age_.size(); ++i) {
            if (flags && flags[i]) age_[i] = 0;
            else if (age_[i] >= 0) age_[i] = age_[i] + 1 >= flashFrames ? -1 : age_[i] + 1;
        }
    }
    // Frames since the coil's trigger (0 on the trigger frame), -1 when idle.
    int age(std::size_t coil) const { return coil < age_.size() ? age_[coil] : -1; }

private:
    std::vector<int> age_;
};

}  // namespace tarvotool

#endif
