// module.cpp - the tarvocoil._tarvocoil extension module: classes, functions
// and their documentation (help() shows the signatures written here).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "host/areas_file.h"
#include "python/src/areas_arg.h"
#include "host/errors.h"
#include "python/src/frame_arg.h"
#include "python/src/py_detector.h"
#include "python/src/py_traffic.h"

namespace py = pybind11;
using tarvopy::PyDetector;
using tarvopy::PyTraffic;
using tarvotool::AreasConfig;

namespace {

const char* const kModuleDoc = R"(TarvoCoil video trigger: virtual induction loops on numpy frames.

A Detector watches survey areas (quadrilaterals, "coils") on a stream of
24-bit BGR frames, as cv2.VideoCapture delivers them, and reports on which
frame a moving object's presence in each area begins.

    import cv2, tarvocoil
    det = tarvocoil.Detector(tarvocoil.load_areas("three-lanes.json"))
    cap = cv2.VideoCapture("road.mp4")
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        for i in det.triggered(frame):
            print("area", i, det.names[i], "triggered")
)";

const char* const kDetectorDoc = R"(One detector: areas, working planes, settings and flags of its own.

Detector(areas, thresholds=None, **settings)

areas       a list of areas, each four (x, y) integer vertices joined
            0-1-2-3-0, in pixels from the top-left corner of the frame
            (-32768..32767; areas may lie partly or wholly outside it);
            or an areas file path; or an Areas object from load_areas().
thresholds  None: the file's thresholds, else 0.1 for every area; one
            number for all areas; or one number per area. A threshold is
            the presence ratio: an area is present when its summed grey
            difference from its background exceeds threshold x its
            brightness x its sample count.
settings    keyword arguments frame_count, disturb_ratio, front_light,
            light and measuring, applied after an areas file's settings
            (see the properties of the same names).

Run one detector per camera. Frames are processed one at a time: process()
and triggered() release the GIL while the detector works, so detectors of
several cameras run in parallel in threads. Any thread may call
replace_areas() or change a setting at any time; a replacement waits for a
running frame, and the next frame after it takes a new baseline.

Raises TypeError or ValueError for areas, thresholds or settings of the
wrong type or range, AreasFileError for a bad areas file (also for one
that is not a regular file, such as a FIFO: it is refused, never waited
on). The file is read with the GIL released. A detector is made once:
__init__ called again raises TypeError.)";

const char* const kProcessDoc = R"(process(frame) -> numpy.ndarray

Processes one frame and returns its flags: an int32 array with one entry
per area, 1 on the frame on which the area's presence begins, else 0.

frame is a uint8 array of shape (H, W, 3) in BGR order (a cv2 frame). When
its rows hold packed pixels (strides (S, 3, 1), S >= 3 * W: cv2 frames and
rectangular slices of them) it is read in place; any other layout is
copied once. The GIL is released while the frame is processed.

An empty array (length 0) means the frame gave no flags: the first frame
after new areas, and the first frame of a new size, are the baseline
(the detector learns the picture from them); and a frame cannot be used
when no area is installed (after a replace_areas() that ran out of
memory) or memory runs out. The detector treats every frame after a
baseline as the next picture of the same scene.

Raises TypeError when frame is not a uint8 array, ValueError when its
shape is not (H, W, 3) with 1 <= W <= 10921 and 3 <= H <= 32767.)";

const char* const kTriggeredDoc = R"(triggered(frame) -> list[int]

Processes one frame exactly as process() and returns the indices of the
areas whose flag is 1 (an empty list on a baseline frame).)";

const char* const kReplaceDoc = R"(replace_areas(areas, thresholds=None) -> None

Replaces all areas (the forms Detector() takes); the next frame takes a
new baseline. Only areas and thresholds change: the settings stay as they
are, also when areas is a file with settings. Safe from any thread: it
waits for a frame that is running. The areas are checked first, so a
TypeError or ValueError leaves the old areas in place.)";

const char* const kMeasurementsDoc = R"(measurements() -> list[dict]

What the detector computed for each area on the last frame it used, while
measuring is on (else, and before such a frame, an empty list). One dict
per area, in area order:

  kind            "baseline" or "detect"
  grey_sum        1 + the sum of the sampling grid's greys
  mean            grey_sum // sample_count (baseline: at least 10)
  sample_count    1 + the number of grid positions
Detection frames also have:
  reference_grey  the brightness the limits are formed from
  bg_diff_sum     sum of |grey - background|
  presence_limit, presence_limit_state
                  present when bg_diff_sum > presence_limit; the state is
                  "value", "nan" (no limit: never present),
                  "saturated_high" or "saturated_low"
  prev_diff_sum   sum of |grey - previous frame|
  still_limit, still_limit_state
                  still when prev_diff_sum <= still_limit
  still_count     consecutive still frames, after this frame
  refresh         "none", "copy" or "exchange" (background refresh)
  present         presence decided for this frame
  result          the flag written for this area
  light_tested    the front-light test ran
  blob_found      it accepted a light blob, then also
  blob            {x, y, width, height, total, mean_run} of that blob)";

const char* const kAreaRowsDoc = R"(areas_rows(index) -> numpy.ndarray

The rows area `index` covers: an int32 array of shape (rows, 3) with
columns y, left, right (both ends included; may lie outside the frame,
which the detector clips). Raises IndexError for no such area.)";

const char* const kGridDoc = R"(grid_sample_count(index, width, height) -> int

The number of grid positions (every third pixel of every third row,
inside the frame) area `index` samples in a width x height frame.)";

const char* const kAreasDoc = R"(The contents of an areas file: areas with names and thresholds, and settings.

Made by load_areas() and parse_areas(); pass it to Detector() or
replace_areas(). The file format is that of `tarvocoil run --areas`.)";

const char* const kLoadDoc = R"(load_areas(path) -> Areas

Reads an areas file, as `tarvocoil run --areas` does: JSON with "areas"
(each with "vertices", optional "name" and "threshold") and optional
"settings". Raises AreasFileError (a ValueError) with the tool's message,
naming the file and the place (FILE:LINE:COL for syntax errors, a path such
as $.areas[1].vertices for a field), also for a path that is not a regular
file (a FIFO, a device), which is refused rather than waited on. The file
is read with the GIL released. Warnings of the file (for example a light
area limit that wraps) are issued as UserWarning.)";

const char* const kParseDoc = R"(parse_areas(text, source="<string>") -> Areas

Reads the text of an areas file; `source` names it in error messages.)";

const char* const kInitDoc = R"(__init__(self, areas, thresholds=None, **settings)

See help(tarvocoil.Detector). Raises TypeError when called again on a
detector already made.)";

const char* const kTrafficDoc = R"(Traffic data from a detector's frames, computed as the tarvocoil tool computes it.

Traffic(areas, interval=60.0, wall_clock=False)

areas       an areas file path or an Areas object (the forms Detector()
            takes; only a file carries pairs, lengths, holdoffs and health
            limits); use the same areas as the detector.
interval    seconds per interval row.
wall_clock  False: intervals count from the first frame's time (files);
            True: they are aligned to UTC multiples of `interval` by the
            wall clock (live streams), and rows carry wall_start.

After each det.process(frame) (the detector made with measuring=True),
call frame(det, flags, time): it returns the frame's new events as dicts,

  {"event": "trigger", "frame", "time", "area", "name", "entry"}
      a trigger reported after the coil's holdoff (suppressed ones are
      only counted); entry: the refined time the coil was entered
  {"event": "vehicle", "pair", "from", "to", "frame", "time", "speed_kmh",
   "length_m"}
      a vehicle on a pair, when its "to" coil's presence ends; frame and
      time are the "to" trigger's; length_m None when not measured
  {"event": "health", "state", "previous", "frame", "time", "area", "name"}
      a coil's health changed: "ok", "no-activity", "chatter",
      "max-presence"

take_rows() returns the interval rows closed so far (once each), with the
keys of the tool's interval rows (None for an empty field). finish() ends the run: vehicles
still on a coil go out without length, the last partial interval closes.
Holdoff applies to these events only; process() is never changed.

    areas = tarvocoil.load_areas("road.json")
    det = tarvocoil.Detector(areas, measuring=True)
    traffic = tarvocoil.Traffic(areas)
    for i, frame in enumerate(frames):
        for event in traffic.frame(det, det.process(frame), i / 25.0):
            print(event)
    traffic.finish()
    rows = traffic.take_rows()

Feed it from the thread that runs the detector, frame after frame: it
reads the detector's measurements of the last frame.)";

const char* const kTrafficFrameDoc = R"(frame(detector, flags, time, wall_time=None) -> list[dict]

One processed frame: the detector that processed it, the flags process()
returned (empty: a baseline frame) and the frame's time in seconds. With
wall_clock, wall_time is the frame's UTC time in seconds since 1970
(default: now). Frames are numbered from 0 in the order fed. Raises
ValueError when the detector is not measuring or its areas are not this
Traffic's, or a time is not finite.)";

const char* const kStreamLostDoc = R"(stream_lost(time) -> list[dict]

The stream broke off at `time`: presences end unseen (their vehicles go
out without length) and the next frame has no margin to refine from.
Take a new baseline (replace_areas) when the stream returns.)";

// Whether `self`, a Detector, has been made: __init__ has run on it.
bool Made(py::handle self, const py::object& detectorType) {
    if (!py::isinstance(self, detectorType))
        throw py::type_error("Detector.__init__() needs a Detector, got " +
                             std::string(py::str(py::type::handle_of(self).attr("__name__"))));
    return reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder().instance_registered();
}

py::list Vertices(const AreasConfig& c) {
    py::list out;
    for (const tarvotool::AreaSpec& a : c.areas) {
        const AreaQuad& q = a.quad;
        out.append(py::make_tuple(py::make_tuple(q.x0, q.y0), py::make_tuple(q.x1, q.y1), py::make_tuple(q.x2, q.y2),
                                  py::make_tuple(q.x3, q.y3)));
    }
    return out;
}

// The version and the limits of frames and areas.
void AddConstants(py::module_& m) {
    m.attr("__version__") = TARVOCOIL_VERSION;
    m.attr("MAX_AREAS") = tarvocoil::kMaxAreas;
    m.attr("MIN_FRAME_WIDTH") = tarvocoil::kMinFrameWidth;
    m.attr("MAX_FRAME_WIDTH") = tarvocoil::kMaxFrameWidth;
    m.attr("MIN_FRAME_HEIGHT") = tarvocoil::kMinFrameHeight;
    m.attr("MAX_FRAME_HEIGHT") = tarvocoil::kMaxFrameHeight;
}

// The areas file's error, its parsed form (Areas) and the functions that
// read one.
void BindAreas(py::module_& m) {
    py::register_exception<tarvotool::AreasFileError>(m, "AreasFileError", PyExc_ValueError);
    m.attr("AreasFileError").attr("__module__") = "tarvocoil";
    m.attr("AreasFileError").attr("__doc__") = "An areas file that cannot be read or is not valid (a ValueError).";

    py::class_<AreasConfig>(m, "Areas", kAreasDoc)
        .def_property_readonly(
            "names", [](const AreasConfig& c) {
                std::vector<std::string> n;
                for (const auto& a : c.areas) n.push_back(a.name);
                return n;
            },
            "The areas' names (\"area N\" where the file gives none).")
        .def_property_readonly("vertices", &Vertices, "Each area's four (x, y) vertices.")
        .def_property_readonly(
            "thresholds", [](const AreasConfig& c) {
                std::vector<float> t;
                for (const auto& a : c.areas) t.push_back(a.threshold);
                return t;
            },
            "Each area's presence ratio (float32 values).")
        .def_property_readonly("settings", &tarvopy::FileSettings,
                               "The settings the file gives, by the file's key names.")
        .def_property_readonly(
            "warnings", [](const AreasConfig& c) { return c.warnings; }, "The file's warnings.")
        .def("__len__", [](const AreasConfig& c) { return c.areas.size(); })
        .def("__repr__", [](const AreasConfig& c) {
            return "<tarvocoil.Areas: " + std::to_string(c.areas.size()) + " area" + (c.areas.size() == 1 ? "" : "s") +
                   ">";
        });

    m.def(
        "load_areas",
        [](py::object path) {
            return tarvopy::ReadAreasFile(py::str(py::module_::import("os").attr("fsdecode")(path)));
        },
        py::arg("path"), kLoadDoc);
    m.def(
        "parse_areas",
        [](const std::string& text, const std::string& source) {
            AreasConfig c = tarvotool::ParseAreas(text, source);
            tarvopy::WarnAbout(c, source);
            return c;
        },
        py::arg("text"), py::arg("source") = "<string>", kParseDoc);
}

py::class_<PyDetector> BindDetector(py::module_& m) {
    py::class_<PyDetector> detector(m, "Detector", kDetectorDoc);
    detector
        .def(py::init([](py::handle areas, py::handle thresholds, const py::kwargs& settings) {
                 return new PyDetector(areas, thresholds, settings);
             }),
             py::arg("areas"), py::arg("thresholds") = py::none(), kInitDoc)
        .def("process", &PyDetector::process, py::arg("frame"), kProcessDoc)
        .def("triggered", &PyDetector::triggered, py::arg("frame"), kTriggeredDoc)
        .def("replace_areas", &PyDetector::replaceAreas, py::arg("areas"), py::arg("thresholds") = py::none(),
             kReplaceDoc)
        .def("measurements", &PyDetector::measurements, kMeasurementsDoc)
        .def("areas_rows", &PyDetector::areaRows, py::arg("index"), kAreaRowsDoc)
        .def("grid_sample_count", &PyDetector::gridSampleCount, py::arg("index"), py::arg("width"),
             py::arg("height"), kGridDoc)
        .def_property_readonly("area_count", &PyDetector::areaCount, "Number of installed areas.")
        .def_property_readonly("names", &PyDetector::names,
                               "The installed areas' names (from the areas file, else \"area N\").")
        .def_property_readonly("thresholds", &PyDetector::thresholds,
                               "The installed areas' presence ratios (float32 values).")
        .def_property("measuring", &PyDetector::measuring, &PyDetector::setMeasuring,
                      "True while measurements() records each frame (off by default; never changes a flag).")
        .def_property("frame_count", &PyDetector::frameCount,
                      [](PyDetector& d, py::handle v) { d.setFrameCount(v); },
                      "Still frames in a row before a still area's background is refreshed (default 20; "
                      "any 32-bit integer).")
        .def_property("disturb_ratio", &PyDetector::disturbRatio,
                      [](PyDetector& d, py::handle v) { d.setDisturbRatio(v); },
                      "Largest frame-to-frame change, as a fraction of the area's brightness, for an area to "
                      "count as still (default 0.15, stored as float32).")
        .def_property("front_light", &PyDetector::frontLight, &PyDetector::setFrontLight,
                      "Night mode: a presence triggers only with a light blob of headlight size (default False).")
        .def_property("light", &PyDetector::light, [](PyDetector& d, py::handle v) { d.setLight(v); },
                      "Light blob limits (threshold, min_width, max_width, min_height, max_height), default "
                      "(200, 20, 80, 20, 80). Each keeps its low 16 bits, read as signed. Setting them also "
                      "sets light_max_area to max_width * max_height.")
        .def_property_readonly("light_max_area", &PyDetector::lightMaxArea,
                               "Largest blob area measure accepted: 5000 until light is first set, then "
                               "max_width * max_height in 16 bits (keep it below 32768: 200 * 200 wraps "
                               "to -25536, which accepts no blob).")
        .def_property_readonly("settings", &PyDetector::settings,
                               "All settings as a dict: frame_count, disturb_ratio, front_light, light, "
                               "light_max_area.")
        .def("__repr__", [](PyDetector& d) {
            const int32_t n = d.areaCount();
            return "<tarvocoil.Detector: " + std::to_string(n) + " area" + (n == 1 ? "" : "s") + ">";
        });
    return detector;
}

void BindTraffic(py::module_& m) {
    py::class_<PyTraffic>(m, "Traffic", kTrafficDoc)
        .def(py::init<py::handle, double, bool>(), py::arg("areas"), py::arg("interval") = 60.0,
             py::arg("wall_clock") = false)
        .def("frame", &PyTraffic::frame, py::arg("detector"), py::arg("flags"), py::arg("time"),
             py::arg("wall_time") = py::none(), kTrafficFrameDoc)
        .def("stream_lost", &PyTraffic::streamLost, py::arg("time"), kStreamLostDoc)
        .def("finish", &PyTraffic::finish,
             "finish() -> list[dict]\n\nEnds the run: its last events; the last interval row closes.")
        .def("take_rows", &PyTraffic::takeRows,
             "take_rows() -> list[dict]\n\nThe interval rows closed since the last call, oldest first.")
        .def_property_readonly("area_count", &PyTraffic::areaCount, "Number of coils.")
        .def_property_readonly("pair_count", &PyTraffic::pairCount, "Number of pairs.")
        .def_property_readonly("frames", &PyTraffic::frames, "Frames fed so far.")
        .def_property_readonly("reported", &PyTraffic::reported, "Reported triggers per coil, after holdoff.")
        .def_property_readonly("suppressed", &PyTraffic::suppressed, "Triggers per coil the holdoff suppressed.")
        .def_property_readonly("health", &PyTraffic::health, "Each coil's health state now.")
        .def_property_readonly("pairs", &PyTraffic::pairs,
                               "Per pair: name, from, to, distance, matched, unmatched_from, unmatched_to.")
        .def("__repr__", [](const PyTraffic& t) {
            return "<tarvocoil.Traffic: " + std::to_string(t.areaCount()) + " coils, " +
                   std::to_string(t.pairCount()) + " pairs>";
        });
}

}  // namespace

PYBIND11_MODULE(_tarvocoil, m) {
    // The classes present themselves as tarvocoil.Detector and
    // tarvocoil.Areas, where users find them.
    m.attr("__module__") = "tarvocoil";
    py::options options;
    options.disable_function_signatures();
    m.doc() = kModuleDoc;
    AddConstants(m);
    BindAreas(m);
    py::class_<PyDetector> detector = BindDetector(m);
    BindTraffic(m);
    m.def(
        "_made", [detector](py::handle self) { return Made(self, detector); },
        "_made(detector) -> bool\n\nTrue once the detector's __init__ has run (the package refuses a second one).");

    m.def(
        "_process_frames_native", [](PyDetector& d, py::handle frames) { d.processFramesNative(frames); },
        "_process_frames_native(detector, frames) -> None\n\nThe C++ call alone on each frame of an (N, H, W, 3) "
        "array (for timing).");
    m.def(
        "_borrows", [](py::handle frame) { return tarvopy::FrameArg(frame).borrowed(); },
        "_borrows(frame) -> bool\n\nTrue when process() reads this frame in place, without a copy.");
}
