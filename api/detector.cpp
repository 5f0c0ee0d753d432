// detector.cpp - the C++ Detector over its own Context.
#include "api/context.h"
#include "tarvocoil.hpp"

namespace tarvocoil {

Detector::Detector() : ctx_(new Context()) { ctx_->coilInit(); }

Detector::~Detector() = default;

Detector::Detector(Detector&& other) noexcept = default;
Detector& Detector::operator=(Detector&& other) noexcept = default;

bool Detector::setAreas(const AreaQuad* quads, const float* thresholds, int32_t count) {
    return ctx_->setSurvAreas(count, quads, thresholds) == 1;
}

bool Detector::setAreas(const std::vector<AreaQuad>& quads, const std::vector<float>& thresholds) {
    if (quads.size() != thresholds.size() || quads.size() > static_cast<std::size_t>(AreaStore::kMaxAreas))
        return setAreas(nullptr, nullptr, 0);
    return setAreas(quads.data(), thresholds.data(), static_cast<int32_t>(quads.size()));
}

int Detector::process(const uint8_t* pixels, int32_t width, int32_t height, int32_t* results,
                      int32_t bytesPerPixel) {
    return ctx_->getSurvResults(pixels, width, height, bytesPerPixel, results);
}

int32_t Detector::areaCount() const { return ctx_->engine().store.count(); }

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
