// traffic_sink.cpp - the traffic engine inside `run`.
#include "tools/run/traffic_sink.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/errors.h"
#include "tools/loop/progress.h"
#include "tools/loop/paths.h"

namespace tarvotool {

StatsFile::StatsFile(const std::string& path, IntervalFormat format) : path_(path), format_(format) {
    out_ = std::fopen(path.c_str(), "w");
    if (!out_) throw ToolError("cannot write stats file '" + path + "': " + std::strerror(errno));
    if (format_ == IntervalFormat::Csv && std::fputs(IntervalCsvHeader(), out_) < 0) fail();
}

StatsFile::~StatsFile() {
    if (out_) std::fclose(out_);
}

void StatsFile::fail() { throw ToolError("cannot write stats file '" + path_ + "': " + std::strerror(errno)); }

void StatsFile::write(const IntervalRow& row) {
    const std::string line = format_ == IntervalFormat::Csv ? IntervalCsv(row) : IntervalJsonl(row);
    // Each row reaches the file as its interval closes: a reader can follow it.
    if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0) fail();
}

void StatsFile::finish() {
    if (!out_) return;
    CloseOutput(out_, path_, "stats file");
}

namespace {

// `run`'s results: stamped by the run's outlet (which hands them to the
// receivers) and written to its events file.
class OutletTarget : public TrafficEventTarget {
public:
    OutletTarget(EventOutlet& outlet, EventWriter& file, std::function<void()> beforeWrite, bool statsEvents)
        : outlet_(outlet), file_(file), beforeWrite_(std::move(beforeWrite)), statsEvents_(statsEvents) {}
    void vehicle(const VehicleEvent& v) override { write(outlet_.vehicle(v)); }
    void health(const HealthEvent& h) override { write(outlet_.health(h)); }
    void stats(const IntervalRow& row) override {
        if (statsEvents_) write(outlet_.stats(row));
    }

private:
    void write(const SerializedEvent& e) {
        if (beforeWrite_) beforeWrite_();
        file_.write(e);
    }
    EventOutlet& outlet_;
    EventWriter& file_;
    std::function<void()> beforeWrite_;
    bool statsEvents_;
};

}  // namespace

TrafficSink::TrafficSink(const AreasConfig& areas, const TrafficRunOptions& options, std::unique_ptr<StatsFile> stats,
                         EventOutlet& outlet, EventWriter& file, std::function<void()> beforeWrite)
    : options_(options),
      ownTarget_(std::make_unique<OutletTarget>(outlet, file, std::move(beforeWrite), options.statsEvents)),
      target_(*ownTarget_),
      stats_(std::move(stats)),
      publisher_([this](const ProcessedFrame&) { publishPending(); }) {
    start(areas);
}

TrafficSink::TrafficSink(const AreasConfig& areas, const TrafficRunOptions& options, std::unique_ptr<StatsFile> stats,
                         TrafficEventTarget& target)
    : options_(options),
      target_(target),
      stats_(std::move(stats)),
      publisher_([this](const ProcessedFrame&) { publishPending(); }) {
    start(areas);
}

void TrafficSink::start(const AreasConfig& areas) {
    suppressed_.assign(areas.areas.size(), 0);
    TrafficOptions t;
    t.intervalSeconds = options_.intervalSeconds;
    t.basis = options_.live ? IntervalBasis::WallClock : IntervalBasis::StreamTime;
    engine_ = std::make_unique<TrafficEngine>(areas, t);
    for (const AreaSpec& a : areas.areas) anyHoldoff_ = anyHoldoff_ || a.holdoff.value_or(0.0) > 0;
}

void TrafficSink::publishPending() {
    if (pending_) publish(*pending_);
    pending_ = nullptr;
}

void TrafficSink::frame(const ProcessedFrame& f) {
    TrafficFrame t;
    t.index = f.index;
    t.time = f.time;
    if (options_.live)
        t.wallTime = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    t.baseline = f.baseline;
    t.triggers = f.flags;
    t.measurements = f.measurements && !f.measurements->empty() ? f.measurements->data() : nullptr;
    const TrafficOutput& out = engine_->frame(t);
    std::fill(suppressed_.begin(), suppressed_.end(), 0);
    for (const TriggerReport& r : out.triggers)
        if (r.suppressed && r.area < suppressed_.size()) suppressed_[r.area] = 1;
    pending_ = &out;
}

void TrafficSink::publish(const TrafficOutput& out) {
    for (const std::string& w : out.warnings) WarnAboveProgress(w);
    for (const VehicleEvent& v : out.vehicles) target_.vehicle(v);
    for (const HealthEvent& h : out.health) target_.health(h);
    for (const IntervalRow& row : out.rows) {
        if (stats_) stats_->write(row);
        target_.stats(row);
    }
}

void TrafficSink::streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime) {
    if (finished_) return;
    publish(engine_->streamLost(lastFrame.value_or(0), lastTime.value_or(0.0)));
}

void TrafficSink::finish() {
    if (finished_) return;
    finished_ = true;
    // This sink finishes before the events sink (it was added first), so
    // the last vehicles and rows still reach the events file.
    publish(engine_->finish());
    if (stats_) stats_->finish();
}

int64_t TrafficSink::suppressedTotal() const {
    int64_t n = 0;
    for (std::size_t a = 0; a < engine_->areaCount(); ++a) n += engine_->suppressed(a);
    return n;
}

}  // namespace tarvotool
