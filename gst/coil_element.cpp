// coil_element.cpp - properties, area loading and the per-frame work.
#include "gst/coil_element.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "gst/traffic_messages.h"

GST_DEBUG_CATEGORY_EXTERN(tarvocoil_debug);
#define GST_CAT_DEFAULT tarvocoil_debug

namespace tarvogst {

void CoilElement::setAreasFile(const std::string& path) { sourceChanged(Source::File, path); }
void CoilElement::setAreasText(const std::string& text) { sourceChanged(Source::Text, text); }

std::string CoilElement::areasFile() const {
    std::lock_guard<std::mutex> lock(props_);
    return source_.file;
}

std::string CoilElement::areasText() const {
    std::lock_guard<std::mutex> lock(props_);
    return source_.text;
}

void CoilElement::setFrameCount(int32_t v) {
    std::lock_guard<std::mutex> lock(props_);
    overrides_.frameCount = v;
    settingChanged();
}

void CoilElement::setDisturbRatio(float v) {
    std::lock_guard<std::mutex> lock(props_);
    overrides_.disturbRatio = v;
    settingChanged();
}

void CoilElement::setFrontLight(bool v) {
    std::lock_guard<std::mutex> lock(props_);
    overrides_.frontLight = v;
    settingChanged();
}

void CoilElement::setLight(LightField field, int32_t v) {
    std::lock_guard<std::mutex> lock(props_);
    overrides_.light[field] = v;
    settingChanged();
}

void CoilElement::settingChanged() { generation_.fetch_add(1); }

EffectiveSettings CoilElement::settings() const {
    std::lock_guard<std::mutex> lock(props_);
    const std::shared_ptr<CoilSet> set = current();
    return Resolve(overrides_, set ? &set->config : nullptr);
}

std::shared_ptr<CoilSet> CoilElement::loadLocked(std::vector<std::string>& warnings) const {
    if (source_.kind == Source::None) return nullptr;
    const bool file = source_.kind == Source::File;
    tarvotool::AreasConfig config = file ? tarvotool::LoadAreasFile(source_.file) : ParseInlineAreas(source_.text);
    std::string name = file ? source_.file : "property 'areas'";
    for (const std::string& w : config.warnings) warnings.push_back(name + ": " + w);
    const EffectiveSettings settings = Resolve(overrides_, &config);
    return std::make_shared<CoilSet>(std::move(config), std::move(name), settings, generation_.load(),
                                     statsInterval_.load());
}

void CoilElement::sourceChanged(Source source, const std::string& value) {
    std::vector<std::string> warnings;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(props_);
        AreasSource running = std::exchange(source_, AreasSource{});
        source_.kind = value.empty() ? Source::None : source;
        (source == Source::File ? source_.file : source_.text) = value;
        if (!started_) return;
        try {
            // Published while props_ is held, so that two hosts' threads
            // replacing the areas at once leave the later one in force.
            publish(loadLocked(warnings));
        } catch (const std::exception& e) {
            error = e.what();
            // The properties read back what runs, not what was refused.
            source_ = std::move(running);
        }
    }
    // Posted without the lock: a bus handler may read our properties.
    if (!error.empty())
        GST_ELEMENT_WARNING(owner_, RESOURCE, SETTINGS, ("%s", error.c_str()),
                            ("new areas refused; the areas in force stay unchanged"));
    postWarnings(warnings);
}

void CoilElement::publish(std::shared_ptr<CoilSet> set) {
    std::lock_guard<std::mutex> lock(setLock_);
    set_.swap(set);
    // The old set is released here, or by a frame still using it.
}

std::shared_ptr<CoilSet> CoilElement::current() const {
    std::lock_guard<std::mutex> lock(setLock_);
    return set_;
}

void CoilElement::postWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& w : warnings) GST_ELEMENT_WARNING(owner_, RESOURCE, SETTINGS, ("%s", w.c_str()), (nullptr));
}

bool CoilElement::start() {
    std::vector<std::string> warnings;
    std::string error;
    bool haveAreas = false;
    {
        std::lock_guard<std::mutex> lock(props_);
        frameIndex_ = 0;
        skippedRun_ = SkippedRun{};
        lastSet_.reset();
        skippedCorrupted_ = 0;
        skippedGaps_ = 0;
        try {
            std::shared_ptr<CoilSet> set = loadLocked(warnings);
            haveAreas = set != nullptr;
            publish(std::move(set));
            started_ = true;
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    if (!error.empty()) {
        GST_ELEMENT_ERROR(owner_, RESOURCE, SETTINGS, ("%s", error.c_str()), (nullptr));
        return false;
    }
    postWarnings(warnings);
    if (!haveAreas) GST_WARNING_OBJECT(owner_, "no areas set: frames pass unchanged until areas are set");
    return true;
}

void CoilElement::stop() {
    postSkippedRun();
    lastSet_.reset();
    std::lock_guard<std::mutex> lock(props_);
    started_ = false;
    publish(nullptr);
}

void CoilElement::skip(SkipReason reason, GstClockTime pts, GstClockTime runningTime) {
    if (skippedRun_.corrupted + skippedRun_.gaps == 0) skippedRun_.first = FrameStamp{frameIndex_, pts, runningTime};
    if (reason == SkipReason::Corrupted) {
        ++skippedRun_.corrupted;
        ++skippedCorrupted_;
    } else {
        ++skippedRun_.gaps;
        ++skippedGaps_;
    }
    GST_DEBUG_OBJECT(owner_, "buffer at %" GST_TIME_FORMAT " passed through unanalysed (%s)", GST_TIME_ARGS(pts),
                     reason == SkipReason::Corrupted ? "corrupted" : "gap");
}

void CoilElement::endOfStream() {
    postSkippedRun();
    if (lastSet_) finishTraffic(*lastSet_);
}

void CoilElement::post(GstStructure* s) { gst_element_post_message(owner_, gst_message_new_element(GST_OBJECT(owner_), s)); }

void CoilElement::postSkippedRun() {
    if (skippedRun_.corrupted + skippedRun_.gaps == 0) return;
    GstStructure* s = SkippedStructure(skippedRun_);
    skippedRun_ = SkippedRun{};
    post(s);
}

double CoilElement::frameSeconds(const FrameStamp& stamp) const {
    if (GST_CLOCK_TIME_IS_VALID(stamp.pts)) return static_cast<double>(stamp.pts) / GST_SECOND;
    if (GST_CLOCK_TIME_IS_VALID(stamp.runningTime)) return static_cast<double>(stamp.runningTime) / GST_SECOND;
    return static_cast<double>(stamp.frame) / fps_.load();
}

void CoilElement::postTraffic(CoilSet& set, const FrameStamp& stamp, bool used) {
    if (set.finished) {
        // Frames after the end of the stream (a seek back after EOS): a
        // new run, counted afresh.
        set.traffic = std::make_unique<tarvotool::TrafficEngine>(set.config, set.trafficOptions);
        set.finished = false;
    }
    const std::vector<tarvocoil::AreaMeasurement>& ms = set.detector.measurements();
    tarvotool::TrafficFrame f;
    f.index = static_cast<int64_t>(stamp.frame);
    f.time = frameSeconds(stamp);
    // A frame the detector did not use breaks the coils' presences off
    // as a baseline does.
    f.baseline = !used || ms.size() != set.flags.size() || ms.empty() ||
                 ms[0].kind == tarvocoil::AreaMeasurement::Kind::Baseline;
    f.triggers = set.flags.data();
    f.measurements = f.baseline ? nullptr : ms.data();
    const tarvotool::TrafficOutput& out = set.traffic->frame(f);
    // Trigger messages are the reported triggers: within a coil's holdoff
    // a trigger is counted, not posted.
    for (const tarvotool::TriggerReport& t : out.triggers)
        if (!t.suppressed) post(TriggerStructure(static_cast<int>(t.area), set.config.areas[t.area].name, stamp));
    for (const tarvotool::VehicleEvent& v : out.vehicles) post(VehicleStructure(v));
    for (const tarvotool::HealthEvent& h : out.health) post(HealthStructure(h));
    if (set.postStats)
        for (const tarvotool::IntervalRow& r : out.rows) post(StatsStructure(r));
    for (const std::string& w : out.warnings) GST_WARNING_OBJECT(owner_, "%s", w.c_str());
}

void CoilElement::finishTraffic(CoilSet& set) {
    if (set.finished) return;
    set.finished = true;
    const tarvotool::TrafficOutput& out = set.traffic->finish();
    for (const tarvotool::VehicleEvent& v : out.vehicles) post(VehicleStructure(v));
    if (set.postStats)
        for (const tarvotool::IntervalRow& r : out.rows) post(StatsStructure(r));
}

void CoilElement::setFrameRate(int num, int den) {
    // Half a second of flash, as in the tool's review video.
    const double fps = num > 0 && den > 0 ? static_cast<double>(num) / den : 25.0;
    fps_ = fps;
    flashFrames_ = static_cast<int>(std::clamp<double>(std::lround(fps * 0.5), 1.0, 1000.0));
}

void CoilElement::warnOutside(CoilSet& set, int32_t width, int32_t height) {
    set.checkedWidth = width;
    set.checkedHeight = height;
    for (const std::string& msg : tarvotool::AreasOutsideFrame(set.config, width, height)) {
        const std::string text = set.sourceName + ": " + msg;
        GST_ELEMENT_WARNING(owner_, STREAM, FORMAT, ("%s", text.c_str()), (nullptr));
    }
}

void CoilElement::frame(GstVideoFrame* vf, bool writable, GstClockTime pts, GstClockTime runningTime) {
    postSkippedRun();
    const FrameStamp stamp{frameIndex_++, pts, runningTime};
    const std::shared_ptr<CoilSet> held = current();
    // New areas: the old ones' vehicles and partial interval go out first.
    if (lastSet_ && lastSet_ != held) finishTraffic(*lastSet_);
    lastSet_ = held;
    if (!held) return;
    CoilSet& set = *held;

    if (set.appliedGeneration != generation_.load()) {
        EffectiveSettings settings;
        {
            std::lock_guard<std::mutex> lock(props_);
            settings = Resolve(overrides_, &set.config);
            set.appliedGeneration = generation_.load();
        }
        ApplySettings(set.detector, settings);
    }
    const bool trace = trace_;

    uint8_t* pixels = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(vf, 0));
    const int32_t width = GST_VIDEO_FRAME_WIDTH(vf), height = GST_VIDEO_FRAME_HEIGHT(vf);
    const int32_t stride = GST_VIDEO_FRAME_PLANE_STRIDE(vf, 0);
    if (width != set.checkedWidth || height != set.checkedHeight) warnOutside(set, width, height);

    std::fill(set.flags.begin(), set.flags.end(), 0);
    const tarvocoil::FrameView view{pixels, width, height, stride};
    const bool used = set.detector.process(view, set.flags.data());
    if (!used) GST_DEBUG_OBJECT(owner_, "frame %" G_GUINT64_FORMAT " not used by the detector", stamp.frame);

    postTraffic(set, stamp, used);
    if (used && trace) {
        const std::vector<tarvocoil::AreaMeasurement>& ms = set.detector.measurements();
        for (std::size_t i = 0; i < ms.size() && i < set.config.areas.size(); ++i)
            post(MeasurementStructure(static_cast<int>(i), set.config.areas[i].name, stamp, ms[i]));
    }

    const int flash = flashFrames_;
    set.painter.advance(used ? set.flags.data() : nullptr, flash);
    if (draw_ && writable) set.painter.paint(FrameBytes{pixels, width, height, stride}, set.rows, set.outlines, flash);
}

}  // namespace tarvogst
