// areas_arg.cpp - turning Python areas and numbers into the detector's.
#include "python/src/areas_arg.h"

#include <cmath>
#include <limits>

namespace tarvopy {

namespace {

std::string TypeName(py::handle v) { return py::str(py::type::handle_of(v).attr("__name__")); }

// An integer, or a float with an integral value (as the areas file takes).
int64_t ToInteger(py::handle v, const std::string& what) {
    if (PyFloat_Check(v.ptr())) {
        const double d = PyFloat_AsDouble(v.ptr());
        if (!std::isfinite(d) || d != std::floor(d))
            throw py::value_error(what + ": expected an integer, got " + std::string(py::repr(v)));
        if (d < -9.2e18 || d > 9.2e18) return d < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
        return static_cast<int64_t>(d);
    }
    PyObject* index = PyNumber_Index(v.ptr());
    if (!index) {
        PyErr_Clear();
        throw py::type_error(what + ": expected an integer, got " + TypeName(v));
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow) return overflow < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return n;
}

int32_t Coordinate(py::handle v, const std::string& what) {
    const int64_t n = ToInteger(v, what);
    if (n < tarvocoil::kMinCoord || n > tarvocoil::kMaxCoord)
        throw py::value_error(what + ": " + std::string(py::repr(v)) + " is outside " +
                              std::to_string(tarvocoil::kMinCoord) + ".." + std::to_string(tarvocoil::kMaxCoord));
    return static_cast<int32_t>(n);
}

bool IsPath(py::handle v) {
    return PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || py::hasattr(v, "__fspath__");
}

// A sequence (not a string) of exactly `n` items, or the error naming `what`.
py::sequence Items(py::handle v, std::size_t n, const std::string& what, const char* expected) {
    if (!PySequence_Check(v.ptr()) || IsPath(v))
        throw py::type_error(what + ": expected " + expected + ", got " + TypeName(v));
    py::sequence s = py::reinterpret_borrow<py::sequence>(v);
    if (n && s.size() != n)
        throw py::value_error(what + ": expected " + expected + ", got " + std::to_string(s.size()) +
                              (n == 4 ? " vertices" : " values"));
    return s;
}

tarvotool::AreasConfig FromSequence(py::handle areas) {
    const char* expected = "a list of areas, each four (x, y) vertices";
    if (!PySequence_Check(areas.ptr()))
        throw py::type_error("areas: expected " + std::string(expected) + " or an areas file, got " + TypeName(areas));
    py::sequence list = py::reinterpret_borrow<py::sequence>(areas);
    if (list.size() == 0) throw py::value_error("areas: expected at least one area, got none");
    if (list.size() > static_cast<std::size_t>(tarvocoil::kMaxAreas))
        throw py::value_error("areas: expected at most " + std::to_string(tarvocoil::kMaxAreas) +
                              " areas (the detector's limit), got " + std::to_string(list.size()));
    tarvotool::AreasConfig config;
    config.areas.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string at = "areas[" + std::to_string(i) + "]";
        py::sequence quad = Items(list[i], 4, at, "four (x, y) vertices");
        int32_t xy[8];
        for (std::size_t k = 0; k < 4; ++k) {
            const std::string vat = at + "[" + std::to_string(k) + "]";
            py::sequence vertex = Items(quad[k], 2, vat, "a vertex (x, y) of two integers");
            xy[2 * k] = Coordinate(vertex[0], vat + " x");
            xy[2 * k + 1] = Coordinate(vertex[1], vat + " y");
        }
        tarvotool::AreaSpec area;
        area.name = "area " + std::to_string(i);
        area.quad = AreaQuad{xy[0], xy[1], xy[2], xy[3], xy[4], xy[5], xy[6], xy[7]};
        config.areas.push_back(area);
    }
    return config;
}

}  // namespace

int32_t ToInt32(py::handle value, const std::string& what) {
    const int64_t n = ToInteger(value, what);
    if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
        throw py::value_error(what + ": " + std::string(py::repr(value)) + " is outside the 32-bit range");
    return static_cast<int32_t>(n);
}

float ToFloat(py::handle value, const std::string& what) {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error(what + ": expected a number, got " + TypeName(value));
    }
    // Round to the nearest float as the hardware does; beyond the largest
    // float by half a step or more is infinite (a plain cast there would be
    // undefined).
    const double limit = 0x1.ffffffp127;
    if (d >= limit) return std::numeric_limits<float>::infinity();
    if (d <= -limit) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

bool ToBool(py::handle value, const std::string& what) {
    py::detail::make_caster<bool> caster;
    if (!caster.load(value, true)) throw py::type_error(what + ": expected True or False, got " + TypeName(value));
    return py::detail::cast_op<bool>(caster);
}

tarvotool::AreasConfig ReadAreasFile(const std::string& path) {
    tarvotool::AreasConfig config;
    {
        py::gil_scoped_release nogil;
        config = tarvotool::LoadAreasFile(path);
    }
    WarnAbout(config, path);
    return config;
}

tarvotool::AreasConfig AreasFromObject(py::handle areas, py::handle thresholds) {
    tarvotool::AreasConfig config;
    if (py::isinstance<tarvotool::AreasConfig>(areas)) {
        config = areas.cast<const tarvotool::AreasConfig&>();
    } else if (IsPath(areas)) {
        config = ReadAreasFile(py::str(py::module_::import("os").attr("fsdecode")(areas)));
    } else {
        config = FromSequence(areas);
    }
    if (thresholds.is_none()) return config;
    if (!PySequence_Check(thresholds.ptr())) {
        const float t = ToFloat(thresholds, "thresholds");
        for (tarvotool::AreaSpec& a : config.areas) a.threshold = t;
        return config;
    }
    py::sequence list = Items(thresholds, config.areas.size(), "thresholds",
                              ("one number per area (" + std::to_string(config.areas.size()) + ")").c_str());
    for (std::size_t i = 0; i < config.areas.size(); ++i)
        config.areas[i].threshold = ToFloat(list[i], "thresholds[" + std::to_string(i) + "]");
    return config;
}

void WarnAbout(const tarvotool::AreasConfig& config, const std::string& source) {
    for (const std::string& w : config.warnings)
        if (PyErr_WarnEx(PyExc_UserWarning, (source + ": " + w).c_str(), 2) < 0) throw py::error_already_set();
}

py::dict FileSettings(const tarvotool::AreasConfig& config) {
    py::dict d;
    if (config.frameCount) d["frame_count"] = *config.frameCount;
    if (config.disturbRatio) d["disturb_ratio"] = *config.disturbRatio;
    if (config.frontLight) d["front_light"] = *config.frontLight;
    if (config.light) {
        const tarvotool::LightLimits& l = *config.light;
        d["light"] = py::make_tuple(l.threshold, l.minWidth, l.maxWidth, l.minHeight, l.maxHeight);
    }
    return d;
}

}  // namespace tarvopy
