// presence.cpp - the per-frame presence test and the background refresh.
//
// An area is present when its summed grey difference from the background
// exceeds presenceThresh times its reference brightness times its sample
// count; it is still when its summed difference from the previous frame is
// at most twoFramesDisturbThresh times the same product. The result flag
// follows the rising edge of presence. After frameCountThresh still frames
// the area's brightness history moves on, and its background is replaced
// by the current picture when the history shows no trend.
#include "detect/detect.h"
#include "detect/sampling_grid.h"
#include "detect/sweep.h"

namespace tarvocoil {

namespace {

// Both halves of the band test in signed 32-bit arithmetic, without the
// undefined behaviour of an overflowing signed multiply.
inline int32_t times(int32_t factor, int32_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(factor) * static_cast<uint32_t>(v));
}

// True when every pair of neighbouring history entries lies strictly
// within 10% of each other.
bool historySteady(const AreaStats& s) {
    for (int k = 0; k < 4; ++k) {
        const int32_t newer = times(10, s[k]);
        if (!(newer < times(11, s[k + 1]) && newer > times(9, s[k + 1]))) return false;
    }
    return true;
}

// Returns what the refresh did to the planes.
AreaMeasurement::Refresh refreshBackground(Engine& engine, const FrameRef& frame, const SurvArea& area,
                                           AreaState& state, int64_t mean, int16_t& unstable) {
    AreaStats& s = state.stats;
    s[4] = s[3];
    s[3] = s[2];
    s[2] = s[1];
    s[1] = s[0];
    s[0] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(mean)));
    // One unsteady history in a frame marks the whole frame as unstable:
    // every later refresh in it exchanges the planes instead of copying.
    if (!historySteady(s)) unstable = 1;
    if (unstable) {
        engine.planes.exchange();
        return AreaMeasurement::Refresh::Exchange;
    }
    const uint8_t* current = engine.planes.current()->pixels;
    uint8_t* background = engine.planes.background()->pixels;
    const int32_t stride = engine.planes.current()->stride;
    forEachGridPosition(area.spans, frame.width, frame.height, [&](int32_t x, int32_t y) {
        const int32_t at = y * stride + x;
        background[at] = current[at];
    });
    return AreaMeasurement::Refresh::Copy;
}

}  // namespace

void RunPresenceTest(Engine& engine, const FrameRef& frame, int32_t* results) {
    const DetectorSettings& settings = engine.settings;
    const int16_t count = engine.store.count();
    int16_t unstable = 0;
    for (int32_t i = 0; i < count; ++i) {
        const SurvArea& area = engine.store.area(i);
        AreaState& state = engine.detection.area(i);
        const int64_t sampleCount = state.sampleCount;
        const int64_t oldest = state.stats[4];

        const SweepInput in = SweepInputFor(engine, frame, area);
        SweepSums sums;
        sums.greySum = 1;
        engine.kernels->presence(in, sums);

        const int64_t mean = sums.greySum / sampleCount;
        int64_t reference = mean > oldest ? mean : oldest;
        if (reference < 10) reference = 10;
        const float p = limitScale(reference, sampleCount);
        const LimitValue stillLimit = limitOf(p, settings.getTwoFramesDisturbThresh());
        const LimitValue presenceLimit = limitOf(p, area.presenceThresh);

        // The record, when the host asked for one, is written beside the
        // decision from the same values; it never feeds back into it.
        AreaMeasurement* m = engine.record ? &engine.record[i] : nullptr;
        if (m) *m = AreaMeasurement{};
        state.present = exceeds(sums.bgDiffSum, presenceLimit) ? 1 : 0;
        if (state.present == 0)
            results[i] = 0;
        else if (settings.getUseFrontLightTrigger() == 1)
            FrontLightTest(engine, frame, area, state, results[i], m);
        else
            results[i] = state.wasPresent == 0 ? 1 : 0;
        state.wasPresent = state.present;

        if (within(sums.prevDiffSum, stillLimit))
            state.stillCount = static_cast<int32_t>(static_cast<uint32_t>(state.stillCount) + 1u);
        else
            state.stillCount = 0;
        AreaMeasurement::Refresh refresh = AreaMeasurement::Refresh::None;
        if (state.stillCount == settings.getFrameCountThresh())
            refresh = refreshBackground(engine, frame, area, state, mean, unstable);
        if (m) {
            m->kind = AreaMeasurement::Kind::Detect;
            m->greySum = sums.greySum;
            m->mean = mean;
            m->sampleCount = state.sampleCount;
            m->referenceGrey = reference;
            m->bgDiffSum = sums.bgDiffSum;
            m->presenceLimit = presenceLimit;
            m->prevDiffSum = sums.prevDiffSum;
            m->stillLimit = stillLimit;
            m->stillCount = state.stillCount;
            m->refresh = refresh;
            m->present = state.present != 0;
            m->result = results[i];
        }
    }
    engine.planes.exchange();
}

}  // namespace tarvocoil
