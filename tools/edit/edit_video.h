// edit_video.h - what the editor needs from the video: its facts, the
// picture at a time, and a detector run over a range with the margins.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_VIDEO_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_VIDEO_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/canvas.h"
#include "tools/edit/edit_traffic.h"
#include "tools/events/events.h"

namespace tarvotool {

struct VideoFacts {
    int width = 0;
    int height = 0;
    double fps = 25.0;
    double duration = -1.0;  // seconds; negative when unknown
    int64_t frames = -1;     // duration x rate, rounded up; -1 when unknown
    // The first decodable frame's time: `run`'s frame 0. Not 0 where the
    // stream starts with frames that cannot be decoded (a clip cut from
    // a longer one, an edit list).
    double firstTime = 0.0;
};

// The index `run` gives the frame at `seconds` (it counts decoded frames
// from its first; exact for a constant frame rate).
int64_t RunFrameIndex(const VideoFacts& facts, double seconds);

// The time of each frame `run` processes over the whole video, in order:
// times[i] is frame i as `run`'s events and the truth file count it (the
// same source reads them, so a start offset, a variable rate or frames
// that do not decode count alike). Decodes the whole video.
std::vector<double> RunFrameTimes(const std::string& video);

// Opens the video once; throws ToolError as VideoReader does.
VideoFacts ProbeVideo(const std::string& path);

// The frame on screen at `seconds` (the last one starting at or before it)
// and its own time. Throws ToolError when the video ends before `seconds`.
void FrameAt(const std::string& path, double seconds, BgrImage& out, double& shownTime);

// A picture as PNG bytes.
std::string PngBytes(const BgrImage& image);

struct DetectorRun {
    double start = 0.0;
    std::vector<double> times;  // presentation time of each processed frame
    std::vector<Event> events;  // exactly the events `run` writes for this range
    // margins[area][frame]: bgDiffSum / presence limit, the limit being 1.0;
    // empty when the detector measured nothing for that frame (baseline).
    std::vector<std::vector<std::optional<double>>> margins;
    bool measured = false;  // the detector reported measurements at all
    // The detector's records of the frames on which its light test ran,
    // by the frame's index in this run.
    std::map<int64_t, std::vector<tarvocoil::AreaMeasurement>> lightTested;
    TestTraffic traffic;    // counts, occupancy and vehicles over the run
};

// Runs the detector over [start, start + duration) (the whole video when
// no duration) exactly as `run` does, with measurements on.
DetectorRun RunDetector(const std::string& video, const AreasConfig& areas, double start,
                        std::optional<double> duration);

// The rows the detector covers for each area, clipped to a width x height
// picture: (y, left, right) triples.
std::vector<std::vector<tarvocoil::AreaRow>> CoveredRows(const AreasConfig& areas, int width, int height);

}  // namespace tarvotool

#endif
