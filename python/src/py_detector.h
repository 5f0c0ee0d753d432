// py_detector.h - tarvocoil.Detector: one detector for Python callers.
//
// Wraps a tarvocoil::Detector with a mutex that orders frames, area
// replacements and reads of the installed areas. The flag array of a frame
// is sized from the area count, so a replacement must never slip in
// between reading that count and processing the frame. The mutex is only
// ever taken with the GIL released, and the GIL is never taken while the
// mutex is held, so the two cannot deadlock.
#ifndef TARVOCOIL_PYTHON_PY_DETECTOR_H
#define TARVOCOIL_PYTHON_PY_DETECTOR_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "host/areas_file.h"
#include "tarvocoil.hpp"

namespace tarvopy {

namespace py = pybind11;

class PyDetector {
public:
    PyDetector(py::handle areas, py::handle thresholds, const py::kwargs& settings);

    py::array_t<int32_t> process(py::handle frame);
    py::list triggered(py::handle frame);
    void replaceAreas(py::handle areas, py::handle thresholds);

    int32_t areaCount() const;
    std::vector<std::string> names() const;
    std::vector<float> thresholds() const;
    py::array_t<int32_t> areaRows(int32_t index) const;
    int32_t gridSampleCount(int32_t index, int32_t width, int32_t height) const;

    bool measuring() const;
    void setMeasuring(bool on);
    py::list measurements() const;
    // The last used frame's records, as the detector keeps them (empty
    // while measuring is off or before such a frame).
    std::vector<tarvocoil::AreaMeasurement> records() const;

    // Settings: read and written without the mutex (the detector takes
    // them from any thread at any time).
    int32_t frameCount() const { return det_.settings().frameCountThresh; }
    void setFrameCount(py::handle v);
    float disturbRatio() const { return det_.settings().twoFramesDisturbThresh; }
    void setDisturbRatio(py::handle v);
    bool frontLight() const { return det_.settings().frontLightOn(); }
    void setFrontLight(bool on) { det_.useFrontLightTrigger(on ? 1 : 0); }
    py::tuple light() const;
    void setLight(py::handle v);
    int32_t lightMaxArea() const { return det_.settings().lightMaxArea; }
    py::dict settings() const;

    // The C++ call alone on each frame of an (N, H, W, 3) array, for the
    // timing script's comparison.
    void processFramesNative(py::handle frames);

private:
    // Runs one frame with the GIL released and returns its flags (empty when
    // the frame gave none).
    std::vector<int32_t> flagsOf(py::handle frame);
    void applySetting(const std::string& key, py::handle value);
    void install(const tarvotool::AreasConfig& config);  // GIL released, mutex taken inside

    tarvocoil::Detector det_;
    mutable std::mutex mutex_;
    std::vector<std::string> names_;  // guarded by mutex_
    std::vector<float> thresholds_;   // guarded by mutex_
};

}  // namespace tarvopy

#endif
