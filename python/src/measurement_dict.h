// measurement_dict.h - the detector's per-area measurement records as dicts.
#ifndef TARVOCOIL_PYTHON_MEASUREMENT_DICT_H
#define TARVOCOIL_PYTHON_MEASUREMENT_DICT_H

#include <vector>

#include <pybind11/pybind11.h>

#include "tarvocoil.hpp"

namespace tarvopy {

namespace py = pybind11;

// One dict per area, in area order; the keys are listed in the module's
// measurements() docstring and the stubs.
py::list MeasurementList(const std::vector<tarvocoil::AreaMeasurement>& records);

}  // namespace tarvopy

#endif
