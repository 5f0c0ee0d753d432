// messages.h - what the element posts on the bus.
//
//   tarvocoil-trigger      one per trigger: area (gint), name (gchararray),
//                          frame (guint64, processed frames before this one),
//                          pts and running-time (GstClockTime, NONE when the
//                          buffer has no timestamp).
//   tarvocoil-measurement  with trace on, one per area per frame the
//                          detector used: the same five fields, then what the
//                          detector computed for the area (see
//                          MeasurementStructure).
//   tarvocoil-skipped      one per run of buffers that passed through
//                          unanalysed (flagged corrupted by the decoder, or
//                          gaps), when the run ends: at the next analysed
//                          frame, at end of stream or when the element
//                          stops. frame (guint64, processed frames before
//                          the run), pts and running-time of its first
//                          buffer, corrupted and gaps (guint64, how many of
//                          each).
#ifndef TARVOCOIL_GST_MESSAGES_H
#define TARVOCOIL_GST_MESSAGES_H

#include <cstdint>
#include <string>

#include <gst/gst.h>

#include "tarvocoil.hpp"

namespace tarvogst {

constexpr const char* kTriggerMessage = "tarvocoil-trigger";
constexpr const char* kMeasurementMessage = "tarvocoil-measurement";
constexpr const char* kSkippedMessage = "tarvocoil-skipped";

struct FrameStamp {
    guint64 frame = 0;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    GstClockTime runningTime = GST_CLOCK_TIME_NONE;
};

GstStructure* TriggerStructure(int area, const std::string& name, const FrameStamp& stamp);

// Buffers passed through without analysis, one after the other.
struct SkippedRun {
    FrameStamp first;  // frame: the processed frames before the run
    guint64 corrupted = 0, gaps = 0;
};

GstStructure* SkippedStructure(const SkippedRun& run);

// Fields after the five common ones: kind ("baseline" or "detect"),
// grey-sum, mean (gint64), sample-count (gint); on detection frames also
// reference-grey, bg-diff-sum, presence-limit, prev-diff-sum, still-limit
// (gint64), presence-limit-state and still-limit-state ("value", "nan",
// "saturated-high", "saturated-low"), still-count (gint), refresh ("none",
// "copy", "exchange"), present (gboolean), result (gint), light-tested
// (gboolean); after a light test blob-found (gboolean) and the blob's
// blob-x, blob-y, blob-width, blob-height, blob-total, blob-mean-run (gint).
GstStructure* MeasurementStructure(int area, const std::string& name, const FrameStamp& stamp,
                                   const tarvocoil::AreaMeasurement& m);

}  // namespace tarvogst

#endif
