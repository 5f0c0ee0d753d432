// trace.h - the numbers behind every decision: one record per area per
// processed frame, from the detector's measurements.
//
// JSON Lines (one object per line) with the keys, in this order:
//   frame, time, area, name, kind ("baseline" or "detect"); baseline
//   frames also reason ("start": the run's first frame, "reconnect": the
//   first after a live stream came back, "size-change": the picture size
//   changed); then greySum, mean, sampleCount; detection frames also
//   referenceGrey, bgDiffSum, presenceLimit, prevDiffSum, stillLimit,
//   stillCount, refresh ("none", "copy" or "exchange"), present
//   (true/false), result (0/1), suppressed (true, only on a trigger the
//   coil's holdoff kept from being reported); and with
//   front-light triggering on, light: {"tested": bool, "blob": null or
//   {"x", "y", "width", "height", "total", "meanRun"}}.
// A limit is an integer, or "nan" (no limit: the comparison is always
// false), "saturated-high" or "saturated-low" (beyond 64 bits).
// CSV has one column per key (light as lightTested, blobX, blobY,
// blobWidth, blobHeight, blobTotal, blobMeanRun; suppressed last), empty
// where a row has no value. `frame` counts processed frames as run's events do (0 = the first
// baseline); a new baseline later keeps the count.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_TRACE_H
#define TARVOCOIL_TOOLS_EVIDENCE_TRACE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/evidence/plot.h"
#include "tools/loop/frame_loop.h"

namespace tarvotool {

enum class TraceFormat { Jsonl, Csv };

class TraceSink : public FrameSink {
public:
    // frontLight: whether the detector runs front-light triggering (the
    // light key is written then).
    TraceSink(const std::string& path, TraceFormat format, std::vector<std::string> names, bool frontLight);
    ~TraceSink() override;
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;

    bool wantsMeasurements() const override { return true; }
    // Per area, non-zero where this frame's trigger was held back by the
    // coil's holdoff (read on each frame; null: none is).
    void setSuppressed(const std::vector<uint8_t>* suppressed) { suppressed_ = suppressed; }
    void frame(const ProcessedFrame& f) override;
    void finish() override;

    // One record as text (with its newline).
    static std::string Jsonl(const ProcessedFrame& f, std::size_t area, const std::string& name,
                             const tarvocoil::AreaMeasurement& m, bool frontLight, bool suppressed = false);
    static std::string Csv(const ProcessedFrame& f, std::size_t area, const std::string& name,
                           const tarvocoil::AreaMeasurement& m, bool suppressed = false);
    static const char* CsvHeader();
    static std::string LimitText(const tarvocoil::LimitValue& v);

private:
    std::string path_;
    TraceFormat format_;
    std::vector<std::string> names_;
    bool frontLight_;
    const std::vector<uint8_t>* suppressed_ = nullptr;
    std::FILE* out_ = nullptr;
    int64_t records_ = 0;
    int64_t frames_ = 0;
};

// The reading side, beside the writer so that the two keep one format.
// Reads a trace as `run --trace` writes it, one record per area and
// processed frame: JSON Lines (one object per line), or CSV with a header
// line naming the columns (`--trace-format csv`); a first line starting
// with '{' means JSON Lines. Throws ToolError naming the line.
PlotData ReadTrace(const std::string& path);

}  // namespace tarvotool

#endif
