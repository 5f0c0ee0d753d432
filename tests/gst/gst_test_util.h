// gst_test_util.h - pipelines with the tarvocoil element, and what their
// buses carried.
#ifndef TARVOCOIL_TESTS_GST_UTIL_H
#define TARVOCOIL_TESTS_GST_UTIL_H

#include <gst/gst.h>

#include <string>
#include <tuple>
#include <vector>

#include "canvas.h"

namespace gsttest {

struct Trigger {
    int area = 0;
    std::string name;
    guint64 frame = 0;
    GstClockTime pts = GST_CLOCK_TIME_NONE, running = GST_CLOCK_TIME_NONE;
};

struct BusLog {
    std::vector<Trigger> triggers;
    int measurements = 0;
    std::vector<std::string> errors, warnings;
    bool eos = false;
};

// (frame, area, name) of each trigger, in order.
using Events = std::vector<std::tuple<guint64, int, std::string>>;
Events EventsOf(const std::vector<Trigger>& triggers);

GstElement* Parse(const std::string& description);
// Moves everything on the bus into `log` without waiting.
void Drain(GstElement* pipeline, BusLog& log);
// Plays the pipeline to its end (or an error, or 60 s), then frees it.
// `areas`, when given, is set on the element named "coil" first.
BusLog RunToEnd(GstElement* pipeline, const std::string& areas = "");

// appsrc ! tarvocoil ! appsink, driven one frame at a time: push() returns
// once the frame has left the element, so a property set between two
// pushes takes effect exactly from the next frame.
class Feeder {
public:
    // `areas`: JSON for the element's areas property (empty: none).
    Feeder(const std::string& areas, int width, int height, const std::string& coilProperties = "");
    ~Feeder();
    // Sends the picture with rows `stride` bytes apart (padding bytes 0xAB);
    // returns the bytes of the buffer that came out.
    std::vector<uint8_t> push(const tarvotool::BgrImage& image, int stride, GstClockTime pts);
    BusLog finish();

    GstElement* coil = nullptr;
    BusLog log;

private:
    GstElement* pipeline_ = nullptr;
    GstElement* src_ = nullptr;
    GstElement* sink_ = nullptr;
    int width_, height_;
};

}  // namespace gsttest

#endif
