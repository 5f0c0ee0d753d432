// coil_element.h - what the tarvocoil element does, apart from its GObject
// shell (gsttarvocoil.cpp): the property values, loading the areas, the
// swap of area sets while playing, and the work on each frame.
//
// Threads: properties are set from any application thread, frames arrive
// on the streaming thread. The application side builds new area sets and
// publishes them; the streaming thread takes the published set at the start
// of each frame, and applies changed settings to its detector itself, so
// the detector is only ever driven by one thread.
#ifndef TARVOCOIL_GST_COIL_ELEMENT_H
#define TARVOCOIL_GST_COIL_ELEMENT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gst/gst.h>
#include <gst/video/video.h>

#include "gst/coil_set.h"
#include "gst/messages.h"
#include "gst/settings.h"

namespace tarvogst {

class CoilElement {
public:
    explicit CoilElement(GstElement* owner) : owner_(owner) {}

    // Where the areas come from: a file, or the same JSON inline. Setting
    // one clears the other. While started, the new areas are loaded at
    // once; on failure the running areas stay, a warning is posted and both
    // properties keep naming what runs.
    void setAreasFile(const std::string& path);
    void setAreasText(const std::string& text);
    std::string areasFile() const;
    std::string areasText() const;

    // A host's setting; it wins over the areas file from now on.
    void setFrameCount(int32_t v);
    void setDisturbRatio(float v);
    void setFrontLight(bool v);
    void setLight(LightField field, int32_t v);
    // The values in force (property, else areas file, else default).
    EffectiveSettings settings() const;

    void setDraw(bool on) { draw_ = on; }
    bool draw() const { return draw_; }
    void setTrace(bool on) { trace_ = on; }
    bool trace() const { return trace_; }
    // Seconds per tarvocoil-stats interval, 0 for none; read when areas
    // are loaded (at the start, or new areas).
    void setStatsInterval(double s) { statsInterval_ = s; }
    double statsInterval() const { return statsInterval_; }

    // READY to PAUSED: loads the areas. False (after posting an element
    // error with the parser's message) when they cannot be loaded.
    bool start();
    void stop();

    void setFrameRate(int num, int den);
    // One frame on the streaming thread. `writable`: the frame may be drawn on.
    void frame(GstVideoFrame* frame, bool writable, GstClockTime pts, GstClockTime runningTime);

    // A buffer passed through without analysis (streaming thread): it
    // neither counts as a frame nor reaches the detector, which thus
    // compares the frames on either side of it.
    enum class SkipReason { Corrupted, Gap };
    void skip(SkipReason reason, GstClockTime pts, GstClockTime runningTime);
    // Posts the run of skipped buffers that the stream ended with, and the
    // traffic data's last vehicles and its last, partial interval.
    void endOfStream();
    // Buffers skipped since the element started, by reason.
    uint64_t skippedCorrupted() const { return skippedCorrupted_; }
    uint64_t skippedGaps() const { return skippedGaps_; }

private:
    enum class Source { None, File, Text };
    struct AreasSource {
        Source kind = Source::None;
        std::string file, text;
    };

    // Loads the current source into a new set (null for no areas); throws
    // ToolError. Called with props_ held.
    std::shared_ptr<CoilSet> loadLocked(std::vector<std::string>& warnings) const;
    void sourceChanged(Source source, const std::string& value);
    void settingChanged();
    void publish(std::shared_ptr<CoilSet> set);
    std::shared_ptr<CoilSet> current() const;
    void warnOutside(CoilSet& set, int32_t width, int32_t height);
    void postWarnings(const std::vector<std::string>& warnings);
    void postSkippedRun();
    void post(GstStructure* s);
    // Feeds the frame to the set's traffic data and posts what it yields.
    void postTraffic(CoilSet& set, const FrameStamp& stamp, bool used);
    void finishTraffic(CoilSet& set);
    double frameSeconds(const FrameStamp& stamp) const;

    GstElement* owner_;

    mutable std::mutex props_;  // everything below up to set_
    AreasSource source_;
    SettingOverrides overrides_;
    bool started_ = false;
    std::atomic<uint64_t> generation_{0};  // counts setting changes

    mutable std::mutex setLock_;
    std::shared_ptr<CoilSet> set_;

    std::atomic<bool> draw_{false}, trace_{false};
    std::atomic<int> flashFrames_{13};
    std::atomic<double> fps_{25.0};
    std::atomic<double> statsInterval_{0.0};

    std::atomic<uint64_t> skippedCorrupted_{0}, skippedGaps_{0};

    // Streaming thread only (and start and stop, while it is not running).
    uint64_t frameIndex_ = 0;
    SkippedRun skippedRun_;  // the run being skipped; none while both counts are 0
    std::shared_ptr<CoilSet> lastSet_;  // the set of the last frame, finished when another takes over
};

}  // namespace tarvogst

#endif
