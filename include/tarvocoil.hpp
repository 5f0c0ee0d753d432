// tarvocoil.hpp - TarvoCoil video trigger library, C++ interface.
//
// One tarvocoil::Detector is one independent library instance: its own
// areas, working planes, grey table, settings and flags. A host runs one
// detector per camera, each driven by one thread; a second thread may
// replace a detector's areas (setAreas waits for a running frame) or change
// its settings at any time. The behaviour of every call is exactly that of
// the C function of the same role in tarvocoil.h, which drives one
// process-wide detector of the same kind.
//
//     tarvocoil::Detector det;
//     det.setAreas(quads, thresholds);
//     std::vector<int32_t> flags(quads.size());
//     while (grab(frame))
//         if (det.process(frame.bgr, frame.width, frame.height, flags.data()))
//             for (size_t i = 0; i < flags.size(); ++i)
//                 if (flags[i]) trigger(i);
#ifndef TARVOCOIL_HPP
#define TARVOCOIL_HPP

#include <cstdint>
#include <memory>
#include <vector>

#include "tarvocoil.h"

namespace tarvocoil {

class Context;

// Settings shared by all areas of one detector. Defaults as on load.
struct Settings {
    int32_t frameCountThresh = 20;
    float twoFramesDisturbThresh = 0.15f;
    int32_t useFrontLightTrigger = 0;
    int16_t lightThresh = 200;
    int16_t lightMinWidth = 20;
    int16_t lightMaxWidth = 80;
    int16_t lightMinHeight = 20;
    int16_t lightMaxHeight = 80;
    int16_t lightMaxArea = 5000;
};

class Detector {
public:
    // An initialised detector (the equivalent of TRVCoilInit).
    Detector();
    // Releases everything (the equivalent of TRVCoilRelease).
    ~Detector();

    // A moved-from detector may only be destroyed or assigned to.
    Detector(Detector&& other) noexcept;
    Detector& operator=(Detector&& other) noexcept;
    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    // Replaces all areas; thresholds[i] is area i's presence ratio. Returns
    // true when at least one area was installed (see TRVSetSurvAreas for
    // what is refused). The next frame takes a new baseline.
    bool setAreas(const AreaQuad* quads, const float* thresholds, int32_t count);
    bool setAreas(const std::vector<AreaQuad>& quads, const std::vector<float>& thresholds);

    // Processes one 24-bit BGR frame with rows padded to 4 bytes. Returns 1
    // when the frame was used (baseline frame: results untouched; later
    // frames: one flag per area), 0 otherwise (see TRVGetSurvResults).
    int process(const uint8_t* pixels, int32_t width, int32_t height, int32_t* results,
                int32_t bytesPerPixel = 3);

    // Number of installed areas.
    int32_t areaCount() const;

    // Row stride in bytes of a 24-bit frame of the given width.
    static int32_t frameStride(int32_t width) { return (width * 3 + 3) & ~3; }

    void setFrameCountThresh(int32_t frameCountThresh);
    void setTwoFramesDisturbThresh(float twoFramesDisturbThresh);
    void useFrontLightTrigger(int32_t useFrontLightTrigger);
    void setLightParam(int32_t lightThresh, int32_t lightMinWidth, int32_t lightMaxWidth,
                       int32_t lightMinHeight, int32_t lightMaxHeight);
    Settings settings() const;

    // The engine behind this detector, for tools and tests inside the project.
    Context& context() { return *ctx_; }

private:
    std::unique_ptr<Context> ctx_;
};

}  // namespace tarvocoil

#endif  // TARVOCOIL_HPP
