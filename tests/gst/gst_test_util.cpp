// gst_test_util.cpp - running pipelines for the element tests.
#include "tests/gst/gst_test_util.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>

namespace gsttest {

GstElement* Parse(const std::string& description) {
    GError* error = nullptr;
    GstElement* p = gst_parse_launch(description.c_str(), &error);
    EXPECT_EQ(error, nullptr) << description << ": " << (error ? error->message : "");
    if (error) g_error_free(error);
    return p;
}

namespace {

void Take(GstMessage* m, BusLog& log) {
    GError* error = nullptr;
    const GstStructure* s = gst_message_get_structure(m);
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS) log.eos = true;
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &error, nullptr);
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING) gst_message_parse_warning(m, &error, nullptr);
    if (error) {
        (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR ? log.errors : log.warnings).push_back(error->message);
        g_error_free(error);
    }
    if (GST_MESSAGE_TYPE(m) != GST_MESSAGE_ELEMENT) return;
    if (gst_structure_has_name(s, "tarvocoil-measurement")) ++log.measurements;
    for (const char* kind : {"tarvocoil-vehicle", "tarvocoil-health", "tarvocoil-stats"})
        if (gst_structure_has_name(s, kind)) log.traffic.emplace_back(gst_structure_copy(s), gst_structure_free);
    if (gst_structure_has_name(s, "tarvocoil-skipped")) {
        Skipped k;
        GstClockTime running = 0;
        EXPECT_TRUE(gst_structure_get_uint64(s, "frame", &k.frame) && gst_structure_get_clock_time(s, "pts", &k.pts) &&
                    gst_structure_get_clock_time(s, "running-time", &running) &&
                    gst_structure_get_uint64(s, "corrupted", &k.corrupted) &&
                    gst_structure_get_uint64(s, "gaps", &k.gaps));
        log.skipped.push_back(k);
    }
    if (!gst_structure_has_name(s, "tarvocoil-trigger")) return;
    int area = -1;
    guint64 frame = 0;
    GstClockTime pts = 0, running = 0;
    EXPECT_TRUE(gst_structure_get_int(s, "area", &area) && gst_structure_get_uint64(s, "frame", &frame) &&
                gst_structure_get_clock_time(s, "pts", &pts) &&
                gst_structure_get_clock_time(s, "running-time", &running) && gst_structure_get_string(s, "name"));
    log.triggers.emplace_back(frame, area, gst_structure_get_string(s, "name"));
    log.pts.push_back(pts);
    log.running.push_back(running);
}

// Takes messages until `end` (nothing left, or EOS or an error).
void Pump(GstElement* pipeline, BusLog& log, bool toTheEnd) {
    GstBus* bus = gst_element_get_bus(pipeline);
    while (!toTheEnd || (!log.eos && log.errors.empty())) {
        GstMessage* m = toTheEnd ? gst_bus_timed_pop(bus, 60 * GST_SECOND) : gst_bus_pop(bus);
        if (!m) {
            if (toTheEnd) log.errors.push_back("timed out");
            break;
        }
        Take(m, log);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
}

}  // namespace

BusLog RunToEnd(GstElement* pipeline, const std::string& areas) {
    BusLog log;
    if (!areas.empty()) {
        GstElement* coil = gst_bin_get_by_name(GST_BIN(pipeline), "coil");
        g_object_set(coil, "areas", areas.c_str(), nullptr);
        gst_object_unref(coil);
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    Pump(pipeline, log, true);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    Pump(pipeline, log, false);
    gst_object_unref(pipeline);
    return log;
}

BusLog RunToEndTwice(GstElement* pipeline) {
    BusLog log;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    Pump(pipeline, log, true);
    log.eos = false;
    EXPECT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 0));
    Pump(pipeline, log, true);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    Pump(pipeline, log, false);
    gst_object_unref(pipeline);
    return log;
}

Feeder::Feeder(const std::string& areas, int width, int height, const std::string& coilProperties)
    : width_(width), height_(height) {
    pipeline_ = Parse("appsrc name=src format=time ! tarvocoil name=coil " + coilProperties +
                      " ! appsink name=out sync=false");
    src_ = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
    coil = gst_bin_get_by_name(GST_BIN(pipeline_), "coil");
    sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "out");
    if (!areas.empty()) g_object_set(coil, "areas", areas.c_str(), nullptr);
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGR, width, height);
    info.fps_n = 25;
    GstCaps* caps = gst_video_info_to_caps(&info);
    gst_app_src_set_caps(GST_APP_SRC(src_), caps);
    gst_caps_unref(caps);
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

Feeder::~Feeder() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    for (GstElement* e : {src_, coil, sink_, pipeline_}) gst_object_unref(e);
}

std::vector<uint8_t> Feeder::push(const tarvotool::BgrImage& image, int stride, GstClockTime pts,
                                  GstBufferFlags flags) {
    const gsize size = static_cast<gsize>(stride) * height_;
    GstBuffer* buf = gst_buffer_new_allocate(nullptr, size, nullptr);
    GstMapInfo map;
    gst_buffer_map(buf, &map, GST_MAP_WRITE);
    std::memset(map.data, 0xAB, size);
    for (int y = 0; y < height_; ++y) std::memcpy(map.data + y * stride, image.row(y), width_ * 3);
    gst_buffer_unmap(buf, &map);
    gsize offset[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {stride};
    gst_buffer_add_video_meta_full(buf, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGR, width_, height_, 1, offset,
                                   strides);
    GST_BUFFER_PTS(buf) = pts;
    GST_BUFFER_FLAG_SET(buf, flags);
    return push(buf);
}

std::vector<uint8_t> Feeder::push(GstBuffer* buf) {
    EXPECT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src_), buf), GST_FLOW_OK);
    GstMapInfo map;
    std::vector<uint8_t> out;
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 30 * GST_SECOND);
    EXPECT_NE(sample, nullptr);
    if (!sample) return out;
    gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
    out.assign(map.data, map.data + map.size);
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    gst_sample_unref(sample);
    Pump(pipeline_, log, false);
    return out;
}

BusLog Feeder::finish() {
    gst_app_src_end_of_stream(GST_APP_SRC(src_));
    Pump(pipeline_, log, true);
    return log;
}

}  // namespace gsttest
