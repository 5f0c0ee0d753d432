// gst_test_util.h - pipelines with the tarvocoil element, and their buses.
#ifndef TARVOCOIL_TESTS_GST_UTIL_H
#define TARVOCOIL_TESTS_GST_UTIL_H

#include <gst/gst.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host/canvas.h"

namespace gsttest {

// (frame, area, name) of a trigger.
using Events = std::vector<std::tuple<guint64, int, std::string>>;

// A tarvocoil-skipped message.
struct Skipped {
    guint64 frame = 0;
    GstClockTime pts = 0;
    guint64 corrupted = 0, gaps = 0;
    bool operator==(const Skipped& o) const {
        return frame == o.frame && pts == o.pts && corrupted == o.corrupted && gaps == o.gaps;
    }
};

struct BusLog {
    Events triggers;
    std::vector<Skipped> skipped;
    std::vector<GstClockTime> pts, running;  // of each trigger
    int measurements = 0;
    // tarvocoil-vehicle, -health and -stats messages, in order.
    std::vector<std::shared_ptr<GstStructure>> traffic;
    std::vector<std::string> errors, warnings;
    bool eos = false;
};

GstElement* Parse(const std::string& description);
// Plays the pipeline to its end (or an error, or 60 s), then frees it.
// `areas`, when given, is set on the element named "coil" first.
BusLog RunToEnd(GstElement* pipeline, const std::string& areas = "");
// Plays the pipeline to its end, seeks back to the start and plays it to
// its end again (or an error, or 60 s each), then frees it.
BusLog RunToEndTwice(GstElement* pipeline);

// appsrc ! tarvocoil ! appsink, one frame at a time: push() returns once
// the frame has left the element, so a property set between two pushes
// takes effect exactly from the next frame.
class Feeder {
public:
    Feeder(const std::string& areas, int width, int height, const std::string& coilProperties = "");
    ~Feeder();
    // Sends the picture with rows `stride` bytes apart (padding bytes 0xAB)
    // and these buffer flags; returns the bytes of the buffer that came out.
    std::vector<uint8_t> push(const tarvotool::BgrImage& image, int stride, GstClockTime pts,
                              GstBufferFlags flags = static_cast<GstBufferFlags>(0));
    // Sends `buffer` as it is (taking it).
    std::vector<uint8_t> push(GstBuffer* buffer);
    BusLog finish();

    GstElement* coil = nullptr;
    BusLog log;

private:
    GstElement *pipeline_, *src_, *sink_;
    int width_, height_;
};

}  // namespace gsttest

#endif
