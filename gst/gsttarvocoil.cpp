// gsttarvocoil.cpp - the GObject shell of the tarvocoil element: type,
// properties, pads and the base-class hooks, each handing over to
// CoilElement.
#include "gst/gsttarvocoil.h"

#include <cfloat>
#include <exception>

#include "gst/coil_element.h"
#include "tarvocoil.hpp"

GST_DEBUG_CATEGORY(tarvocoil_debug);
#define GST_CAT_DEFAULT tarvocoil_debug

struct _GstTarvoCoil {
    GstVideoFilter parent;
    tarvogst::CoilElement* core;
};

G_DEFINE_TYPE(GstTarvoCoil, gst_tarvocoil, GST_TYPE_VIDEO_FILTER)

namespace {

enum {
    PROP_0,
    PROP_AREAS_FILE,
    PROP_AREAS,
    PROP_FRONT_LIGHT,
    PROP_FRAME_COUNT,
    PROP_DISTURB_RATIO,
    PROP_LIGHT_THRESHOLD,
    PROP_LIGHT_MIN_WIDTH,
    PROP_LIGHT_MAX_WIDTH,
    PROP_LIGHT_MIN_HEIGHT,
    PROP_LIGHT_MAX_HEIGHT,
    PROP_DRAW,
    PROP_TRACE,
    PROP_SKIPPED_CORRUPTED,
    PROP_SKIPPED_GAPS,
    PROP_STATS_INTERVAL,
};

// The detector's frame limits; wider rows would not fit its 16-bit stride.
#define TARVOCOIL_CAPS                                                                  \
    "video/x-raw, format = (string) BGR, width = (int) [ 1, 10921 ], "                  \
    "height = (int) [ 3, 32767 ], framerate = (fraction) [ 0/1, 2147483647/1 ]"

constexpr GParamFlags kFlags =
    static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);

tarvogst::CoilElement& Core(GObject* object) { return *GST_TARVOCOIL(object)->core; }

tarvogst::LightField LightFieldOf(guint id) { return static_cast<tarvogst::LightField>(id - PROP_LIGHT_THRESHOLD); }

void SetPropertyOf(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    tarvogst::CoilElement& core = Core(object);
    const char* text = nullptr;
    switch (id) {
        case PROP_AREAS_FILE:
        case PROP_AREAS:
            text = g_value_get_string(value);
            if (id == PROP_AREAS_FILE) core.setAreasFile(text ? text : "");
            else core.setAreasText(text ? text : "");
            break;
        case PROP_FRONT_LIGHT: core.setFrontLight(g_value_get_boolean(value)); break;
        case PROP_FRAME_COUNT: core.setFrameCount(g_value_get_int(value)); break;
        case PROP_DISTURB_RATIO: core.setDisturbRatio(g_value_get_float(value)); break;
        case PROP_LIGHT_THRESHOLD:
        case PROP_LIGHT_MIN_WIDTH:
        case PROP_LIGHT_MAX_WIDTH:
        case PROP_LIGHT_MIN_HEIGHT:
        case PROP_LIGHT_MAX_HEIGHT: core.setLight(LightFieldOf(id), g_value_get_int(value)); break;
        case PROP_DRAW: {
            const bool on = g_value_get_boolean(value);
            core.setDraw(on);
            // Frames are only written (and so only made writable) while drawing.
            gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(object), on ? FALSE : TRUE);
            break;
        }
        case PROP_TRACE: core.setTrace(g_value_get_boolean(value)); break;
        case PROP_STATS_INTERVAL: core.setStatsInterval(g_value_get_double(value)); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

void GetPropertyOf(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    tarvogst::CoilElement& core = Core(object);
    switch (id) {
        case PROP_AREAS_FILE: {
            const std::string s = core.areasFile();
            g_value_set_string(value, s.empty() ? nullptr : s.c_str());
            return;
        }
        case PROP_AREAS: {
            const std::string s = core.areasText();
            g_value_set_string(value, s.empty() ? nullptr : s.c_str());
            return;
        }
        case PROP_DRAW: g_value_set_boolean(value, core.draw()); return;
        case PROP_TRACE: g_value_set_boolean(value, core.trace()); return;
        case PROP_STATS_INTERVAL: g_value_set_double(value, core.statsInterval()); return;
        case PROP_SKIPPED_CORRUPTED: g_value_set_uint64(value, core.skippedCorrupted()); return;
        case PROP_SKIPPED_GAPS: g_value_set_uint64(value, core.skippedGaps()); return;
        default: break;
    }
    tarvogst::EffectiveSettings s = core.settings();
    switch (id) {
        case PROP_FRONT_LIGHT: g_value_set_boolean(value, s.frontLight); break;
        case PROP_FRAME_COUNT: g_value_set_int(value, s.frameCount); break;
        case PROP_DISTURB_RATIO: g_value_set_float(value, s.disturbRatio); break;
        case PROP_LIGHT_THRESHOLD:
        case PROP_LIGHT_MIN_WIDTH:
        case PROP_LIGHT_MAX_WIDTH:
        case PROP_LIGHT_MIN_HEIGHT:
        case PROP_LIGHT_MAX_HEIGHT: g_value_set_int(value, tarvogst::LightValue(s.light, LightFieldOf(id))); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

// No C++ exception may unwind into GObject's C code.
void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    try {
        SetPropertyOf(object, id, value, pspec);
    } catch (const std::exception& e) {
        GST_ELEMENT_WARNING(object, CORE, FAILED, ("cannot set '%s': %s", pspec->name, e.what()), (nullptr));
    }
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    try {
        GetPropertyOf(object, id, value, pspec);
    } catch (const std::exception& e) {
        GST_WARNING_OBJECT(object, "cannot read '%s': %s", pspec->name, e.what());
    }
}

void Finalize(GObject* object) {
    delete GST_TARVOCOIL(object)->core;
    G_OBJECT_CLASS(gst_tarvocoil_parent_class)->finalize(object);
}

gboolean Start(GstBaseTransform* trans) {
    try {
        return Core(G_OBJECT(trans)).start() ? TRUE : FALSE;
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(trans, CORE, FAILED, ("%s", e.what()), (nullptr));
        return FALSE;
    }
}

gboolean Stop(GstBaseTransform* trans) {
    Core(G_OBJECT(trans)).stop();
    return TRUE;
}

gboolean SetInfo(GstVideoFilter* filter, GstCaps*, GstVideoInfo* in, GstCaps*, GstVideoInfo*) {
    Core(G_OBJECT(filter)).setFrameRate(GST_VIDEO_INFO_FPS_N(in), GST_VIDEO_INFO_FPS_D(in));
    return TRUE;
}

gboolean SinkEvent(GstBaseTransform* trans, GstEvent* event) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) Core(G_OBJECT(trans)).endOfStream();
    return GST_BASE_TRANSFORM_CLASS(gst_tarvocoil_parent_class)->sink_event(trans, event);
}

GstClockTime RunningTime(GstBaseTransform* trans, GstClockTime pts) {
    if (!GST_CLOCK_TIME_IS_VALID(pts) || trans->segment.format != GST_FORMAT_TIME) return GST_CLOCK_TIME_NONE;
    return gst_segment_to_running_time(&trans->segment, GST_FORMAT_TIME, pts);
}

// The video filter's own in-place hook, which maps the frame and calls
// TransformFrameIp.
GstFlowReturn (*MapAndTransformFrame)(GstBaseTransform*, GstBuffer*) = nullptr;

// A frame the decoder flagged as corrupted (often grey, before the first
// key frame) or a gap would become the detector's baseline or a sudden
// change in every area: it passes through as it came, unanalysed. Checked
// before mapping, as a gap buffer need not hold a whole picture.
GstFlowReturn TransformIp(GstBaseTransform* trans, GstBuffer* buffer) {
    const bool corrupted = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
    if (!corrupted && !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP)) return MapAndTransformFrame(trans, buffer);
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    Core(G_OBJECT(trans)).skip(corrupted ? tarvogst::CoilElement::SkipReason::Corrupted
                                         : tarvogst::CoilElement::SkipReason::Gap,
                               pts, RunningTime(trans, pts));
    return GST_FLOW_OK;
}

GstFlowReturn TransformFrameIp(GstVideoFilter* filter, GstVideoFrame* frame) {
    GstBaseTransform* trans = GST_BASE_TRANSFORM(filter);
    const GstClockTime pts = GST_BUFFER_PTS(frame->buffer);
    // The base class maps the frame for writing only when not passing through.
    const bool writable = (frame->map[0].flags & GST_MAP_WRITE) != 0;
    try {
        Core(G_OBJECT(filter)).frame(frame, writable, pts, RunningTime(trans, pts));
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(filter, CORE, FAILED, ("%s", e.what()), (nullptr));
        return GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
}

GParamSpec* LightSpec(const char* name, const char* nick, const char* blurb, int def) {
    return g_param_spec_int(name, nick, blurb, 0, 32767, def, kFlags);
}

// The areas, given as a file or inline.
void InstallAreasProperties(GObjectClass* object) {
    g_object_class_install_property(
        object, PROP_AREAS_FILE,
        g_param_spec_string("areas-file", "Areas file",
                            "Areas file (JSON, as the tarvocoil tool reads it): the coils and optional settings. "
                            "A file that cannot be read or parsed, or is not a regular file (a FIFO, a device), "
                            "stops the pipeline from starting with an element error naming the file and the "
                            "place; set while playing, the new areas take over from the next frame (its "
                            "baseline), or, if they cannot be loaded, a warning is posted and the areas in force "
                            "stay, and are what 'areas-file' and 'areas' read back. Setting it clears 'areas'",
                            nullptr, kFlags));
    g_object_class_install_property(
        object, PROP_AREAS,
        g_param_spec_string("areas", "Areas",
                            "The same JSON as an areas file, given inline; errors and replacement as for "
                            "'areas-file'. Setting it clears 'areas-file'",
                            nullptr, kFlags));
}

// The detector's settings; each wins over the areas file's.
void InstallSettingsProperties(GObjectClass* object) {
    g_object_class_install_property(
        object, PROP_FRONT_LIGHT,
        g_param_spec_boolean("front-light", "Front-light triggering",
                             "Night mode: a presence counts only with a light blob of headlight size in the area. "
                             "A value set here wins over the areas file's settings",
                             FALSE, kFlags));
    g_object_class_install_property(
        object, PROP_FRAME_COUNT,
        g_param_spec_int("frame-count", "Still frame count",
                         "Still frames in a row before a still area takes the current picture as its background. "
                         "A value set here wins over the areas file's settings",
                         G_MININT, G_MAXINT, 20, kFlags));
    g_object_class_install_property(
        object, PROP_DISTURB_RATIO,
        g_param_spec_float("disturb-ratio", "Disturb ratio",
                           "Largest frame-to-frame change, as a fraction of an area's brightness, for the area to "
                           "count as still. A value set here wins over the areas file's settings",
                           0.0f, FLT_MAX, 0.15f, kFlags));
    g_object_class_install_property(
        object, PROP_LIGHT_THRESHOLD,
        LightSpec("light-threshold", "Light threshold",
                  "Night mode: grey level (0..254) from which a pixel counts as light. A light limit set here "
                  "wins over the areas file's", 200));
    g_object_class_install_property(
        object, PROP_LIGHT_MIN_WIDTH,
        LightSpec("light-min-width", "Light blob minimum width",
                  "Night mode: smallest width of a light blob, in pixels (also the smallest mean run width)", 20));
    g_object_class_install_property(
        object, PROP_LIGHT_MAX_WIDTH,
        LightSpec("light-max-width", "Light blob maximum width",
                  "Night mode: largest width of a light blob, in pixels; light-max-width x light-max-height "
                  "limits the blob's area and should stay below 32768 (until a light limit is set, here or in the areas "
                  "file, that limit is 5000)", 80));
    g_object_class_install_property(
        object, PROP_LIGHT_MIN_HEIGHT,
        LightSpec("light-min-height", "Light blob minimum height", "Night mode: smallest height of a light blob, "
                  "in pixels", 20));
    g_object_class_install_property(
        object, PROP_LIGHT_MAX_HEIGHT,
        LightSpec("light-max-height", "Light blob maximum height", "Night mode: largest height of a light blob, "
                  "in pixels", 80));
}

// What the element adds to its frames and its bus messages, and the
// counts of the buffers it skipped.
void InstallOutputProperties(GObjectClass* object) {
    g_object_class_install_property(
        object, PROP_DRAW,
        g_param_spec_boolean("draw", "Draw coils",
                             "Outline the areas in the passing frames (green) and fill an area red on its "
                             "trigger, fading over half a second. Off: frames pass through untouched",
                             FALSE, kFlags));
    g_object_class_install_property(
        object, PROP_TRACE,
        g_param_spec_boolean("trace", "Trace measurements",
                             "Post a 'tarvocoil-measurement' element message per area for every frame the "
                             "detector uses: its grey sums, limits, still count, refresh and light blob",
                             FALSE, kFlags));
    const GParamFlags readOnly = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        object, PROP_SKIPPED_CORRUPTED,
        g_param_spec_uint64("skipped-corrupted", "Corrupted buffers skipped",
                            "Buffers flagged corrupted (by a decoder) that passed through unanalysed since the "
                            "element started; they do not count as frames",
                            0, G_MAXUINT64, 0, readOnly));
    g_object_class_install_property(
        object, PROP_SKIPPED_GAPS,
        g_param_spec_uint64("skipped-gaps", "Gap buffers skipped",
                            "Gap buffers that passed through unanalysed since the element started; they do not "
                            "count as frames",
                            0, G_MAXUINT64, 0, readOnly));
    // Off by default: a pipeline that does not ask for statistics gets no
    // extra message per coil every interval on its bus.
    g_object_class_install_property(
        object, PROP_STATS_INTERVAL,
        g_param_spec_double("stats-interval", "Stats interval",
                            "Seconds per 'tarvocoil-stats' interval (one message per coil per interval: counts, "
                            "occupancy, vehicles, mean speed and length, health; intervals count from the first "
                            "frame's time); 0: no stats messages. Read when the element starts and when new "
                            "areas are set",
                            0.0, 86400.0, 0.0,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_PLAYING)));
}

void SetMetadataAndPads(GstElementClass* element) {
    // The element's manual, as gst-inspect-1.0 shows it (continued lines
    // indented to its value column); docs/gstreamer.md says the same at length.
#define TARVOCOIL_DOC_LINE "\n                           "
    gst_element_class_set_static_metadata(
        element, "TarvoCoil video trigger", "Filter/Analyzer/Video",
        "Virtual induction loops (coils) on video. Runs the TarvoCoil detector on each BGR frame where it lies in "
        "the buffer (any stride) and passes the frame on unchanged, unless 'draw' is on." TARVOCOIL_DOC_LINE
        "Areas: 'areas-file', or 'areas' inline: the JSON areas file the tarvocoil tool reads (quadrilaterals, "
        "thresholds, optional settings). A setting given as a property wins over the file's settings, which win "
        "over the detector's defaults. New areas while playing take over from the next frame, their baseline; "
        "bad areas stop the pipeline from starting with an element error, or, set while playing, post a warning "
        "and the areas in force keep running." TARVOCOIL_DOC_LINE
        "Messages on the bus (element messages):" TARVOCOIL_DOC_LINE
        "  tarvocoil-trigger: for every trigger (the frame on which an object's presence in an area begins) "
        "that the area's 'holdoff' in the areas file lets through: "
        "area (gint, the area's index), name (gchararray), frame (guint64, frames processed before this one since "
        "the element started, as tarvocoil run counts), pts and running-time (guint64 clock times, "
        "GST_CLOCK_TIME_NONE without a timestamp)." TARVOCOIL_DOC_LINE
        "  tarvocoil-vehicle: a vehicle on one of the areas file's 'pairs', when it leaves the pair's 'to' coil: "
        "pair, from, to (gchararray), frame (guint64) and time (gdouble, seconds of pts) of the 'to' trigger, "
        "speed-kmh (gdouble), length-m (gdouble, when measured)." TARVOCOIL_DOC_LINE
        "  tarvocoil-health: a coil's health changed: area, name, state and previous (ok, no-activity, chatter, "
        "max-presence), frame, time." TARVOCOIL_DOC_LINE
        "  tarvocoil-stats (with 'stats-interval'): one per coil per interval when it closes, the last at end of "
        "stream: start, end (gdouble seconds), area, name, frames, count (gint64, reported triggers), occupancy "
        "(gdouble, 0..1; absent without frames), on a pair's 'to' coil vehicles (gint64) and, where measured, "
        "mean-speed-kmh and mean-length-m, health (the worst state)." TARVOCOIL_DOC_LINE
        "  tarvocoil-skipped: buffers flagged corrupted or gap pass through unanalysed and are not counted as "
        "frames; each run of them is posted when it ends: frame (the next analysed frame's number), pts and "
        "running-time of its first buffer, corrupted and gaps (guint64 counts). Totals: 'skipped-corrupted', "
        "'skipped-gaps'." TARVOCOIL_DOC_LINE
        "  tarvocoil-measurement (with 'trace'): per area for every frame the detector uses: area, name, frame, "
        "pts, running-time, kind, grey-sum, mean, sample-count and, on detection frames, the difference sums, "
        "limits, still count, refresh, presence, result and light blob." TARVOCOIL_DOC_LINE
        "'qos' is off by default: no frame is dropped for lateness. Example: gst-launch-1.0 -m filesrc "
        "location=road.mp4 ! decodebin ! videoconvert ! tarvocoil areas-file=lanes.json ! fakesink",
        "TarvoCoil developers");
#undef TARVOCOIL_DOC_LINE
    GstCaps* caps = gst_caps_from_string(TARVOCOIL_CAPS);
    gst_element_class_add_pad_template(element, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
    gst_element_class_add_pad_template(element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);
}

}  // namespace

static void gst_tarvocoil_class_init(GstTarvoCoilClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass* trans = GST_BASE_TRANSFORM_CLASS(klass);
    GstVideoFilterClass* filter = GST_VIDEO_FILTER_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(tarvocoil_debug, "tarvocoil", 0, "TarvoCoil video trigger");

    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;

    InstallAreasProperties(object);
    InstallSettingsProperties(object);
    InstallOutputProperties(object);
    SetMetadataAndPads(element);

    trans->start = Start;
    trans->stop = Stop;
    trans->sink_event = SinkEvent;
    MapAndTransformFrame = trans->transform_ip;
    trans->transform_ip = TransformIp;
    filter->set_info = SetInfo;
    filter->transform_frame_ip = TransformFrameIp;
}

static void gst_tarvocoil_init(GstTarvoCoil* self) {
    self->core = new tarvogst::CoilElement(GST_ELEMENT(self));
    gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
    // The detector compares each frame with the one before and counts
    // frames, so by default no frame is dropped for lateness (the video
    // filters' default); `qos=true` lets a host trade that for load.
    gst_base_transform_set_qos_enabled(GST_BASE_TRANSFORM(self), FALSE);
}
