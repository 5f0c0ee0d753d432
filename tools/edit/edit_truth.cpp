// edit_truth.cpp - truth entries against test runs, and tuning, for the editor.
#include "tools/edit/edit_truth.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "host/input_file.h"
#include "tools/evidence/truth.h"
#include "tools/loop/frame_loop.h"
#include "tools/evidence/tune.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"

namespace tarvotool {

namespace {

// The entries of a run starting at truth frame `offset` with `frames`
// frames, counted as that run counts.
std::vector<TruthEntry> InRange(const EditorTruth& truth, const AreasConfig& areas, int64_t offset, int64_t frames) {
    std::vector<TruthEntry> out;
    for (TruthEntry e : ParseTruth(truth.text, truth.path, AreaNames(areas))) {
        e.frame -= offset;
        if (e.frame >= 0 && (frames < 0 || e.frame < frames)) out.push_back(e);
    }
    return out;
}

}  // namespace

EditorTruth ReadEditorTruth(const std::string& path) {
    EditorTruth t{path, ReadInputFile(path, "truth file")};
    // The header, quoting and frame numbers fail now; coil names can only
    // be checked against the coils of each request.
    try {
        ParseTruth(t.text, path, {});
    } catch (const ToolError& e) {
        if (std::string(e.what()).find(": no area \"") == std::string::npos) throw;
    }
    return t;
}

TruthScore ScoreAgainstTruth(const EditorTruth& truth, const AreasConfig& areas, const DetectorRun& run,
                             int64_t offset) {
    const std::vector<TruthEntry> entries = InRange(truth, areas, offset, static_cast<int64_t>(run.times.size()));
    TruthScore s;
    s.eventHit.assign(run.events.size(), false);
    for (int a = 0; a < static_cast<int>(areas.areas.size()); ++a) {
        std::vector<int64_t> triggers;
        std::vector<std::size_t> eventOf;
        for (std::size_t e = 0; e < run.events.size(); ++e)
            if (run.events[e].area == a) {
                triggers.push_back(run.events[e].frame);
                eventOf.push_back(e);
            }
        const std::vector<int64_t> frames = TruthFrames(entries, a);
        const AreaMatch m = MatchArea(frames, triggers, MatchWindow{});
        s.coils.push_back(m);
        for (std::size_t k = 0; k < eventOf.size(); ++k)
            if (k < m.triggerTaken.size() && m.triggerTaken[k]) s.eventHit[eventOf[k]] = true;
        for (std::size_t k = 0; k < frames.size(); ++k)
            s.entries.push_back({frames[k], a, k < m.matched.size() ? m.matched[k] : -1});
    }
    return s;
}

std::vector<TruthEntry> TruthForRun(const EditorTruth& truth, const AreasConfig& areas, const std::string& video,
                                    double start, const VideoFacts& facts) {
    // The offset needs the first frame's time: a probe before the passes.
    double first = -1.0;
    {
        VideoReader reader(video);
        reader.seek(start);
        VideoFrame frame;
        if (!reader.next(frame)) throw ToolError("'" + video + "' has no frames to tune on");
        first = frame.time;
    }
    return InRange(truth, areas, RunFrameIndex(facts, first), -1);
}

std::vector<CoilTuning> TuneCoils(const EditorTruth& truth, const AreasConfig& areas, const std::string& video,
                                  double start, std::optional<double> duration, const VideoFacts& facts) {
    // The same passes over the frames as `tune --start --duration`.
    const RunPass runPass = [&](FrameLoop& loop) {
        VideoReader reader(video, VideoReaderOptions{});
        VideoSource source(reader, video, start, duration, false);
        return loop.run(source);
    };
    TuneOptions opt;
    opt.candidates = ParseThresholds("0.01:0.50:0.01");
    const TuneResult r = Tune(areas, TruthForRun(truth, areas, video, start, facts), opt, runPass);
    if (r.frames == 0) throw ToolError("'" + video + "' has no frames to tune on");
    std::vector<CoilTuning> out;
    for (const AreaTuning& a : r.areas)
        out.push_back({a.name, a.chosen.text, a.before, a.after});
    return out;
}

}  // namespace tarvotool
