// gst_test_util.cpp - running pipelines for the element tests.
#include "gst_test_util.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>

namespace gsttest {

Events EventsOf(const std::vector<Trigger>& triggers) {
    Events out;
    for (const Trigger& t : triggers) out.emplace_back(t.frame, t.area, t.name);
    return out;
}

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
    switch (GST_MESSAGE_TYPE(m)) {
        case GST_MESSAGE_EOS: log.eos = true; break;
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_WARNING:
            if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &error, nullptr);
            else gst_message_parse_warning(m, &error, nullptr);
            (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR ? log.errors : log.warnings).push_back(error->message);
            g_error_free(error);
            break;
        case GST_MESSAGE_ELEMENT: {
            const GstStructure* s = gst_message_get_structure(m);
            if (gst_structure_has_name(s, "tarvocoil-measurement")) ++log.measurements;
            if (!gst_structure_has_name(s, "tarvocoil-trigger")) break;
            Trigger t;
            EXPECT_TRUE(gst_structure_get_int(s, "area", &t.area));
            t.name = gst_structure_get_string(s, "name");
            EXPECT_TRUE(gst_structure_get_uint64(s, "frame", &t.frame));
            EXPECT_TRUE(gst_structure_get_clock_time(s, "pts", &t.pts));
            EXPECT_TRUE(gst_structure_get_clock_time(s, "running-time", &t.running));
            log.triggers.push_back(t);
            break;
        }
        default: break;
    }
}

}  // namespace

void Drain(GstElement* pipeline, BusLog& log) {
    GstBus* bus = gst_element_get_bus(pipeline);
    while (GstMessage* m = gst_bus_pop(bus)) {
        Take(m, log);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
}

namespace {

void WaitForEnd(GstElement* pipeline, BusLog& log) {
    GstBus* bus = gst_element_get_bus(pipeline);
    while (!log.eos && log.errors.empty()) {
        GstMessage* m = gst_bus_timed_pop(bus, 60 * GST_SECOND);
        if (!m) {
            log.errors.push_back("timed out");
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
    WaitForEnd(pipeline, log);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    Drain(pipeline, log);
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

std::vector<uint8_t> Feeder::push(const tarvotool::BgrImage& image, int stride, GstClockTime pts) {
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
    EXPECT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src_), buf), GST_FLOW_OK);
    std::vector<uint8_t> out;
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 30 * GST_SECOND);
    EXPECT_NE(sample, nullptr);
    if (!sample) return out;
    GstBuffer* got = gst_sample_get_buffer(sample);
    gst_buffer_map(got, &map, GST_MAP_READ);
    out.assign(map.data, map.data + map.size);
    gst_buffer_unmap(got, &map);
    gst_sample_unref(sample);
    Drain(pipeline_, log);
    return out;
}

BusLog Feeder::finish() {
    gst_app_src_end_of_stream(GST_APP_SRC(src_));
    WaitForEnd(pipeline_, log);
    return log;
}

}  // namespace gsttest
