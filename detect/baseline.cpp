// baseline.cpp - the first frame after new areas: planes and start values.
#include "detect/detect.h"
#include "detect/sweep.h"

namespace tarvocoil {

bool TakeBaseline(Engine& engine, const FrameRef& frame) {
    if (!engine.planes.create(engine.alloc, low16(frame.width), low16(frame.height))) return false;
    const int16_t count = engine.store.count();
    for (int32_t i = 0; i < count; ++i) {
        SurvArea& area = engine.store.area(i);
        const SweepInput in = SweepInputFor(engine, frame, area);
        SweepSums sums;
        sums.greySum = 1;  // counting from one keeps an empty area's mean defined
        engine.kernels->baseline(in, sums);
        const int64_t n = 1 + sums.samples;
        int64_t mean = sums.greySum / n;
        if (mean <= 10) mean = 10;
        area.present = 0;
        area.wasPresent = 0;
        for (int k = 0; k < 5; ++k) area.stats[k] = static_cast<int32_t>(mean);
        area.sampleCount = static_cast<int32_t>(n);
        area.stillCount = 0;
        if (engine.record) {
            AreaMeasurement& m = engine.record[i];
            m = AreaMeasurement{};
            m.kind = AreaMeasurement::Kind::Baseline;
            m.greySum = sums.greySum;
            m.mean = mean;
            m.sampleCount = area.sampleCount;
        }
    }
    engine.store.baselineReady = 1;
    return true;
}

}  // namespace tarvocoil
