// element_test.cpp - the tarvocoil element in real pipelines: the tool's
// events from the tool's frames at any stride, drawing, property changes
// while playing, bad areas.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/gst/gst_test_util.h"
#include "tarvocoil.hpp"
#include "tests/tool/tool_test_util.h"

using gsttest::Events;
using gsttest::Feeder;
using tarvotool::BgrImage;

namespace {

std::string Write(const std::string& name, const std::string& text) {
    const std::string path = tooltest::Scratch(name);
    tooltest::WriteFile(path, text);
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

// The message `tarvocoil run` prints for these areas, after "tarvocoil: ".
std::string ToolError(const std::string& areas) {
    const std::string err = tooltest::RunCli({"run", tooltest::ClipPath(), "--areas", areas}).err;
    const std::size_t from = err.find(": ") + 2;
    return err.substr(from, err.find('\n') - from);
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

bool SameRows(const BgrImage& img, const std::vector<uint8_t>& out) {
    for (int y = 0; y < img.height; ++y)
        if (!std::equal(img.row(y), img.row(y) + 3 * img.width, out.begin() + y * img.stride)) return false;
    return true;
}

const char* kOtherAreas = R"({"areas": [
    {"name": "low", "vertices": [[60, 80], [100, 80], [100, 110], [60, 110]]},
    {"name": "wide", "vertices": [[10, 28], [150, 28], [150, 72], [10, 72]], "threshold": 0.05}],
  "settings": {"frame_count": 7}})";

}  // namespace

TEST(GstElement, FedTheToolsFramesPostsTheToolsEventsAtAnyStride) {
    const std::string areas = Write("clip.json", tooltest::ClipAreasJson());
    const Events tool = ToolEvents(tooltest::ClipPath(), areas);
    ASSERT_GE(tool.size(), 3u);
    std::vector<double> times;
    const std::vector<BgrImage> frames = tooltest::DecodeAll(tooltest::ClipPath(), &times);
    const int w = frames[0].width, h = frames[0].height;
    ASSERT_NE(w * 3 % 4, 0);  // the clip's rows need padding
    // The tool's padded rows, rows without padding, and a wide stride.
    for (int stride : {frames[0].stride, 3 * w, 3 * w + 13}) {
        Feeder f("", w, h, "areas-file=" + areas);
        for (std::size_t i = 0; i < frames.size(); ++i) f.push(frames[i], stride, std::llround(times[i] * 1e9));
        const gsttest::BusLog log = f.finish();
        EXPECT_TRUE(log.eos && log.errors.empty());
        EXPECT_EQ(log.triggers, tool) << "stride " << stride;
        for (std::size_t k = 0; k < log.pts.size(); ++k) {
            EXPECT_EQ(log.pts[k], std::llround(times.at(std::get<0>(log.triggers[k])) * 1e9));
            EXPECT_EQ(log.running[k], log.pts[k]);  // the segment starts at 0
        }
    }
    // The same bytes from a file through rawvideoparse.
    std::string raw;
    for (const BgrImage& img : frames)
        for (int y = 0; y < h; ++y) raw.append(reinterpret_cast<const char*>(img.row(y)), w * 3);
    const gsttest::BusLog log = gsttest::RunToEnd(gsttest::Parse(
        "filesrc location=" + Write("clip.bgr", raw) + " ! rawvideoparse format=bgr framerate=25/1 width=" +
        std::to_string(w) + " height=" + std::to_string(h) + " plane-strides=<" + std::to_string(3 * w) +
        "> ! tarvocoil areas-file=" + areas + " ! fakesink"));
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_EQ(log.triggers, tool);
}

TEST(GstElement, DecodebinAndVideoconvertOnAnEncodedFileRunToTheEnd) {
    const std::string mp4 = tooltest::Scratch("clip.mp4");
    tooltest::WriteVideo(mp4, tooltest::MakeClip(), "");
    GstElement* p = gsttest::Parse("filesrc location=" + mp4 + " ! decodebin ! videoconvert ! tarvocoil name=coil "
                                   "draw=true trace=true ! fakesink name=sink");
    std::atomic<int> buffers{0};
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, [](GstPad*, GstPadProbeInfo*, gpointer n) {
        ++*static_cast<std::atomic<int>*>(n);
        return GST_PAD_PROBE_OK;
    }, &buffers, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
    const gsttest::BusLog log = gsttest::RunToEnd(p, tooltest::ClipAreasJson());
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_EQ(buffers.load(), tooltest::kClipFrames);
    EXPECT_GE(log.triggers.size(), 3u);
    for (std::size_t k = 0; k < log.triggers.size(); ++k) {
        EXPECT_GT(std::get<0>(log.triggers[k]), 0u);
        EXPECT_LT(std::get<0>(log.triggers[k]), static_cast<guint64>(tooltest::kClipFrames));
        EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(log.pts[k]) && GST_CLOCK_TIME_IS_VALID(log.running[k]));
    }
}

TEST(GstElement, OddWidthsNegotiateAndDrawingStaysInsideTheArea) {
    const std::string quad = R"({"areas": [{"vertices": [[-20, 5], [60, 5], [60, 40], [-20, 40]]}]})";
    const gsttest::BusLog log = gsttest::RunToEnd(
        gsttest::Parse("videotestsrc num-buffers=5 ! video/x-raw,format=BGR,width=157,height=61 ! "
                       "tarvocoil name=coil draw=true ! fakesink"), quad);
    EXPECT_TRUE(log.eos && log.errors.empty());

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
    ASSERT_EQ(drawn.size(), before.size());
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        const int x = static_cast<int>(i % stride) / 3, y = static_cast<int>(i / stride);
        EXPECT_EQ(before[i], x < w ? 128 : 0xAB);
        const bool inside = x < w && std::any_of(rows.begin(), rows.end(), [&](const tarvocoil::AreaRow& r) {
            return r.y == y && x >= r.left && x <= r.right;
        });
        if (!inside) {
            ASSERT_EQ(drawn[i], before[i]) << "written outside the area at " << x << "," << y;
        }
    }
    // The right edge of a middle row is outlined in green, its inside untouched.
    const tarvocoil::AreaRow& mid = rows[rows.size() / 2];
    const uint8_t* edge = &drawn[mid.y * stride + mid.right * 3];
    EXPECT_EQ(std::vector<int>(edge, edge + 3), (std::vector<int>{40, 220, 40}));
    EXPECT_EQ(drawn[mid.y * stride + (mid.right - 5) * 3], 128);
    EXPECT_TRUE(f.finish().errors.empty());
}

TEST(GstElement, PropertyChangesWhilePlayingTakeEffectFromTheNextFrame) {
    const std::vector<BgrImage> frames = tooltest::MakeClip();
    Feeder f(tooltest::ClipAreasJson(), frames[0].width, frames[0].height);
    Reference ref;
    ref.load(tooltest::ClipAreasJson());
    tarvocoil::Detector probe;
    probe.setMeasuring(true);
    int traced = 0;
    auto frameCount = [&] {
        gint v = 0;
        g_object_get(f.coil, "frame-count", &v, nullptr);
        return v;
    };
    for (int i = 0; i < tooltest::kClipFrames; ++i) {
        if (i == 40 || i == 85) {  // new areas, new baseline; the file's frame count unless a property set one
            g_object_set(f.coil, "areas", kOtherAreas, nullptr);
            ref.load(kOtherAreas);
            if (i == 85) ref.det->setFrameCountThresh(3), ref.det->setTwoFramesDisturbThresh(0.3f);
            EXPECT_EQ(frameCount(), i == 40 ? 7 : 3);
        }
        if (i == 70) {  // settings of the running detector, no new baseline
            g_object_set(f.coil, "frame-count", 3, "disturb-ratio", 0.3f, nullptr);
            ref.det->setFrameCountThresh(3);
            ref.det->setTwoFramesDisturbThresh(0.3f);
        }
        const bool draw = i >= 50 && i < 60, trace = i >= 100 && i < 110;
        g_object_set(f.coil, "draw", draw, "trace", trace, nullptr);
        traced += trace ? static_cast<int>(ref.areas.areas.size()) : 0;
        EXPECT_EQ(SameRows(frames[i], f.push(frames[i], frames[i].stride, Pts(i))), !draw) << "frame " << i;
        ref.frame(frames[i], static_cast<guint64>(i));
    }
    const gsttest::BusLog log = f.finish();
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_GE(ref.events.size(), 4u);
    EXPECT_EQ(log.triggers, ref.events);
    EXPECT_EQ(log.measurements, probe.measuring() ? traced : 0);
}

// A decoder's grey frames flagged corrupted before the first key frame
// would be the baseline, and every area would turn present on the first
// real frame; gap buffers (which need not hold a picture at all) likewise.
// They pass through untouched even while drawing, and frame numbers count
// the analysed frames only.
TEST(GstElement, CorruptedAndGapBuffersPassThroughUnanalysed) {
    const std::vector<BgrImage> frames = tooltest::MakeClip();
    const int w = frames[0].width, h = frames[0].height;
    BgrImage grey;
    grey.resize(w, h);
    std::fill(grey.data.begin(), grey.data.end(), 128);
    const auto corrupted = GST_BUFFER_FLAG_CORRUPTED, gap = GST_BUFFER_FLAG_GAP;
    Feeder f(tooltest::ClipAreasJson(), w, h, "draw=true");
    Reference ref;
    ref.load(tooltest::ClipAreasJson());
    GstClockTime pts = 0;
    auto skipped = [&](GstBufferFlags flags) {
        EXPECT_TRUE(SameRows(grey, f.push(grey, grey.stride, pts, flags))) << "a skipped buffer was changed";
        pts += 40 * GST_MSECOND;
    };
    for (int k = 0; k < 5; ++k) skipped(corrupted);
    for (int i = 0; i < tooltest::kClipFrames; ++i) {
        if (i == 50) {
            skipped(gap);
            skipped(static_cast<GstBufferFlags>(corrupted | gap));
            GstBuffer* empty = gst_buffer_new();
            GST_BUFFER_PTS(empty) = pts;
            GST_BUFFER_FLAG_SET(empty, gap);
            EXPECT_TRUE(f.push(empty).empty());
            pts += 40 * GST_MSECOND;
        }
        EXPECT_FALSE(SameRows(frames[i], f.push(frames[i], frames[i].stride, pts))) << "frame " << i << " not drawn";
        ref.frame(frames[i], static_cast<guint64>(i));
        pts += 40 * GST_MSECOND;
    }
    for (int k = 0; k < 2; ++k) skipped(corrupted);
    guint64 corruptedCount = 0, gapCount = 0;
    g_object_get(f.coil, "skipped-corrupted", &corruptedCount, "skipped-gaps", &gapCount, nullptr);
    EXPECT_EQ(corruptedCount, 8u);  // a buffer flagged both is counted once, as corrupted
    EXPECT_EQ(gapCount, 2u);
    const gsttest::BusLog log = f.finish();
    EXPECT_TRUE(log.eos && log.errors.empty());
    EXPECT_GE(ref.events.size(), 3u);
    EXPECT_EQ(log.triggers, ref.events);
    const GstClockTime frame = 40 * GST_MSECOND;
    // Each run once it ends: at the next analysed frame, or at the end of the stream.
    EXPECT_EQ(log.skipped, (std::vector<gsttest::Skipped>{{0, 0, 5, 0}, {50, 55 * frame, 1, 2}, {120, 128 * frame, 2, 0}}));
}

TEST(GstElement, AreasReplacedFromAnotherThreadKeepFlagsAndNamesTogether) {
    const char* one = R"({"areas": [{"name": "x0", "vertices": [[0, 0], [159, 0], [159, 119], [0, 119]]}]})";
    const char* three = R"({"areas": [{"name": "y0", "vertices": [[0, 0], [79, 0], [79, 59], [0, 59]]},
        {"name": "y1", "vertices": [[80, 0], [159, 0], [159, 119], [80, 119]]},
        {"name": "y2", "vertices": [[0, 60], [79, 60], [79, 119], [0, 119]]}]})";
    GstElement* p = gsttest::Parse("videotestsrc pattern=ball is-live=true num-buffers=400 ! video/x-raw,format=BGR,"
                                   "width=160,height=120,framerate=200/1 ! tarvocoil name=coil ! fakesink");
    GstElement* coil = gst_bin_get_by_name(GST_BIN(p), "coil");
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int k = 0; k < 200 && !done; ++k) {
            g_object_set(coil, "areas", k % 2 ? one : three, "draw", k % 3 == 0, "frame-count", 1 + k % 5, nullptr);
            // Now and then each set stays for some frames, so that both trigger.
            std::this_thread::sleep_for(std::chrono::milliseconds(k % 20 < 2 ? 40 : 5));
        }
    });
    const gsttest::BusLog log = gsttest::RunToEnd(p, one);
    done = true;
    changer.join();
    gst_object_unref(coil);
    EXPECT_TRUE(log.eos && log.errors.empty());
    std::set<char> sets;
    for (const auto& [frame, area, name] : log.triggers) {
        sets.insert(name[0]);
        EXPECT_EQ(name, name.substr(0, 1) + std::to_string(area)) << "frame " << frame;
    }
    EXPECT_EQ(sets.size(), 2u);  // both sets triggered
}

std::string AreasFileProperty(GstElement* coil) {
    gchar* v = nullptr;
    g_object_get(coil, "areas-file", &v, nullptr);
    const std::string s = v ? v : "(null)";
    g_free(v);
    return s;
}

TEST(GstElement, BadAreasFailCleanlyWithTheParsersMessage) {
    const std::string bad = Write("bad.json", R"({"areas": [{"vertices": [[1, 2], [3, 4]]}]})");
    // A FIFO would block the start (and the pipeline in PAUSED) until someone wrote to it.
    const std::string fifo = tooltest::MakeFifo("areas.fifo");
    const tooltest::FifoRelease release(fifo, 10);
    for (const std::string& file : {tooltest::Scratch("missing.json"), bad, fifo}) {
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

    // While playing: a warning, and the areas in force keep running and
    // are what the properties read back.
    const std::vector<BgrImage> frames = tooltest::MakeClip();
    Feeder f(tooltest::ClipAreasJson(), frames[0].width, frames[0].height);
    for (int i = 0; i < tooltest::kClipFrames; ++i) {
        if (i == 30 || i == 31) {
            g_object_set(f.coil, "areas-file", (i == 30 ? bad : fifo).c_str(), nullptr);
            EXPECT_EQ(AreasFileProperty(f.coil), "(null)");
            gchar* areas = nullptr;
            g_object_get(f.coil, "areas", &areas, nullptr);
            EXPECT_STREQ(areas, tooltest::ClipAreasJson());
            g_free(areas);
        }
        f.push(frames[i], frames[i].stride, Pts(i));
    }
    log = f.finish();
    EXPECT_TRUE(log.errors.empty());
    EXPECT_EQ(log.warnings, (std::vector<std::string>{ToolError(bad), ToolError(fifo)}));
    EXPECT_FALSE(release.released()) << "the element waited on the FIFO";
    const auto expected = tooltest::InMemoryTriggers(tarvotool::ParseAreas(tooltest::ClipAreasJson(), "clip"), frames,
                                                     0, tooltest::kClipFrames);
    ASSERT_EQ(log.triggers.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(std::make_pair(int(std::get<0>(log.triggers[k])), std::get<1>(log.triggers[k])), expected[k]);

    // A file in force reads back the same way. Before the start nothing
    // runs yet: the value set is what reads back.
    const std::string good = Write("good.json", tooltest::ClipAreasJson());
    Feeder g("", frames[0].width, frames[0].height, "areas-file=" + good);
    g.push(frames[0], frames[0].stride, Pts(0));
    g_object_set(g.coil, "areas-file", bad.c_str(), nullptr);
    EXPECT_EQ(AreasFileProperty(g.coil), good);
    EXPECT_EQ(g.finish().warnings.size(), 1u);
    GstElement* idle = gst_element_factory_make("tarvocoil", nullptr);
    g_object_set(idle, "areas-file", bad.c_str(), nullptr);
    EXPECT_EQ(AreasFileProperty(idle), bad);
    gst_object_unref(idle);
}
