// detector.cpp - the C++ Detector over its own Context.
#include "api/context.h"
#include "detect/sampling_grid.h"
#include "tarvocoil.hpp"

namespace tarvocoil {

Detector::Detector() : ctx_(new Context()) { ctx_->coilInit(); }

Detector::~Detector() = default;

Detector::Detector(Detector&& other) noexcept = default;
Detector& Detector::operator=(Detector&& other) noexcept = default;

bool Detector::setAreas(int32_t count, const AreaQuad* quads, const float* thresholds) {
    return ctx_->setSurvAreas(count, quads, thresholds) == 1;
}

bool Detector::setAreas(const std::vector<AreaQuad>& quads, const std::vector<float>& thresholds) {
    if (quads.size() != thresholds.size() || quads.size() > static_cast<std::size_t>(kMaxAreas))
        return setAreas(0, nullptr, nullptr);
    return setAreas(static_cast<int32_t>(quads.size()), quads.data(), thresholds.data());
}

bool Detector::process(const uint8_t* pixels, int32_t width, int32_t height, int32_t bytesPerPixel,
                       int32_t* results) {
    return ctx_->getSurvResults(pixels, width, height, bytesPerPixel, results) == 1;
}

bool Detector::process(const FrameView& frame, int32_t* results) { return ctx_->processView(frame, results) == 1; }

int32_t Detector::areaCount() const { return ctx_->engine().store.count(); }

std::vector<AreaRow> Detector::areaRows(int32_t index) const {
    std::vector<AreaRow> rows;
    const AreaStore& store = ctx_->engine().store;
    if (index < 0 || index >= store.count()) return rows;
    const SpanList& spans = store.area(index).spans;
    rows.reserve(static_cast<std::size_t>(spans.count));
    for (int32_t k = 0; k < spans.count; ++k) rows.push_back({spans.spans[k].y, spans.spans[k].left, spans.spans[k].right});
    return rows;
}

int32_t Detector::gridSampleCount(int32_t index, int32_t width, int32_t height) const {
    const AreaStore& store = ctx_->engine().store;
    if (index < 0 || index >= store.count()) return 0;
    int32_t n = 0;
    forEachGridPosition(store.area(index).spans, low16(width), low16(height), [&](int32_t, int32_t) { ++n; });
    return n;
}

void Detector::setMeasuring(bool on) { ctx_->setMeasuring(on); }
bool Detector::measuring() const { return ctx_->measuring(); }
const std::vector<AreaMeasurement>& Detector::measurements() const { return ctx_->measurements(); }

void Detector::setFrameCountThresh(int32_t v) { ctx_->setFrameCountThresh(v); }
void Detector::setTwoFramesDisturbThresh(float v) { ctx_->setTwoFramesDisturbThresh(v); }
void Detector::useFrontLightTrigger(int32_t v) { ctx_->useFrontLightTrigger(v); }
void Detector::setLightParam(int32_t thresh, int32_t minW, int32_t maxW, int32_t minH, int32_t maxH) {
    ctx_->setLightParam(thresh, minW, maxW, minH, maxH);
}

Settings Detector::settings() const {
    const DetectorSettings& s = ctx_->engine().settings;
    Settings out;
    out.frameCountThresh = s.getFrameCountThresh();
    out.twoFramesDisturbThresh = s.getTwoFramesDisturbThresh();
    out.useFrontLightTrigger = s.getUseFrontLightTrigger();
    out.lightThresh = s.getLightThresh();
    out.lightMinWidth = s.getLightMinWidth();
    out.lightMaxWidth = s.getLightMaxWidth();
    out.lightMinHeight = s.getLightMinHeight();
    out.lightMaxHeight = s.getLightMaxHeight();
    out.lightMaxArea = s.getLightMaxArea();
    return out;
}

}  // namespace tarvocoil
