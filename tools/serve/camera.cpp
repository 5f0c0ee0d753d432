// camera.cpp - a camera's decoding and detector threads.
#include "tools/serve/camera.h"

#include <algorithm>

#include "host/errors.h"
#include "tools/live/live_run.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/detector_rows.h"
#include "tools/media/review.h"
#include "tools/media/video_reader.h"
#include "tools/run/traffic_sink.h"

namespace tarvotool {

namespace {

using Steady = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

int64_t SteadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

std::string Seconds1(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s);
    return buf;
}

}  // namespace

const char* CameraStateName(CameraState state) {
    switch (state) {
        case CameraState::Starting: return "starting";
        case CameraState::Running: return "running";
        case CameraState::Lost: return "lost";
        case CameraState::Reconnecting: return "reconnecting";
        case CameraState::Stopped: return "stopped";
    }
    return "unknown";
}

// Stream events of every connection of the camera, numbered in the
// camera's own frame count: one loss, one return per outage, whether the
// live source or the camera's own reopening noticed it.
class Camera::Listener : public LiveListener {
public:
    explicit Listener(Camera& cam) : cam_(cam) {}
    // The camera's frame count where the current live source started.
    void setOffset(int64_t offset) { offset_ = offset; }
    bool lost() const { return lost_; }

    void streamLost(std::optional<int64_t> lastIndex, std::optional<double> lastTime,
                    const std::string& why) override {
        cam_.setState(CameraState::Lost, why);
        if (lost_) return;
        lost_ = true;
        lostAt_ = Steady::now();
        if (lastIndex) lastIndex = *lastIndex + offset_;
        cam_.events_.write(cam_.env_.stamper->streamLost(lastIndex, lastTime, why));
        // The detector's side ends the presences after the frames it still has.
        cam_.queue_.pushLoss();
        cam_.env_.warn("camera '" + cam_.config_.name + "': stream lost (" + why + "); reconnecting");
    }
    void streamRestored(int64_t nextIndex, double gapSeconds) override {
        markRunning();
        if (!lost_) return;
        lost_ = false;
        {
            std::lock_guard<std::mutex> lock(cam_.mu_);
            ++cam_.status_.reconnects;
        }
        cam_.events_.write(cam_.env_.stamper->streamRestored(nextIndex + offset_, gapSeconds));
        cam_.env_.warn("camera '" + cam_.config_.name + "': stream back after " + Seconds1(gapSeconds) + " s");
    }
    void retrying(int attempt, std::chrono::milliseconds delay, const std::string& why) override {
        cam_.setState(CameraState::Reconnecting, "attempt " + std::to_string(attempt) + " failed (" + why +
                                                     "); next in " + Seconds1(delay.count() / 1000.0) + " s");
    }
    // The first frame of a connection the camera opened itself.
    void firstFrame(int64_t index) {
        if (lost_) streamRestored(index - offset_, std::chrono::duration<double>(Steady::now() - lostAt_).count());
        else markRunning();
    }

private:
    void markRunning() {
        std::lock_guard<std::mutex> lock(cam_.mu_);
        if (cam_.status_.state != CameraState::Running) {
            cam_.status_.state = CameraState::Running;
            cam_.status_.since = Wall::now();
            cam_.status_.runningSince = cam_.status_.since;
            cam_.status_.message.clear();
        }
        cam_.setStreamUp(true);
    }
    Camera& cam_;
    int64_t offset_ = 0;
    bool lost_ = false;
    Steady::time_point lostAt_{};
};

// The detector's side: the traffic engine (which holds back triggers
// within a coil's holdoff), the reported triggers and the engine's
// vehicle, health and stats events, counts, presence, pictures.
class Camera::Sink : public FrameSink, public TrafficEventTarget {
public:
    Sink(Camera& cam, std::vector<std::vector<tarvocoil::AreaRow>> rows)
        : cam_(cam),
          rows_(std::move(rows)),
          traffic_(cam.areas_, TrafficOptionsOf(cam.env_), nullptr, *this),
          shown_(std::max<std::size_t>(cam.areas_.areas.size(), 1), 0) {}
    bool wantsMeasurements() const override { return true; }
    void frame(const ProcessedFrame& f) override {
        traffic_.frame(f);
        const std::vector<uint8_t>& held = traffic_.suppressed();
        std::vector<std::pair<std::size_t, EventRecord>> triggers;
        for (std::size_t a = 0; !f.baseline && a < f.areaCount; ++a) {
            if (!f.triggered(a) || (a < held.size() && held[a])) continue;
            EventRecord e = cam_.env_.stamper->trigger(f.fileIndex, f.time, static_cast<int>(a),
                                                       cam_.areas_.areas[a].name);
            cam_.events_.write(e);
            triggers.emplace_back(a, std::move(e));
        }
        // The engine's events of this frame follow its triggers, as in `run`.
        traffic_.publisher().frame(f);
        count(f, triggers);
        paint(f, held);
    }
    // The open interval goes out as a partial row, and vehicles still
    // waiting for their coil's exit without a length.
    void finish() override { traffic_.finish(); }
    // The stream went after this frame: what was on the coils ends unseen.
    // Lost before any frame, there is nothing on them.
    void streamLost(std::optional<int64_t> lastIndex, std::optional<double> lastTime) {
        if (lastIndex) traffic_.streamLost(lastIndex, lastTime);
    }

    void vehicle(const VehicleEvent& v) override {
        cam_.events_.write(cam_.env_.stamper->vehicle(v));
        const std::size_t to = cam_.areas_.pairs[v.pair].toArea;
        std::lock_guard<std::mutex> lock(cam_.mu_);
        CoilStatus& c = cam_.status_.coils[to];
        c.vehicles = c.vehicles.value_or(0) + 1;
        c.lastSpeedKmh = v.speedKmh;
    }
    void health(const HealthEvent& h) override { cam_.events_.write(cam_.env_.stamper->health(h)); }
    void stats(const IntervalRow& row) override { cam_.events_.write(cam_.env_.stamper->stats(row)); }

private:
    static TrafficRunOptions TrafficOptionsOf(const CameraEnv& env) {
        TrafficRunOptions o;
        o.intervalSeconds = env.statsInterval;
        o.statsEvents = true;
        o.live = true;  // wall-clock intervals aligned to UTC
        return o;
    }

    void count(const ProcessedFrame& f, const std::vector<std::pair<std::size_t, EventRecord>>& triggers) {
        const auto t = Steady::now();
        if (windowFrames_ == 0) windowStart_ = t;
        ++windowFrames_;
        const double span = std::chrono::duration<double>(t - windowStart_).count();
        const TrafficEngine& engine = traffic_.engine();
        std::lock_guard<std::mutex> lock(cam_.mu_);
        CameraStatus& s = cam_.status_;
        ++s.frames;
        s.width = f.picture.width;
        s.height = f.picture.height;
        if (span >= 2.0) {
            s.fps = (windowFrames_ - 1) / span;
            windowFrames_ = 0;
        }
        for (const auto& [area, e] : triggers) {
            ++s.coils[area].triggers;
            s.coils[area].lastTrigger = e.wallTime;
        }
        for (std::size_t a = 0; a < s.coils.size() && a < f.areaCount; ++a) {
            CoilStatus& c = s.coils[a];
            c.present = f.measurements && a < f.measurements->size() && (*f.measurements)[a].present;
            c.health = engine.health(a);
            const CoilTally* open = engine.openTally(a);
            c.intervalCount = open ? open->count : 0;
            c.intervalOccupancy.reset();
            if (open && open->frames > 0)
                c.intervalOccupancy = static_cast<double>(open->present) / static_cast<double>(open->frames);
        }
        tell(s, triggers);
    }

    // The observer learns of changes only; of every coil's state once, at
    // the first frame, so that it starts from the truth. The count is the
    // open interval's: it rises with each reported trigger and falls back
    // when an interval closes.
    void tell(const CameraStatus& s, const std::vector<std::pair<std::size_t, EventRecord>>& triggers) {
        CameraObserver* o = cam_.env_.observer;
        if (!o) return;
        const std::string& name = cam_.config_.name;
        told_.resize(s.coils.size(), -1);
        toldCount_.resize(s.coils.size(), -1);
        for (const auto& [area, e] : triggers) o->trigger(name, area, e);
        for (std::size_t a = 0; a < s.coils.size(); ++a) {
            if (toldCount_[a] != s.coils[a].intervalCount) {
                toldCount_[a] = s.coils[a].intervalCount;
                o->coilCount(name, a, static_cast<uint64_t>(toldCount_[a]));
            }
            const int8_t present = s.coils[a].present ? 1 : 0;
            if (told_[a] == present) continue;
            told_[a] = present;
            o->presence(name, a, present != 0);
        }
    }

    // Pictures only while someone asks for them, at most every kPictureInterval.
    void paint(const ProcessedFrame& f, const std::vector<uint8_t>& held) {
        if (!painter_ || painterWidth_ != f.picture.width || painterHeight_ != f.picture.height) {
            painter_ = std::make_unique<ReviewPainter>(f.picture.width, f.picture.height, cam_.areas_, rows_, 25.0);
            painterWidth_ = f.picture.width;
            painterHeight_ = f.picture.height;
        }
        // Coils flash on the triggers reported, not on those held back.
        for (std::size_t a = 0; a < f.areaCount && a < shown_.size(); ++a)
            shown_[a] = f.flags && !(a < held.size() && held[a]) ? f.flags[a] : 0;
        painter_->triggered(f.baseline || !f.flags ? nullptr : shown_.data());
        const auto now = Steady::now();
        // A frame converted while nobody watched has the detector's rows only.
        if (!cam_.watched() || !cam_.source_->currentWhole()) return;
        if (now - lastPaint_ < kPictureInterval) return;
        lastPaint_ = now;
        BgrImage img;
        img.assign(f.picture);
        painter_->paint(img, f.fileIndex, f.time);
        std::lock_guard<std::mutex> lock(cam_.mu_);
        cam_.picture_ = std::move(img);
    }

    Camera& cam_;
    std::vector<std::vector<tarvocoil::AreaRow>> rows_;
    TrafficSink traffic_;
    std::vector<int32_t> shown_;  // the flags of the reported triggers
    std::unique_ptr<ReviewPainter> painter_;
    int painterWidth_ = 0, painterHeight_ = 0;
    Steady::time_point lastPaint_{};
    Steady::time_point windowStart_{};
    int64_t windowFrames_ = 0;
    std::vector<int8_t> told_;  // per coil the presence last told: -1 none yet
    std::vector<int64_t> toldCount_;  // per coil the interval count last told: -1 none yet
};

Camera::Camera(SiteCamera config, AreasConfig areas, std::string areasText, CameraEnv env, std::string areasError)
    : config_(std::move(config)),
      areas_(std::move(areas)),
      areasText_(std::move(areasText)),
      env_(std::move(env)),
      events_(env_.eventsDir, config_.name, env_.delivery, env_.warn),
      areasError_(std::move(areasError)) {
    if (!env_.stamper) env_.stamper = std::make_shared<EventStamper>();
    if (!env_.warn) env_.warn = [](const std::string& m) { Warn(m); };
    status_.name = config_.name;
    status_.statsInterval = env_.statsInterval;
    status_.since = Wall::now();
    for (const AreaSpec& a : areas_.areas) {
        CoilStatus c;
        c.name = a.name;
        status_.coils.push_back(std::move(c));
    }
    for (const PairSpec& p : areas_.pairs) status_.coils[p.toArea].vehicles = 0;
    if (areasError_.empty()) {
        tarvocoil::Detector det;
        ApplyAreas(det, areas_);
        rows_ = AreaRowsOf(det);
    }
}

bool Camera::watched() const {
    const int64_t at = watchedAt_.load(std::memory_order_relaxed);
    return at != 0 && SteadyNanos() - at <= std::chrono::nanoseconds(kWatchWindow).count();
}

Camera::~Camera() { stop(); }

void Camera::start() {
    if (started_) return;
    started_ = true;
    if (!areasError_.empty()) {
        setState(CameraState::Stopped, areasError_);
        return;
    }
    detector_ = std::thread([this] { detectThread(); });
    decoder_ = std::thread([this] { decodeThread(); });
}

void Camera::stop() {
    if (stopped_) return;
    stopped_ = true;
    RequestStop(&stop_);
    tap_.shutDown();
    queue_.close();
    if (decoder_.joinable()) decoder_.join();
    if (detector_.joinable()) detector_.join();
    events_.close();
    std::lock_guard<std::mutex> lock(mu_);
    if (status_.state != CameraState::Stopped) {
        status_.state = CameraState::Stopped;
        status_.since = Wall::now();
    }
    setStreamUp(false);
}

void Camera::setState(CameraState s, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu_);
    if (status_.state != s) status_.since = Wall::now();
    status_.state = s;
    status_.message = message;
    if (s != CameraState::Running) {
        setStreamUp(false);
        status_.runningSince.reset();
        status_.fps = 0.0;
    }
}

void Camera::setStreamUp(bool up) {
    if (status_.streamUp == up) return;
    status_.streamUp = up;
    if (env_.observer) env_.observer->streamUp(config_.name, up);
}

CameraStatus Camera::status() const {
    std::lock_guard<std::mutex> lock(mu_);
    CameraStatus s = status_;
    s.framesDropped = queue_.dropped();
    s.decodeErrors = static_cast<uint64_t>(decodeErrors_.load(std::memory_order_relaxed));
    return s;
}

std::optional<BgrImage> Camera::picture() {
    watchedAt_.store(SteadyNanos(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mu_);
    return picture_;
}

bool Camera::pause(std::chrono::milliseconds d) {
    const auto until = Steady::now() + d;
    while (Steady::now() < until) {
        if (StopRequested(&stop_)) return false;
        std::this_thread::sleep_for(std::min<Steady::duration>(std::chrono::milliseconds(50), until - Steady::now()));
    }
    return !StopRequested(&stop_);
}

void Camera::runConnection(int64_t& handedOut, int& width, int& height, Listener& listener) {
    VideoReaderOptions ro;
    ro.stream = config_.stream;
    ro.stop = &stop_;
    ro.stallSeconds = config_.live.stallSeconds;
    ro.width = width;
    ro.height = height;
    // Only the rows the detector reads are converted, unless someone
    // watches the pictures: a camera nobody looks at costs what `run` does.
    ro.rows = [this](int, int h) { return RowsTheDetectorReads(rows_, h); };
    ro.wholeFrame = [this] { return wholeNext_; };
    ro.tap = &tap_;
    // The queue holds the reader's own buffers: no copy between the threads.
    ro.sharePictures = true;
    // The connections add their errors as frames are read; published after
    // each frame, so that /metrics shows them while the stream runs.
    const int64_t errorsBefore = decodeErrors_.load(std::memory_order_relaxed);
    int64_t errors = 0;
    auto publishErrors = [&] { decodeErrors_.store(errorsBefore + errors, std::memory_order_relaxed); };
    std::string why;
    std::unique_ptr<LiveConnection> first = ReaderConnection::Open(config_.source, ro, &errors, why);
    if (!first) {
        publishErrors();
        throw ToolError(why);
    }
    listener.setOffset(handedOut);
    std::string endReason;
    bool gaveUp = false;
    {
        LiveSource source(
            std::move(first),
            [&](std::string& whyNot) -> std::unique_ptr<LiveConnection> {
                VideoReaderOptions again = ro;
                again.width = width;  // frames keep the size the camera started with
                again.height = height;
                return ReaderConnection::Open(config_.source, again, &errors, whyNot);
            },
            config_.live, listener, &stop_);
        SourceFrame f;
        bool firstFrame = true;
        std::vector<RowBand> bands;
        int bandsHeight = -1;
        while ((wholeNext_ = watched(), source.next(f))) {
            if (firstFrame) {
                firstFrame = false;
                if (width == 0) {
                    width = f.picture.width;
                    height = f.picture.height;
                }
                // A connection of its own after frames of an earlier one:
                // the scene may have changed meanwhile.
                if (handedOut > 0 && f.newBaseline == BaselineCause::None) {
                    f.newBaseline = BaselineCause::Reconnect;
                    f.baselineNote = "the stream came back";
                }
                listener.firstFrame(handedOut);
            }
            if (bandsHeight != f.picture.height) {
                bands = RowsTheDetectorReads(rows_, f.picture.height);
                bandsHeight = f.picture.height;
            }
            publishErrors();
            if (!queue_.push(f, handedOut++, wholeNext_, &bands)) break;
            f.keep.reset();  // the queue's hold alone: one buffer fewer in use
        }
        endReason = source.endReason();
        gaveUp = source.gaveUp();
    }
    publishErrors();
    if (gaveUp) throw std::runtime_error(endReason);
    if (!StopRequested(&stop_)) throw ToolError(endReason.empty() ? "end of stream" : endReason);
}

void Camera::decodeThread() {
    Listener listener(*this);
    int64_t handedOut = 0;
    int width = 0, height = 0;
    int failures = 0;
    std::chrono::milliseconds delay = config_.live.retryFirst;
    while (!StopRequested(&stop_)) {
        const int64_t before = handedOut;
        try {
            runConnection(handedOut, width, height, listener);
        } catch (const ToolError& e) {
            if (StopRequested(&stop_)) break;
            if (handedOut > before) {  // it worked for a while: a fresh outage
                failures = 0;
                delay = config_.live.retryFirst;
            }
            listener.setOffset(0);
            listener.streamLost(handedOut > 0 ? std::optional<int64_t>(handedOut - 1) : std::nullopt, std::nullopt,
                                e.what());
            ++failures;
            if (!config_.live.reconnect || (config_.live.maxRetries >= 0 && failures >= config_.live.maxRetries)) {
                setState(CameraState::Stopped, std::string("gave up: ") + e.what());
                break;
            }
            if (!pause(delay)) break;
            delay = std::min(config_.live.retryMax, delay * 2);
        } catch (const std::exception& e) {  // the live source gave up
            setState(CameraState::Stopped, e.what());
            break;
        }
    }
    queue_.close();
}

void Camera::detectThread() {
    try {
        tarvocoil::Detector det;
        ApplyAreas(det, areas_);
        Sink sink(*this, rows_);
        QueueSource source(queue_, [&sink](std::optional<int64_t> index, std::optional<double> time) {
            sink.streamLost(index, time);
        });
        source_ = &source;
        FrameLoop loop(det, areas_.areas.size());
        loop.setStop(&stop_);
        loop.setBaselineReset([&](int64_t index, const SourceFrame& f) {
            ApplyAreas(det, areas_);
            env_.warn("camera '" + config_.name + "': frame " + std::to_string(index) + ": " + f.baselineNote +
                      "; taking a new baseline");
        });
        loop.add(sink);
        loop.run(source);
    } catch (const std::exception& e) {
        setState(CameraState::Stopped, e.what());
        env_.warn("camera '" + config_.name + "': stopped: " + e.what());
        RequestStop(&stop_);
        queue_.close();
    }
}

}  // namespace tarvotool
