// element_test.cpp - the tarvocoil element in real pipelines: the same
// events as the tool on the same frames, any stride, drawing, properties
// changed while playing, bad areas.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "gst_test_util.h"
#include "tarvocoil.hpp"
#include "tool_test_util.h"

using gsttest::Events;
using gsttest::Feeder;
using tarvotool::BgrImage;

namespace {

std::string AreasFile(const std::string& name, const std::string& json) {
    const std::string path = tooltest::Scratch(name);
    tooltest::WriteFile(path, json);
    return path;
}

Events ToolEvents(const std::string& video, const std::string& areas) {
    const tooltest::CliResult r = tooltest::RunCli({"run", video, "--areas", areas, "--format", "jsonl"});
    EXPECT_EQ(r.status, 0) << r.err;
    Events out;
    for (const std::string& line : tooltest::Lines(r.out)) {
        const nlohmann::json j = nlohmann::json::parse(line);
        out.emplace_back(j["frame"].get<guint64>(), j["area"].get<int>(), j["name"].get<std::string>());
    }
    return out;
}

// The message `tarvocoil run` prints for these areas (after "tarvocoil: ").
std::string ToolError(const std::string& areas) {
    const tooltest::CliResult r = tooltest::RunCli({"run", tooltest::ClipPath(), "--areas", areas});
    EXPECT_NE(r.status, 0);
    return r.err.substr(r.err.find(": ") + 2, r.err.find('\n') - r.err.find(": ") - 2);
}

// A detector driven as the element should drive it.
struct Reference {
    std::unique_ptr<tarvocoil::Detector> det;
    tarvotool::AreasConfig areas;
    Events events;
    void load(const std::string& json) {
        det = std::make_unique<tarvocoil::Detector>();
        areas = tarvotool::ParseAreas(json, "reference");
        tarvotool::ApplyAreas(*det, areas);
    }
    void frame(const BgrImage& img, guint64 index) {
        std::vector<int32_t> flags(areas.areas.size(), 0);
        ASSERT_TRUE(det->process(img.data.data(), img.width, img.height, 3, flags.data()));
        for (std::size_t a = 0; a < flags.size(); ++a)
            if (flags[a]) events.emplace_back(index, static_cast<int>(a), areas.areas[a].name);
    }
};

GstClockTime Pts(int frame) { return static_cast<GstClockTime>(frame) * 40 * GST_MSECOND; }

const char* kOtherAreas = R"({"areas": [
    {"name": "low", "vertices": [[60, 80], [100, 80], [100, 110], [60, 110]]},
    {"name": "wide", "vertices": [[10, 28], [150, 28], [150, 72], [10, 72]], "threshold": 0.05}],
  "settings": {"frame_count": 7}})";

}  // namespace

TEST(GstElement, FedTheToolsFramesPostsTheToolsEventsAtAnyStride) {
    const std::string areas = AreasFile("clip.json", tooltest::ClipAreasJson());
    const Events tool = ToolEvents(tooltest::ClipPath(), areas);
    ASSERT_GE(tool.size(), 3u);
    std::vector<double> times;
    const std::vector<BgrImage> frames = tooltest::DecodeAll(tooltest::ClipPath(), &times);
    const int w = frames[0].width, h = frames[0].height;
    ASSERT_NE(w * 3 % 4, 0);  // rows of the clip need padding
    // The tool's padded rows, rows packed without padding, and a wide stride.
    for (int stride : {frames[0].stride, 3 * w, 3 * w + 13}) {
        Feeder f("", w, h, "areas-file=" + areas);
        std::vector<GstClockTime> pts;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            pts.push_back(static_cast<GstClockTime>(std::llround(times[i] * 1e9)));
            f.push(frames[i], stride, pts.back());
        }
        const gsttest::BusLog log = f.finish();
        EXPECT_TRUE(log.eos && log.errors.empty());
        EXPECT_EQ(gsttest::EventsOf(log.triggers), tool) << "stride " << stride;
        for (const gsttest::Trigger& t : log.triggers) {
            EXPECT_EQ(t.pts, pts.at(t.frame));
            EXPECT_EQ(t.running, t.pts);  // the stream's segment starts at 0
        }
    }
    // The same bytes from a file through rawvideoparse.
    std::string raw;
    for (const BgrImage& img : frames)
        for (int y = 0; y < h; ++y) raw.append(reinterpret_cast<const char*>(img.row(y)), w * 3);
    const std::string rawPath = AreasFile("clip.bgr", raw);
    const gsttest::BusLog log = gsttest::RunToEnd(gsttest::Parse(
        "filesrc location=" + rawPath + " ! rawvideoparse format=bgr framerate=25/1 width=" + std::to_string(w) +
        " height=" + std::to_string(h) + " plane-strides=<" + std::to_string(3 * w) + "> ! tarvocoil areas-file=" +
        areas + " ! fakesink"));
    EXPECT_TRUE(log.eos) << (log.errors.empty() ? "" : log.errors[0]);
    EXPECT_EQ(gsttest::EventsOf(log.triggers), tool);
}

TEST(GstElement, DecodebinAndVideoconvertOnAnEncodedFileRunToTheEnd) {
    const std::string mp4 = tooltest::Scratch("clip.mp4");
    tooltest::WriteVideo(mp4, tooltest::MakeClip(), "");
    GstElement* p = gsttest::Parse("filesrc location=" + mp4 + " ! decodebin ! videoconvert ! tarvocoil areas-file=" +
                                   AreasFile("mp4.json", tooltest::ClipAreasJson()) +
                                   " draw=true trace=true ! fakesink name=sink");
    std::atomic<int> buffers{0};
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, [](GstPad*, GstPadProbeInfo*, gpointer n) {
        ++*static_cast<std::atomic<int>*>(n);
        return GST_PAD_PROBE_OK;
    }, &buffers, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
    const gsttest::BusLog log = gsttest::RunToEnd(p);
    EXPECT_TRUE(log.eos) << (log.errors.empty() ? "" : log.errors[0]);
    EXPECT_EQ(buffers.load(), tooltest::kClipFrames);
    EXPECT_GE(log.triggers.size(), 3u);
    for (const gsttest::Trigger& t : log.triggers) {
        EXPECT_GT(t.frame, 0u);
        EXPECT_LT(t.frame, static_cast<guint64>(tooltest::kClipFrames));
        EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(t.pts) && GST_CLOCK_TIME_IS_VALID(t.running));
    }
}

TEST(GstElement, OddWidthsNegotiateAndDrawingStaysInsideTheArea) {
    const std::string quad = R"({"areas": [{"vertices": [[-20, 5], [60, 5], [60, 40], [-20, 40]]}]})";
    gsttest::BusLog log = gsttest::RunToEnd(
        gsttest::Parse("videotestsrc num-buffers=5 ! video/x-raw,format=BGR,width=157,height=61 ! "
                       "tarvocoil name=coil draw=true ! fakesink"),
        quad);
    EXPECT_TRUE(log.eos && log.errors.empty());
    // Wider than a 16-bit row stride holds: the caps do not link.
    GError* error = nullptr;
    GstElement* wide = gst_parse_launch("videotestsrc ! video/x-raw,format=BGR,width=10922,height=3 ! tarvocoil ! "
                                        "fakesink", &error);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error->message).find("can't handle caps"), std::string::npos) << error->message;
    g_error_free(error);
    if (wide) gst_object_unref(wide);

    const int w = 157, h = 61, stride = 3 * w + 13;
    BgrImage grey;
    grey.resize(w, h);
    std::fill(grey.data.begin(), grey.data.end(), 128);
    tarvocoil::Detector det;
    tarvotool::ApplyAreas(det, tarvotool::ParseAreas(quad, "quad"));
    const std::vector<tarvocoil::AreaRow> rows = det.areaRows(0);
    Feeder f(quad, w, h);
    const std::vector<uint8_t> before = f.push(grey, stride, Pts(0));
    g_object_set(f.coil, "draw", TRUE, nullptr);
    const std::vector<uint8_t> drawn = f.push(grey, stride, Pts(1));
    ASSERT_EQ(drawn.size(), static_cast<std::size_t>(stride) * h);
    int changed = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < stride; ++x) {
            EXPECT_EQ(before[y * stride + x], x < 3 * w ? 128 : 0xAB);
            if (drawn[y * stride + x] == before[y * stride + x]) continue;
            ++changed;
            ASSERT_LT(x, 3 * w) << "padding written in row " << y;
            const bool inside = std::any_of(rows.begin(), rows.end(), [&](const tarvocoil::AreaRow& r) {
                return r.y == y && x / 3 >= r.left && x / 3 <= r.right;
            });
            ASSERT_TRUE(inside) << "pixel " << x / 3 << "," << y << " lies outside the area";
        }
    EXPECT_GT(changed, 0);
    // The right edge of a middle row is outlined (green), its inside untouched.
    const tarvocoil::AreaRow& mid = rows[rows.size() / 2];
    const uint8_t* edge = &drawn[mid.y * stride + mid.right * 3];
    EXPECT_EQ(std::vector<int>(edge, edge + 3), (std::vector<int>{40, 220, 40}));
    EXPECT_EQ(drawn[mid.y * stride + (mid.right - 5) * 3], 128);
    EXPECT_EQ(f.finish().errors.size(), 0u);
}

TEST(GstElement, PropertyChangesWhilePlayingTakeEffectFromTheNextFrame) {
    const std::vector<BgrImage> frames = tooltest::MakeClip();
    Feeder f(tooltest::ClipAreasJson(), frames[0].width, frames[0].height);
    Reference ref;
    ref.load(tooltest::ClipAreasJson());
    tarvocoil::Detector probe;
    probe.setMeasuring(true);
    const bool measures = probe.measuring();
    int traced = 0;
    for (int i = 0; i < tooltest::kClipFrames; ++i) {
        if (i == 40) {  // new areas: a new baseline, the file's frame count in force
            g_object_set(f.coil, "areas", kOtherAreas, nullptr);
            ref.load(kOtherAreas);
            gint fc = 0;
            g_object_get(f.coil, "frame-count", &fc, nullptr);
            EXPECT_EQ(fc, 7);
        }
        if (i == 70) {  // settings on the running detector, no new baseline
            g_object_set(f.coil, "frame-count", 3, "disturb-ratio", 0.3f, nullptr);
            ref.det->setFrameCountThresh(3);
            ref.det->setTwoFramesDisturbThresh(0.3f);
        }
        if (i == 85) {  // the same areas again: the property still wins over the file
            g_object_set(f.coil, "areas", kOtherAreas, nullptr);
            ref.load(kOtherAreas);
            ref.det->setFrameCountThresh(3);
            ref.det->setTwoFramesDisturbThresh(0.3f);
            gint fc = 0;
            g_object_get(f.coil, "frame-count", &fc, nullptr);
            EXPECT_EQ(fc, 3);
        }
        const bool draw = i >= 50 && i < 60, trace = i >= 100 && i < 110;
        g_object_set(f.coil, "draw", draw, "trace", trace, nullptr);
        if (trace) traced += static_cast<int>(ref.areas.areas.size());
        const std::vector<uint8_t> out = f.push(frames[i], frames[i].stride, Pts(i));
        bool same = true;
        for (int y = 0; y < frames[i].height; ++y)
            same = same && std::equal(frames[i].row(y), frames[i].row(y) + 3 * frames[i].width,
                                      out.begin() + y * frames[i].stride);
        EXPECT_EQ(same, !draw) << "frame " << i;
        ref.frame(frames[i], static_cast<guint64>(i));
    }
    const gsttest::BusLog log = f.finish();
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_GE(ref.events.size(), 4u);
    EXPECT_EQ(gsttest::EventsOf(log.triggers), ref.events);
    EXPECT_EQ(log.measurements, measures ? traced : 0);
}

TEST(GstElement, AreasReplacedFromAnotherThreadKeepFlagsAndNamesTogether) {
    const char* one = R"({"areas": [{"name": "x0", "vertices": [[0, 0], [159, 0], [159, 119], [0, 119]]}]})";
    const char* three = R"({"areas": [{"name": "y0", "vertices": [[0, 0], [79, 0], [79, 59], [0, 59]]},
        {"name": "y1", "vertices": [[80, 0], [159, 0], [159, 119], [80, 119]]},
        {"name": "y2", "vertices": [[0, 60], [79, 60], [79, 119], [0, 119]]}]})";
    GstElement* p = gsttest::Parse("videotestsrc pattern=ball is-live=true num-buffers=400 ! video/x-raw,format=BGR,width=160,"
                                   "height=120,framerate=200/1 ! tarvocoil name=coil ! fakesink");
    GstElement* coil = gst_bin_get_by_name(GST_BIN(p), "coil");
    g_object_set(coil, "areas", one, nullptr);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int k = 0; k < 300 && !done; ++k) {
            g_object_set(coil, "areas", k % 2 ? one : three, "draw", k % 3 == 0, "frame-count", 1 + k % 5, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const gsttest::BusLog log = gsttest::RunToEnd(p);
    done = true;
    changer.join();
    gst_object_unref(coil);
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_GT(log.triggers.size(), 5u);
    std::set<char> sets;
    for (const gsttest::Trigger& t : log.triggers) sets.insert(t.name[0]);
    EXPECT_EQ(sets.size(), 2u);  // both sets triggered
    for (const gsttest::Trigger& t : log.triggers)
        EXPECT_EQ(t.name, (t.name[0] == 'x' ? "x" : "y") + std::to_string(t.area)) << "frame " << t.frame;
}

TEST(GstElement, BadAreasFailCleanlyWithTheParsersMessage) {
    const std::string missing = tooltest::Scratch("missing.json");
    const std::string bad = AreasFile("bad.json", R"({"areas": [{"vertices": [[1, 2], [3, 4]]}]})");
    for (const std::string& file : {missing, bad}) {
        const gsttest::BusLog log = gsttest::RunToEnd(
            gsttest::Parse("videotestsrc num-buffers=3 ! videoconvert ! tarvocoil areas-file=" + file + " ! fakesink"));
        EXPECT_FALSE(log.eos);
        ASSERT_EQ(log.errors.size(), 1u);
        EXPECT_EQ(log.errors[0], ToolError(file));
    }
    gsttest::BusLog log = gsttest::RunToEnd(
        gsttest::Parse("videotestsrc num-buffers=3 ! videoconvert ! tarvocoil name=coil ! fakesink"), "{\"areas\": [");
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0].rfind("property 'areas':1:", 0), 0u) << log.errors[0];

    // While playing: a warning, and the areas in force keep running.
    const std::vector<BgrImage> frames = tooltest::MakeClip();
    Feeder f(tooltest::ClipAreasJson(), frames[0].width, frames[0].height);
    Reference ref;
    ref.load(tooltest::ClipAreasJson());
    for (int i = 0; i < tooltest::kClipFrames; ++i) {
        if (i == 30) g_object_set(f.coil, "areas-file", bad.c_str(), nullptr);
        f.push(frames[i], frames[i].stride, Pts(i));
        ref.frame(frames[i], static_cast<guint64>(i));
    }
    log = f.finish();
    EXPECT_TRUE(log.errors.empty());
    ASSERT_EQ(log.warnings.size(), 1u);
    EXPECT_EQ(log.warnings[0], ToolError(bad));
    EXPECT_EQ(gsttest::EventsOf(log.triggers), ref.events);
}
