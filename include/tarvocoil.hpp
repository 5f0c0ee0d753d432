// tarvocoil.hpp - TarvoCoil video trigger library, C++ interface.
//
// One tarvocoil::Detector is one independent library instance: its own
// areas, working planes, grey table, settings and flags. A host runs one
// detector per camera, each driven by one thread; a second thread may
// replace a detector's areas (setAreas waits for a running frame) or change
// its settings at any time. The behaviour of every call is exactly that of
// the C function of the same role in tarvocoil.h, which drives one
// process-wide detector of the same kind. Each detector has all of its
// memory to itself (no state is shared between detectors): a 2 MiB grey
// table, three working planes of ((width + 3) & ~3) * height bytes from
// the first frame on (about 6 MiB at 1920 x 1080), 12 bytes per area row.
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

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "tarvocoil.h"

namespace tarvocoil {

class Context;

// Limits of the detector, the same for the C functions and this interface.
constexpr int32_t kMaxAreas = 32767;        // areas per detector
constexpr int32_t kMinCoord = -32768;       // vertex coordinates
constexpr int32_t kMaxCoord = 32767;
constexpr int32_t kMinFrameWidth = 1;       // pixels
constexpr int32_t kMaxFrameWidth = 10921;   // a 24-bit row stride fits in 16 bits
constexpr int32_t kMinFrameHeight = 3;      // rows (the 3x3 median)
constexpr int32_t kMaxFrameHeight = 32767;

// Settings shared by all areas of one detector. Defaults as on load.
struct Settings {
    int32_t frameCountThresh = 20;
    float twoFramesDisturbThresh = 0.15f;
    int32_t useFrontLightTrigger = 0;   // the value stored; on only when 1
    int16_t lightThresh = 200;
    int16_t lightMinWidth = 20;
    int16_t lightMaxWidth = 80;
    int16_t lightMinHeight = 20;
    int16_t lightMaxHeight = 80;
    int16_t lightMaxArea = 5000;

    bool frontLightOn() const { return useFrontLightTrigger == 1; }
};

// A host's 24-bit BGR frame with rows `stride` bytes apart: any stride of
// at least 3 * width bytes, up to 2^31 - 1 (rows need no padding; OpenCV's
// 3 * width and FFmpeg's 32- or 64-byte aligned rows both fit). The pixels
// must cover (height - 1) * stride + 3 * width bytes; they are read during
// the call only and never kept.
struct FrameView {
    const uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
};

// One row of an installed area as the detector covers it: every column
// from left to right, both included, of row y (coordinates may lie
// outside the frame; the detector clips them when it samples).
struct AreaRow {
    int32_t y;
    int32_t left;
    int32_t right;
};

// An integer limit formed from a float ratio of an integer sum. A NaN
// ratio gives no limit (every comparison with it is false); a product
// beyond the signed 64-bit range saturates to that range's end.
struct LimitValue {
    enum class State : uint8_t { Value, NotANumber, SaturatedHigh, SaturatedLow };
    State state = State::Value;
    int64_t value = 0;
};

// How the detector forms its limits, for hosts that recompute one from a
// measurement record: a threshold replayed over a recorded run must give
// the detector's own decision, bit for bit, so there is this one
// definition. The detector uses exactly these functions.
//
// The scale of an area's limits: referenceGrey x sampleCount as a 64-bit
// product (wrapping, so that a record read from a file cannot overflow a
// signed multiply), rounded to the nearest float, ties to even.
inline float limitScale(int64_t referenceGrey, int64_t sampleCount) {
    const uint64_t product = static_cast<uint64_t>(referenceGrey) * static_cast<uint64_t>(sampleCount);
    return static_cast<float>(static_cast<int64_t>(product));
}

// scale x ratio: the exact product of the two floats (exact in double),
// truncated toward zero. Products beyond the signed 64-bit range saturate
// to its ends; a NaN product gives no limit. Converting an out-of-range
// double to an integer would be undefined behaviour (and hardware returns
// INT64_MIN, which would make a huge threshold trigger on every frame).
inline LimitValue limitOf(float scale, float ratio) {
    const double product = static_cast<double>(scale) * static_cast<double>(ratio);
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

// sum > limit (presence), false for no limit.
inline bool exceeds(int64_t sum, const LimitValue& limit) {
    return limit.state != LimitValue::State::NotANumber && sum > limit.value;
}
// sum <= limit (stillness), false for no limit.
inline bool within(int64_t sum, const LimitValue& limit) {
    return limit.state != LimitValue::State::NotANumber && sum <= limit.value;
}

// A light blob as the seed fill measured it.
struct LightBlob {
    int16_t x = 0, y = 0, width = 0, height = 0;  // blobRect
    int32_t total = 0;                            // blobTotal
    int16_t meanRun = 0;                          // mean run width
};

// What the detector computed for one area on one frame.
struct AreaMeasurement {
    enum class Kind : uint8_t { Baseline, Detect };
    enum class Refresh : uint8_t { None, Copy, Exchange };

    Kind kind = Kind::Baseline;
    int64_t greySum = 0;        // 1 + the sum of the grid greys
    int64_t mean = 0;           // greySum / sampleCount (baseline: raised to 10)
    int32_t sampleCount = 0;    // 1 + the number of grid positions
    // Detection frames only:
    int64_t referenceGrey = 0;  // the brightness the limits are formed from
    int64_t bgDiffSum = 0;      // sum of |grey - background|
    LimitValue presenceLimit;   // present when bgDiffSum > presenceLimit
    int64_t prevDiffSum = 0;    // sum of |grey - previous frame|
    LimitValue stillLimit;      // still when prevDiffSum <= stillLimit
    int32_t stillCount = 0;     // consecutive still frames, after this frame
    Refresh refresh = Refresh::None;
    bool present = false;       // presence decided for this frame
    int32_t result = 0;         // the flag written for this area
    // With front-light triggering on:
    bool lightTested = false;   // the light test ran for this area
    bool blobFound = false;     // it accepted a blob (the first one below)
    LightBlob blob;
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
    // what is refused: a refused set leaves no area installed). The next
    // frame takes a new baseline. Safe from another thread while a frame
    // runs: it waits for that frame.
    bool setAreas(int32_t count, const AreaQuad* quads, const float* thresholds);
    bool setAreas(const std::vector<AreaQuad>& quads, const std::vector<float>& thresholds);

    // Processes one 24-bit BGR frame with rows padded to 4 bytes, exactly as
    // TRVGetSurvResults. True when the frame was used (baseline frame:
    // results untouched; later frames: one flag per area).
    bool process(const uint8_t* pixels, int32_t width, int32_t height, int32_t bytesPerPixel,
                 int32_t* results);
    // The same for a frame with its own row stride, without copying it.
    // Flags, return value and working state are those of the same picture
    // in the padded layout. Refused (false, nothing changed) for null
    // pointers, a stride below 3 * width, or a width or height outside
    // kMinFrameWidth..kMaxFrameWidth, kMinFrameHeight..kMaxFrameHeight
    // (taken whole: a view's size keeps no low 16 bits; on a 32-bit host
    // also a frame spanning more than 2 GiB). A view carries its own stride
    // on every call; the detector keeps only its size, so views and padded
    // frames of one size may follow each other in any order and any stride,
    // and a change of size starts a new baseline either way.
    bool process(const FrameView& frame, int32_t* results);

    // Number of installed areas.
    int32_t areaCount() const;
    // The rows the detector covers for installed area i (empty when there
    // is no such area).
    std::vector<AreaRow> areaRows(int32_t index) const;
    // Grid positions area i samples in a frame of the given size.
    int32_t gridSampleCount(int32_t index, int32_t width, int32_t height) const;

    // Row stride in bytes of a padded 24-bit frame of the given width
    // (3 * width rounded up to a multiple of 4); 0 for a negative width or
    // one whose stride would not fit in 64 bits.
    static int64_t frameStride(int64_t width) {
        if (width < 0 || width > (INT64_MAX - 3) / 3) return 0;
        return (width * 3 + 3) & ~int64_t{3};
    }

    // Measurements: off by default. While on, every frame that returns
    // true records one AreaMeasurement per area, in area order;
    // measurements() describes the last process call: those records when
    // it returned true, none otherwise (and none while measuring is off).
    // The reference stays valid until the next process call; read it on
    // the thread that passes frames. setMeasuring may be called from any
    // thread and takes effect from the next frame. Measuring never changes
    // a result.
    void setMeasuring(bool on);
    bool measuring() const;
    const std::vector<AreaMeasurement>& measurements() const;

    void setFrameCountThresh(int32_t frameCountThresh);
    void setTwoFramesDisturbThresh(float twoFramesDisturbThresh);
    void useFrontLightTrigger(int32_t useFrontLightTrigger);
    void setLightParam(int32_t lightThresh, int32_t lightMinWidth, int32_t lightMaxWidth,
                       int32_t lightMinHeight, int32_t lightMaxHeight);
    // The values stored, exactly as set: useFrontLightTrigger 2 reads back
    // as 2, although front-light triggering is on only for 1; ask
    // Settings::frontLightOn() whether the detector uses it.
    Settings settings() const;

private:
    std::unique_ptr<Context> ctx_;
};

}  // namespace tarvocoil

#endif  // TARVOCOIL_HPP
