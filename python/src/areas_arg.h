// areas_arg.h - areas, thresholds and settings as Python hands them over.
//
// Areas come as a sequence of quadrilaterals (four (x, y) vertices each),
// as an areas file path, or as an Areas object that load_areas() or
// parse_areas() made; all three become the tool's AreasConfig, so that a
// file means exactly what it means to `tarvocoil run`.
#ifndef TARVOCOIL_PYTHON_AREAS_ARG_H
#define TARVOCOIL_PYTHON_AREAS_ARG_H

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

#include "host/areas_file.h"

namespace tarvopy {

namespace py = pybind11;

// The areas of `areas`; thresholds from `thresholds` when it is not None
// (one number for every area, or one per area), else from the file or 0.1.
tarvotool::AreasConfig AreasFromObject(py::handle areas, py::handle thresholds);

// Python numbers as the detector's values: TypeError for non-numbers,
// ValueError (naming `what`) outside the range.
int32_t ToInt32(py::handle value, const std::string& what);
float ToFloat(py::handle value, const std::string& what);
// What a bool property setter takes (True, False, numbers, numpy.bool_):
// TypeError naming `what` for anything else, such as a string.
bool ToBool(py::handle value, const std::string& what);

// Reads an areas file with the GIL released, so that other Python threads
// run while the disk or a network file system answers; then issues its
// warnings.
tarvotool::AreasConfig ReadAreasFile(const std::string& path);

// Issues the file's warnings (things worth telling, not errors) as
// UserWarning, once each, as the tool prints them.
void WarnAbout(const tarvotool::AreasConfig& config, const std::string& source);

// The settings an areas file gave, as a dict with the file's key names.
py::dict FileSettings(const tarvotool::AreasConfig& config);

}  // namespace tarvopy

#endif
