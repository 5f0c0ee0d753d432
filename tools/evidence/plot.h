// plot.h - pictures of what the detector measured, one panel per area over
// time: bgDiffSum over the presence limit (1.0 is the threshold), the still
// ratio prevDiffSum over the still limit, and marks for triggers,
// background refreshes and labelled passages (hit, miss, false).
//
// Drawn with cairo: PNG or SVG, by the file's extension. A run that wants a
// plot fills a PlotData with each processed frame's measurements
// (data.add(frame, time, detector.measurements(), names)) and calls
// WritePlot at the end; PlotSink does that on the frame loop.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_PLOT_H
#define TARVOCOIL_TOOLS_EVIDENCE_PLOT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/loop/frame_loop.h"
#include "tools/evidence/matching.h"
#include "tarvocoil.hpp"
#include "tools/evidence/truth.h"

namespace tarvotool {

// One area on one processed frame: what a trace row carries.
struct PlotFrame {
    int64_t frame = 0;
    double time = 0.0;
    tarvocoil::AreaMeasurement m;
};

struct PlotArea {
    std::string name;
    std::string note;               // shown beside the name (e.g. the threshold)
    std::vector<PlotFrame> frames;  // in processing order
    std::vector<int64_t> truth;     // entry frames, ascending
};

struct PlotData {
    std::string title;
    std::vector<PlotArea> areas;
    bool haveTruth = false;
    MatchWindow window;

    // One area's measurement on one frame (areas may be added in any order).
    void add(int area, const std::string& name, int64_t frame, double time, const tarvocoil::AreaMeasurement& m);
    // A detector's measurements of one frame, one per area.
    void add(int64_t frame, double time, const std::vector<tarvocoil::AreaMeasurement>& all,
             const std::vector<std::string>& names);
};

// What a run at other thresholds would have measured (front-light
// triggering off): presence limits, presence and results recomputed from
// each frame's referenceGrey, sampleCount and bgDiffSum.
void Rethreshold(PlotData& data, const std::vector<float>& thresholds);
// Truth entries to mark, scored with `window`.
void AddTruth(PlotData& data, const std::vector<TruthEntry>& truth, MatchWindow window);

// The largest width or height of a plot, in pixels.
constexpr int kMaxPlotSide = 16000;

struct PlotOptions {
    int width = 1600;
    int height = 0;  // 0: 90 + 250 per area
};

// Where things are drawn; the same for PNG and SVG.
struct PlotLayout {
    int width = 0, height = 0;
    double left = 0, right = 0;  // the time axis, pixels
    double t0 = 0, t1 = 1;       // seconds at left and right
    struct Panel {
        double top = 0, bottom = 0;  // the curves
        double yMax = 2;             // ratio at the top
        double triggerRow = 0, refreshRow = 0, truthRow = 0;  // centres of the mark rows
        double markHalf = 0;                                  // half height of a mark
    };
    std::vector<Panel> panels;

    double x(double seconds) const;
    double y(const Panel& p, double ratio) const;
};
PlotLayout LayoutPlot(const PlotData& data, const PlotOptions& options);

// Colours of the marks (0xRRGGBB).
constexpr uint32_t kPlotTrigger = 0x303030;     // a trigger, no truth given
constexpr uint32_t kPlotHit = 0x2ca02c;         // a trigger that found an entry; an entry found
constexpr uint32_t kPlotFalse = 0xd62728;       // a trigger that found nothing
constexpr uint32_t kPlotMiss = 0xff8c00;        // an entry no trigger found
constexpr uint32_t kPlotCopy = 0x17becf;        // background copied
constexpr uint32_t kPlotExchange = 0x8c564b;    // refresh refused: planes exchanged

// Writes the plot; the extension (.png or .svg) chooses the format. Throws
// ToolError.
void WritePlot(const std::string& path, const PlotData& data, const PlotOptions& options);

// Fails now, not after a run, for a name that is not .png or .svg and for
// more areas than fit in one picture.
void CheckPlotPath(const std::string& path, std::size_t areas, const PlotOptions& options = PlotOptions{});

// The plot of a run: every processed frame's measurements, drawn in
// finish() (also after an error or a stop, like the other outputs).
class PlotSink : public FrameSink {
public:
    PlotSink(std::string path, std::string title, std::vector<std::string> names, PlotOptions options = PlotOptions{});
    bool wantsMeasurements() const override { return true; }
    void frame(const ProcessedFrame& f) override;
    void finish() override;

private:
    std::string path_;
    std::vector<std::string> names_;
    PlotOptions options_;
    PlotData data_;
    bool written_ = false;
};

struct PlotCommand {
    std::string trace, out, truth;
    int64_t early = 3, late = 10;
    PlotOptions options;
};
int RunPlot(const PlotCommand& cmd);

}  // namespace tarvotool

#endif
