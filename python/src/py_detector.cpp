// py_detector.cpp - the Python Detector over tarvocoil::Detector.
#include "python/src/py_detector.h"

#include <cstring>
#include <new>

#include "python/src/areas_arg.h"
#include "python/src/frame_arg.h"
#include "python/src/measurement_dict.h"

namespace tarvopy {

namespace {

// Written into every flag before a frame: a detection frame overwrites
// every area's flag with 0 or 1, a baseline frame leaves them all alone.
constexpr int32_t kUntouched = -1;

// One frame with the mutex held: the flags of a detection frame, or none
// (baseline frame, or a frame the detector did not use).
void RunFrame(tarvocoil::Detector& det, const tarvocoil::FrameView& view, std::vector<int32_t>& flags) {
    const int32_t n = det.areaCount();
    // With no areas the detector only notes the frame; it still gets a
    // valid results pointer.
    flags.assign(static_cast<std::size_t>(n > 0 ? n : 1), kUntouched);
    if (!det.process(view, flags.data()) || n == 0 || flags[0] == kUntouched) flags.clear();
}

py::array_t<int32_t> ToArray(const std::vector<int32_t>& flags) {
    py::array_t<int32_t> out(static_cast<py::ssize_t>(flags.size()));
    if (!flags.empty()) std::memcpy(out.mutable_data(), flags.data(), flags.size() * sizeof(int32_t));
    return out;
}

}  // namespace

PyDetector::PyDetector(py::handle areas, py::handle thresholds, const py::kwargs& settings) {
    const tarvotool::AreasConfig config = AreasFromObject(areas, thresholds);
    if (config.frameCount) det_.setFrameCountThresh(*config.frameCount);
    if (config.disturbRatio) det_.setTwoFramesDisturbThresh(*config.disturbRatio);
    if (config.frontLight) det_.useFrontLightTrigger(*config.frontLight ? 1 : 0);
    if (config.light) {
        const tarvotool::LightLimits& l = *config.light;
        det_.setLightParam(l.threshold, l.minWidth, l.maxWidth, l.minHeight, l.maxHeight);
    }
    for (auto item : settings) applySetting(py::str(item.first), item.second);
    install(config);
}

void PyDetector::applySetting(const std::string& key, py::handle value) {
    if (key == "frame_count") setFrameCount(value);
    else if (key == "disturb_ratio") setDisturbRatio(value);
    else if (key == "front_light") setFrontLight(ToBool(value, "front_light"));
    else if (key == "light") setLight(value);
    else if (key == "measuring") setMeasuring(ToBool(value, "measuring"));
    else
        throw py::type_error("Detector() got an unexpected keyword argument '" + key +
                             "' (settings: frame_count, disturb_ratio, front_light, light, measuring)");
}

void PyDetector::install(const tarvotool::AreasConfig& config) {
    std::vector<AreaQuad> quads;
    std::vector<float> thresholds;
    std::vector<std::string> names;
    for (const tarvotool::AreaSpec& a : config.areas) {
        quads.push_back(a.quad);
        thresholds.push_back(a.threshold);
        names.push_back(a.name);
    }
    bool ok;
    {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        ok = det_.setAreas(quads, thresholds);
        names_ = ok ? std::move(names) : std::vector<std::string>{};
        thresholds_ = ok ? std::move(thresholds) : std::vector<float>{};
    }
    // The areas were checked before, so only memory can be missing. A
    // refused set leaves no area installed.
    if (!ok) {
        PyErr_SetString(PyExc_MemoryError, "the detector refused the areas (out of memory?); no area is installed");
        throw py::error_already_set();
    }
}

std::vector<int32_t> PyDetector::flagsOf(py::handle frame) {
    FrameArg arg(frame);
    std::vector<int32_t> flags;
    py::gil_scoped_release nogil;
    arg.materialise();
    std::lock_guard<std::mutex> lock(mutex_);
    RunFrame(det_, arg.view(), flags);
    return flags;
}

py::array_t<int32_t> PyDetector::process(py::handle frame) { return ToArray(flagsOf(frame)); }

py::list PyDetector::triggered(py::handle frame) {
    const std::vector<int32_t> flags = flagsOf(frame);
    py::list out;
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i]) out.append(i);
    return out;
}

void PyDetector::replaceAreas(py::handle areas, py::handle thresholds) {
    install(AreasFromObject(areas, thresholds));
}

int32_t PyDetector::areaCount() const {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    return det_.areaCount();
}

std::vector<std::string> PyDetector::names() const {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
}

std::vector<float> PyDetector::thresholds() const {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    return thresholds_;
}

py::array_t<int32_t> PyDetector::areaRows(int32_t index) const {
    std::vector<tarvocoil::AreaRow> rows;
    int32_t count;
    {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        count = det_.areaCount();
        rows = det_.areaRows(index);
    }
    if (index < 0 || index >= count)
        throw py::index_error("area index " + std::to_string(index) + " is outside 0.." + std::to_string(count - 1));
    py::array_t<int32_t> out({static_cast<py::ssize_t>(rows.size()), py::ssize_t{3}});
    auto v = out.mutable_unchecked<2>();
    for (std::size_t k = 0; k < rows.size(); ++k) {
        v(k, 0) = rows[k].y;
        v(k, 1) = rows[k].left;
        v(k, 2) = rows[k].right;
    }
    return out;
}

int32_t PyDetector::gridSampleCount(int32_t index, int32_t width, int32_t height) const {
    int32_t count, n;
    {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        count = det_.areaCount();
        n = det_.gridSampleCount(index, width, height);
    }
    if (index < 0 || index >= count)
        throw py::index_error("area index " + std::to_string(index) + " is outside 0.." + std::to_string(count - 1));
    return n;
}

bool PyDetector::measuring() const {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    return det_.measuring();
}

void PyDetector::setMeasuring(bool on) {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    det_.setMeasuring(on);
}

std::vector<tarvocoil::AreaMeasurement> PyDetector::records() const {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    return det_.measurements();
}

py::list PyDetector::measurements() const { return MeasurementList(records()); }

void PyDetector::setFrameCount(py::handle v) { det_.setFrameCountThresh(ToInt32(v, "frame_count")); }

void PyDetector::setDisturbRatio(py::handle v) { det_.setTwoFramesDisturbThresh(ToFloat(v, "disturb_ratio")); }

py::tuple PyDetector::light() const {
    const tarvocoil::Settings s = det_.settings();
    return py::make_tuple(s.lightThresh, s.lightMinWidth, s.lightMaxWidth, s.lightMinHeight, s.lightMaxHeight);
}

void PyDetector::setLight(py::handle v) {
    const char* expected = "light: expected (threshold, min_width, max_width, min_height, max_height)";
    if (!PySequence_Check(v.ptr()) || PyUnicode_Check(v.ptr())) throw py::type_error(expected);
    py::sequence s = py::reinterpret_borrow<py::sequence>(v);
    if (s.size() != 5) throw py::value_error(std::string(expected) + ", got " + std::to_string(s.size()) + " values");
    static const char* const names[5] = {"threshold", "min_width", "max_width", "min_height", "max_height"};
    int32_t x[5];
    for (int i = 0; i < 5; ++i) x[i] = ToInt32(s[i], std::string("light ") + names[i]);
    det_.setLightParam(x[0], x[1], x[2], x[3], x[4]);
}

py::dict PyDetector::settings() const {
    py::dict d;
    d["frame_count"] = frameCount();
    d["disturb_ratio"] = disturbRatio();
    d["front_light"] = frontLight();
    d["light"] = light();
    d["light_max_area"] = lightMaxArea();
    return d;
}

void PyDetector::processFramesNative(py::handle frames) {
    auto a = py::array_t<uint8_t, py::array::c_style>::ensure(frames);
    if (!a || a.ndim() != 4 || a.shape(3) != 3)
        throw py::value_error("expected a C-contiguous uint8 array of shape (N, H, W, 3)");
    tarvocoil::FrameView view;
    view.width = static_cast<int32_t>(a.shape(2));
    view.height = static_cast<int32_t>(a.shape(1));
    view.stride = static_cast<int32_t>(a.strides(1));
    const uint8_t* base = a.data();
    const py::ssize_t n = a.shape(0), step = a.strides(0);
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int32_t> flags(static_cast<std::size_t>(std::max(det_.areaCount(), 1)));
    for (py::ssize_t i = 0; i < n; ++i) {
        view.pixels = base + i * step;
        det_.process(view, flags.data());
    }
}

}  // namespace tarvopy
