// areas_file_harness.h - the tool's areas-file parser on arbitrary text.
//
// Input: the bytes of an areas file, as they are.
//
// Checked: parsing either throws the tool's own error, whose message starts
// with the file's name, or gives a configuration inside the limits: 1 to
// 32767 areas, every vertex coordinate within -32768..32767, thresholds and
// the disturbance ratio finite and not negative, light limits within
// 0..32767, and a warning whenever the light area limit does not fit in 16
// bits. No other exception escapes. A configuration that parsed is written
// back as the tool writes areas files and read again to the same areas,
// names and settings (ratios as the writer rounds them to 6 decimals);
// then a detector takes the areas without refusing them, keeps the
// settings, and runs a baseline and a detection frame over them.
//
// Time and memory per input stay bounded by the input's length (every area
// costs at least a few dozen bytes of JSON); the frames are run only while
// the areas' rows stay under a budget.
#ifndef TARVOCOIL_FUZZ_AREAS_FILE_HARNESS_H
#define TARVOCOIL_FUZZ_AREAS_FILE_HARNESS_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/areas_file.h"
#include "host/errors.h"

namespace trvfuzz {

namespace areas_detail {

constexpr int64_t kFrameRowBudget = 4000000;

inline bool inCoordinateRange(int32_t v) { return v >= -32768 && v <= 32767; }

inline bool sameQuad(const AreaQuad& a, const AreaQuad& b) {
    return a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2 &&
           a.x3 == b.x3 && a.y3 == b.y3;
}

// A ratio as the writer puts it in the file and the reader takes it back.
inline float writtenRatio(float v) { return static_cast<float>(std::round(static_cast<double>(v) * 1e6) / 1e6); }

inline bool sameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a == 0.0f && b == 0.0f); }

inline void checkLimits(const tarvotool::AreasConfig& c) {
    TRV_FUZZ_CHECK(!c.areas.empty());
    TRV_FUZZ_CHECK(c.areas.size() <= static_cast<std::size_t>(tarvotool::kMaxAreas));
    for (const tarvotool::AreaSpec& a : c.areas) {
        const int32_t* v = &a.quad.x0;
        for (int k = 0; k < 8; ++k) TRV_FUZZ_CHECK(inCoordinateRange(v[k]));
        TRV_FUZZ_CHECK(std::isfinite(a.threshold) && a.threshold >= 0.0f);
    }
    if (c.disturbRatio) TRV_FUZZ_CHECK(std::isfinite(*c.disturbRatio) && *c.disturbRatio >= 0.0f);
    if (c.light) {
        const tarvotool::LightLimits& l = *c.light;
        for (int32_t v : {l.threshold, l.minWidth, l.maxWidth, l.minHeight, l.maxHeight})
            TRV_FUZZ_CHECK(v >= 0 && v <= 32767);
        if (static_cast<int64_t>(l.maxWidth) * l.maxHeight > 32767) TRV_FUZZ_CHECK(!c.warnings.empty());
    }
}

inline void checkReadBack(const tarvotool::AreasConfig& c) {
    tarvotool::AreasConfig back;
    try {
        back = tarvotool::ParseAreas(tarvotool::AreasToText(c), "written.json");
    } catch (const tarvotool::ToolError& e) {
        std::fprintf(stderr, "written areas do not read back: %s\n", e.what());
        TRV_FUZZ_CHECK(!"the written areas file reads back");
    }
    TRV_FUZZ_CHECK(back.areas.size() == c.areas.size());
    for (std::size_t i = 0; i < c.areas.size(); ++i) {
        TRV_FUZZ_CHECK(back.areas[i].name == c.areas[i].name);
        TRV_FUZZ_CHECK(sameQuad(back.areas[i].quad, c.areas[i].quad));
        TRV_FUZZ_CHECK(sameFloat(back.areas[i].threshold, writtenRatio(c.areas[i].threshold)));
    }
    TRV_FUZZ_CHECK(back.frameCount == c.frameCount);
    TRV_FUZZ_CHECK(back.frontLight == c.frontLight);
    TRV_FUZZ_CHECK(back.disturbRatio.has_value() == c.disturbRatio.has_value());
    if (c.disturbRatio) TRV_FUZZ_CHECK(sameFloat(*back.disturbRatio, writtenRatio(*c.disturbRatio)));
    TRV_FUZZ_CHECK(back.light.has_value() == c.light.has_value());
    if (c.light) {
        const tarvotool::LightLimits &a = *c.light, &b = *back.light;
        TRV_FUZZ_CHECK(a.threshold == b.threshold && a.minWidth == b.minWidth && a.maxWidth == b.maxWidth &&
                       a.minHeight == b.minHeight && a.maxHeight == b.maxHeight);
    }
}

inline void checkDetector(const tarvotool::AreasConfig& c) {
    tarvocoil::Detector det;
    try {
        tarvotool::ApplyAreas(det, c);
    } catch (const tarvotool::ToolError& e) {
        std::fprintf(stderr, "areas within the limits refused: %s\n", e.what());
        TRV_FUZZ_CHECK(!"the detector takes every area set the parser accepts");
    }
    TRV_FUZZ_CHECK(det.areaCount() == static_cast<int32_t>(c.areas.size()));
    const tarvocoil::Settings s = det.settings();
    if (c.frameCount) TRV_FUZZ_CHECK(s.frameCountThresh == *c.frameCount);
    if (c.disturbRatio) TRV_FUZZ_CHECK(sameFloat(s.twoFramesDisturbThresh, *c.disturbRatio));
    if (c.frontLight) TRV_FUZZ_CHECK(s.useFrontLightTrigger == (*c.frontLight ? 1 : 0));
    if (c.light) TRV_FUZZ_CHECK(s.lightThresh == c.light->threshold && s.lightMaxHeight == c.light->maxHeight);

    // Where the areas lie relative to a small picture, and two frames.
    constexpr int32_t kW = 40, kH = 30;
    (void)tarvotool::AreasOutsideFrame(c, kW, kH);
    int64_t rows = 0;
    for (const tarvotool::AreaSpec& a : c.areas) {
        const int32_t* v = &a.quad.x0;
        rows += static_cast<int64_t>(std::max({v[1], v[3], v[5], v[7]})) - std::min({v[1], v[3], v[5], v[7]}) + 1;
    }
    if (rows > kFrameRowBudget) return;
    const int32_t stride = tarvocoil::Detector::frameStride(kW);
    std::vector<uint8_t> frame(static_cast<std::size_t>(stride) * kH, 90);
    std::vector<int32_t> results(c.areas.size(), -7);
    TRV_FUZZ_CHECK(det.process(frame.data(), kW, kH, 3, results.data()));  // baseline
    for (int32_t y = 5; y < 20; ++y) std::memset(frame.data() + y * stride + 15, 230, 3 * 20);
    TRV_FUZZ_CHECK(det.process(frame.data(), kW, kH, 3, results.data()));
    for (int32_t r : results) TRV_FUZZ_CHECK(r == 0 || r == 1);
}

}  // namespace areas_detail

inline void RunAreasFileInput(const uint8_t* data, std::size_t size) {
    using namespace areas_detail;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string source = "fuzz.json";
    tarvotool::AreasConfig config;
    try {
        config = tarvotool::ParseAreas(text, source);
    } catch (const tarvotool::ToolError& e) {
        const std::string what = e.what();
        TRV_FUZZ_CHECK(what.compare(0, source.size(), source) == 0);  // says which file
        TRV_FUZZ_CHECK(what.size() > source.size() + 2);              // and what is wrong
        return;
    }
    checkLimits(config);
    checkReadBack(config);
    checkDetector(config);
}

}  // namespace trvfuzz

#endif
