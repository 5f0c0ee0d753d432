// messages.cpp - structures of the trigger and measurement messages.
#include "gst/messages.h"

namespace tarvogst {

namespace {

GstStructure* Common(const char* type, int area, const std::string& name, const FrameStamp& s) {
    return gst_structure_new(type, "area", G_TYPE_INT, area, "name", G_TYPE_STRING, name.c_str(), "frame",
                             G_TYPE_UINT64, s.frame, "pts", G_TYPE_UINT64, s.pts, "running-time", G_TYPE_UINT64,
                             s.runningTime, nullptr);
}

const char* StateName(tarvocoil::LimitValue::State state) {
    switch (state) {
        case tarvocoil::LimitValue::State::NotANumber: return "nan";
        case tarvocoil::LimitValue::State::SaturatedHigh: return "saturated-high";
        case tarvocoil::LimitValue::State::SaturatedLow: return "saturated-low";
        default: return "value";
    }
}

const char* RefreshName(tarvocoil::AreaMeasurement::Refresh refresh) {
    switch (refresh) {
        case tarvocoil::AreaMeasurement::Refresh::Copy: return "copy";
        case tarvocoil::AreaMeasurement::Refresh::Exchange: return "exchange";
        default: return "none";
    }
}

}  // namespace

GstStructure* TriggerStructure(int area, const std::string& name, const FrameStamp& stamp) {
    return Common(kTriggerMessage, area, name, stamp);
}

GstStructure* SkippedStructure(const SkippedRun& run) {
    return gst_structure_new(kSkippedMessage, "frame", G_TYPE_UINT64, run.first.frame, "pts", G_TYPE_UINT64,
                             run.first.pts, "running-time", G_TYPE_UINT64, run.first.runningTime, "corrupted",
                             G_TYPE_UINT64, run.corrupted, "gaps", G_TYPE_UINT64, run.gaps, nullptr);
}

GstStructure* MeasurementStructure(int area, const std::string& name, const FrameStamp& stamp,
                                   const tarvocoil::AreaMeasurement& m) {
    using Kind = tarvocoil::AreaMeasurement::Kind;
    GstStructure* s = Common(kMeasurementMessage, area, name, stamp);
    gst_structure_set(s, "kind", G_TYPE_STRING, m.kind == Kind::Baseline ? "baseline" : "detect", "grey-sum",
                      G_TYPE_INT64, static_cast<gint64>(m.greySum), "mean", G_TYPE_INT64,
                      static_cast<gint64>(m.mean), "sample-count", G_TYPE_INT, static_cast<gint>(m.sampleCount),
                      nullptr);
    if (m.kind != Kind::Detect) return s;
    gst_structure_set(s, "reference-grey", G_TYPE_INT64, static_cast<gint64>(m.referenceGrey), "bg-diff-sum",
                      G_TYPE_INT64, static_cast<gint64>(m.bgDiffSum), "presence-limit", G_TYPE_INT64,
                      static_cast<gint64>(m.presenceLimit.value), "presence-limit-state", G_TYPE_STRING,
                      StateName(m.presenceLimit.state), "prev-diff-sum", G_TYPE_INT64,
                      static_cast<gint64>(m.prevDiffSum), "still-limit", G_TYPE_INT64,
                      static_cast<gint64>(m.stillLimit.value), "still-limit-state", G_TYPE_STRING,
                      StateName(m.stillLimit.state), "still-count", G_TYPE_INT, static_cast<gint>(m.stillCount),
                      "refresh", G_TYPE_STRING, RefreshName(m.refresh), "present", G_TYPE_BOOLEAN,
                      m.present ? TRUE : FALSE, "result", G_TYPE_INT, static_cast<gint>(m.result), "light-tested",
                      G_TYPE_BOOLEAN, m.lightTested ? TRUE : FALSE, nullptr);
    if (!m.lightTested) return s;
    gst_structure_set(s, "blob-found", G_TYPE_BOOLEAN, m.blobFound ? TRUE : FALSE, "blob-x", G_TYPE_INT,
                      static_cast<gint>(m.blob.x), "blob-y", G_TYPE_INT, static_cast<gint>(m.blob.y), "blob-width",
                      G_TYPE_INT, static_cast<gint>(m.blob.width), "blob-height", G_TYPE_INT,
                      static_cast<gint>(m.blob.height), "blob-total", G_TYPE_INT, static_cast<gint>(m.blob.total),
                      "blob-mean-run", G_TYPE_INT, static_cast<gint>(m.blob.meanRun), nullptr);
    return s;
}

}  // namespace tarvogst
