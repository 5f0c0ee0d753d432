// measurement_dict.cpp - AreaMeasurement records as Python dicts.
#include "python/src/measurement_dict.h"

namespace tarvopy {

namespace {

using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

const char* LimitState(LimitValue::State s) {
    switch (s) {
        case LimitValue::State::Value: return "value";
        case LimitValue::State::NotANumber: return "nan";
        case LimitValue::State::SaturatedHigh: return "saturated_high";
        case LimitValue::State::SaturatedLow: return "saturated_low";
    }
    return "value";
}

const char* RefreshName(AreaMeasurement::Refresh r) {
    switch (r) {
        case AreaMeasurement::Refresh::None: return "none";
        case AreaMeasurement::Refresh::Copy: return "copy";
        case AreaMeasurement::Refresh::Exchange: return "exchange";
    }
    return "none";
}

py::dict Record(const AreaMeasurement& m) {
    py::dict d;
    const bool detect = m.kind == AreaMeasurement::Kind::Detect;
    d["kind"] = detect ? "detect" : "baseline";
    d["grey_sum"] = m.greySum;
    d["mean"] = m.mean;
    d["sample_count"] = m.sampleCount;
    if (!detect) return d;
    d["reference_grey"] = m.referenceGrey;
    d["bg_diff_sum"] = m.bgDiffSum;
    d["presence_limit"] = m.presenceLimit.value;
    d["presence_limit_state"] = LimitState(m.presenceLimit.state);
    d["prev_diff_sum"] = m.prevDiffSum;
    d["still_limit"] = m.stillLimit.value;
    d["still_limit_state"] = LimitState(m.stillLimit.state);
    d["still_count"] = m.stillCount;
    d["refresh"] = RefreshName(m.refresh);
    d["present"] = m.present;
    d["result"] = m.result;
    d["light_tested"] = m.lightTested;
    d["blob_found"] = m.blobFound;
    if (m.blobFound)
        d["blob"] = py::dict(py::arg("x") = m.blob.x, py::arg("y") = m.blob.y, py::arg("width") = m.blob.width,
                             py::arg("height") = m.blob.height, py::arg("total") = m.blob.total,
                             py::arg("mean_run") = m.blob.meanRun);
    return d;
}

}  // namespace

py::list MeasurementList(const std::vector<AreaMeasurement>& records) {
    py::list out;
    for (const AreaMeasurement& m : records) out.append(Record(m));
    return out;
}

}  // namespace tarvopy
