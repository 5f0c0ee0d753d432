// traffic_sink.h - `run`'s traffic data: each processed frame through the
// traffic engine, which decides the triggers the run reports (holdoff),
// and its vehicle, health and interval results to the stats file and a
// target: `run`'s events file and receivers, or a camera of `serve`.
#ifndef TARVOCOIL_TOOLS_RUN_TRAFFIC_SINK_H
#define TARVOCOIL_TOOLS_RUN_TRAFFIC_SINK_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/traffic/traffic_engine.h"
#include "tools/events/delivery_options.h"
#include "tools/events/events.h"
#include "tools/loop/frame_loop.h"

namespace tarvotool {

struct TrafficRunOptions {
    double intervalSeconds = 60;
    bool statsEvents = false;  // each row also as a "stats" event
    bool live = false;         // intervals by UTC wall clock
};

// The interval rows file, header first (CSV), each row as it closes.
class StatsFile {
public:
    // Opens (truncates) the file now, so that a bad path fails before the run.
    StatsFile(const std::string& path, IntervalFormat format);
    ~StatsFile();
    StatsFile(const StatsFile&) = delete;
    StatsFile& operator=(const StatsFile&) = delete;
    void write(const IntervalRow& row);
    // Flushes and closes; throws ToolError when anything failed.
    void finish();

private:
    void fail();
    std::string path_;
    IntervalFormat format_;
    std::FILE* out_ = nullptr;
};

// Where the engine's vehicle, health and interval results go: `run`'s
// events file and receivers, or a camera of `serve`.
class TrafficEventTarget {
public:
    virtual ~TrafficEventTarget() = default;
    virtual void vehicle(const VehicleEvent& v) = 0;
    virtual void health(const HealthEvent& h) = 0;
    // Every interval row as it closes (after the stats file has it).
    virtual void stats(const IntervalRow& row) = 0;
};

// Added to the frame loop twice: itself before the events sink (it runs
// the engine and marks the held-back triggers the events sink and the
// trace skip or mark), and publisher() after it, which writes the frame's
// vehicle, health and stats events behind its triggers.
class TrafficSink : public FrameSink {
public:
    // stats: where the rows go (null: nowhere but --stats-events).
    // beforeWrite: clears a progress line on the terminal the events file
    // goes to (optional).
    TrafficSink(const AreasConfig& areas, const TrafficRunOptions& options, std::unique_ptr<StatsFile> stats,
                EventOutlet& outlet, EventWriter& file, std::function<void()> beforeWrite = {});
    // The results to `target` (not owned; it outlives the sink).
    TrafficSink(const AreasConfig& areas, const TrafficRunOptions& options, std::unique_ptr<StatsFile> stats,
                TrafficEventTarget& target);
    bool wantsMeasurements() const override { return true; }
    void frame(const ProcessedFrame& f) override;
    // The engine's last vehicles (without length) and the last partial
    // interval published, and the stats file closed. Add this sink before
    // the events sink, which closes the events file in its finish().
    void finish() override;

    // Per area, non-zero where the current frame's trigger was held back.
    const std::vector<uint8_t>& suppressed() const { return suppressed_; }
    FrameSink& publisher() { return publisher_; }
    // A live stream dropped after this frame: presences end unseen.
    void streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime);
    // Triggers held back by holdoff over the run, all coils.
    int64_t suppressedTotal() const;
    bool anyHoldoff() const { return anyHoldoff_; }
    // The engine's counts so far (read on the thread that feeds frames).
    const TrafficEngine& engine() const { return *engine_; }

private:
    void start(const AreasConfig& areas);
    void publish(const TrafficOutput& out);
    void publishPending();

    std::unique_ptr<TrafficEngine> engine_;  // by pointer: events view its names
    TrafficRunOptions options_;
    std::unique_ptr<TrafficEventTarget> ownTarget_;  // run's, made by its constructor (before target_)
    TrafficEventTarget& target_;
    std::unique_ptr<StatsFile> stats_;
    std::vector<uint8_t> suppressed_;
    const TrafficOutput* pending_ = nullptr;  // the engine's output of this frame
    FunctionSink publisher_;
    bool anyHoldoff_ = false;
    bool finished_ = false;
};

}  // namespace tarvotool

#endif
