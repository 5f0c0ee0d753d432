// search_command.cpp - `tarvocoil tune --search`: options checked, the
// search run over the video, its report and the searched areas file.
#include <cstdio>
#include <filesystem>

#include "host/errors.h"
#include "host/input_file.h"
#include "tools/evidence/search.h"
#include "tools/evidence/tune.h"
#include "tools/loop/paths.h"
#include "tools/loop/progress.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"
#include "tools/events/events.h"

namespace tarvotool {

namespace {

std::string F1Text(const MatchCounts& c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.3f", F1Score(c).value());
    return buf;
}

std::string CoilName(const std::string& name) { return "\"" + TerminalText(name) + "\""; }

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

std::string CountsText(const MatchCounts& c) {
    return std::to_string(c.triggers) + " triggers, " + std::to_string(c.hits) + " hits, " +
           std::to_string(c.misses) + " misses, " + std::to_string(c.falses) + " false, F1 " + F1Text(c);
}

// The settings of the file as it is and of the winner, side by side.
void PrintSettings(const AreasConfig& areas, const SearchOutcome& w, std::FILE* out) {
    const tarvocoil::Settings d;
    const LightLimits l = areas.light.value_or(LightLimits{});
    const AreasConfig after = w.candidate.frontLight ? w.candidate.apply(areas) : areas;
    const LightLimits la = after.light.value_or(LightLimits{});
    char disturbBefore[32], disturbAfter[32];
    std::snprintf(disturbBefore, sizeof disturbBefore, "%g", static_cast<double>(areas.disturbRatio.value_or(d.twoFramesDisturbThresh)));
    std::snprintf(disturbAfter, sizeof disturbAfter, "%s", Ladder(kDisturbRatio).rungs[w.candidate.rung[kDisturbRatio]].c_str());
    const struct {
        const char* name;
        std::string before, after;
    } rows[] = {
        {"front_light", areas.frontLight.value_or(false) ? "on" : "off", w.candidate.frontLight ? "on" : "off"},
        {"frame_count", std::to_string(areas.frameCount.value_or(d.frameCountThresh)),
         std::to_string(static_cast<int>(w.candidate.value(kFrameCount)))},
        {"disturb_ratio", disturbBefore, disturbAfter},
        {"light.threshold", std::to_string(l.threshold), std::to_string(la.threshold)},
        {"light.min_width", std::to_string(l.minWidth), std::to_string(la.minWidth)},
        {"light.max_width", std::to_string(l.maxWidth), std::to_string(la.maxWidth)},
        {"light.min_height", std::to_string(l.minHeight), std::to_string(la.minHeight)},
        {"light.max_height", std::to_string(l.maxHeight), std::to_string(la.maxHeight)},
    };
    std::fprintf(out, "%-17s %8s %8s\n", "setting", "before", "after");
    for (const auto& r : rows)
        std::fprintf(out, "%-17s %8s %8s%s\n", r.name, r.before.c_str(), r.after.c_str(),
                     r.before != r.after ? "  *" : "");
    for (std::size_t a = 0; a < areas.areas.size(); ++a) {
        const std::string before = Seconds(areas.areas[a].holdoff.value_or(0.0)), after = Seconds(w.coils[a].holdoff);
        std::fprintf(out, "%-17s %8s %8s%s  (%s, seconds)\n", "holdoff", before.c_str(), after.c_str(),
                     before != after ? "  *" : "", CoilName(areas.areas[a].name).c_str());
    }
    if (!w.candidate.frontLight)
        std::fprintf(out, "(with front_light off the light settings are unused and stay as they were)\n");
}

// Before and after per coil, in tune's table.
void PrintCoils(const AreasConfig& areas, const SearchResult& r, std::FILE* out) {
    TuneResult t;
    const SearchOutcome& w = r.winner();
    for (std::size_t a = 0; a < areas.areas.size(); ++a) {
        AreaTuning at;
        at.name = areas.areas[a].name;
        at.rows = {w.coils[a].counts};
        at.chosen = w.coils[a].threshold;
        at.before = r.before[a].counts;
        at.after = w.coils[a].counts;
        at.labelled = at.before.truths > 0 || at.after.truths > 0;
        t.areas.push_back(at);
    }
    PrintBeforeAfter(t, areas, out);
    for (std::size_t a = 0; a < areas.areas.size(); ++a) {
        const double before = areas.areas[a].holdoff.value_or(0.0), after = w.coils[a].holdoff;
        if (before != after)
            std::fprintf(out, "%s: holdoff %s s -> %s s (the counts above are after it)\n",
                         CoilName(areas.areas[a].name).c_str(), Seconds(before).c_str(), Seconds(after).c_str());
    }
}

// Every candidate as CSV, in the order they ran.
std::string CandidatesCsv(const SearchResult& r) {
    std::string out = "candidate,front_light";
    for (int d = 0; d < kSearchDims; ++d)
        if (d != kPresenceLevel) out += std::string(",") + Ladder(d).name;
    out += ",thresholds,holdoffs,triggers,hits,misses,false\n";
    for (const SearchOutcome& o : r.tried) {
        out += std::to_string(o.order) + "," + (o.candidate.frontLight ? "on" : "off");
        for (int d = 0; d < kSearchDims; ++d)
            if (d != kPresenceLevel)
                out += "," + (o.candidate.uses(d) ? Ladder(d).rungs[o.candidate.rung[d]] : std::string());
        std::string t, h;
        for (const CoilChoice& c : o.coils) {
            t += (t.empty() ? "" : " ") + c.threshold.text;
            h += (h.empty() ? "" : " ") + Seconds(c.holdoff);
        }
        out += "," + t + "," + h + "," + std::to_string(o.total.triggers) + "," + std::to_string(o.total.hits) + "," +
               std::to_string(o.total.misses) + "," + std::to_string(o.total.falses) + "\n";
    }
    return out;
}

void PrintReport(const TuneCommand& cmd, const AreasConfig& areas, const SearchOptions& opt, const SearchResult& r,
                 std::size_t passages) {
    std::printf("tarvocoil tune --search: '%s', %lld frames, %zu areas, %zu labelled passages\n",
                TerminalText(cmd.video).c_str(), static_cast<long long>(r.frames), areas.areas.size(), passages);
    std::printf("hit: a trigger from %lld frames before to %lld frames after a labelled entry\n",
                static_cast<long long>(cmd.early), static_cast<long long>(cmd.late));
    std::printf("search space (each candidate a full detector run):\n");
    for (const std::string& line : DescribeSpace()) std::printf("  %s\n", line.c_str());
    std::printf("  each coil's threshold (front light off): %zu candidates %s..%s, replayed from the run's records\n",
                opt.thresholds.size(), opt.thresholds.front().text.c_str(), opt.thresholds.back().text.c_str());
    std::string holdoffs;
    for (double h : opt.holdoffs) holdoffs += (holdoffs.empty() ? "" : ",") + Seconds(h);
    std::printf("  each coil's holdoff: %zu values %s s, replayed from the run's triggers (no candidate of its own)\n",
                opt.holdoffs.size(), holdoffs.c_str());
    std::printf("candidates: %zu run (coarse grid %zu, refinement %zu in %d rounds) of at most %zu, %d passes over "
                "the video, %.1f s (%.1f candidates/s)%s\n",
                r.tried.size(), r.coarseCandidates, r.tried.size() - r.coarseCandidates, r.refinementRounds,
                opt.maxCandidates, r.passes, r.seconds, r.seconds > 0 ? r.tried.size() / r.seconds : 0.0,
                r.timeUp ? "; the time budget ended the refinement" : "");
    const SearchOutcome& w = r.winner();
    std::printf("best: %s\n", w.candidate.describe().c_str());
    std::printf("total over the labelled coils: before %s; after %s\n", CountsText(r.beforeTotal).c_str(),
                CountsText(w.total).c_str());
    std::printf("\n");
    PrintSettings(areas, w, stdout);
    std::printf("\n");
    PrintCoils(areas, r, stdout);
}

}  // namespace

int RunSearch(const TuneCommand& cmd) {
    if (!cmd.plot.empty()) throw ToolError("--plot is not available with --search: plot the searched file with 'run --plot'");
    if (!(cmd.budgetSeconds > 0)) throw ToolError("--budget must be more than 0 seconds");
    AreasConfig areas = LoadAreasFile(cmd.areas);
    for (const std::string& w : areas.warnings) Warn(cmd.areas + ": " + w);
    const std::vector<TruthEntry> truth = LoadTruthFile(cmd.truth, AreaNames(areas));
    if (truth.empty())
        throw ToolError("truth file '" + cmd.truth + "' holds no labelled passages: nothing to search against "
                        "(expected one row per passage after the header frame,area)");
    SearchOptions opt;
    opt.thresholds = ParseThresholds(cmd.thresholds);
    opt.window = MatchWindow{cmd.early, cmd.late};
    opt.maxCandidates = cmd.maxCandidates;
    opt.budgetSeconds = cmd.budgetSeconds;
    {
        VideoReader probe(cmd.video, VideoReaderOptions{});
        opt.frameWidth = probe.width();
        opt.frameHeight = probe.height();
        const std::optional<double> duration = cmd.duration > 0 ? std::optional<double>(cmd.duration) : std::nullopt;
        opt.expectedFrames = VideoSource(probe, cmd.video, cmd.start, duration, false).expectedFrames();
    }
    InstallStopHandlers();
    std::atomic<bool> cancel{false};
    opt.cancel = &cancel;
    int lastPass = 0;
    opt.progress = [&](const SearchProgress& p) {
        if (*StopFlag()) cancel = true;
        if (p.pass == lastPass) return;
        lastPass = p.pass;
        std::fprintf(stderr, "search pass %d: %zu candidates (%zu of at most %zu done before it)%s%s\n", p.pass,
                     p.passCandidates, p.candidatesDone, p.candidatesLimit, p.haveBest ? ", best so far: " : "",
                     p.haveBest ? CountsText(p.best).c_str() : "");
    };
    SearchResult r;
    try {
        r = Search(areas, truth, opt, FilePasses(cmd, areas, "search pass "));
    } catch (const SearchCancelled&) {
        std::fprintf(stderr, "tarvocoil: the search was stopped by %s; nothing written\n", SignalName(StopSignal()));
        return 128 + (StopSignal() > 0 ? StopSignal() : 2);
    }
    PrintReport(cmd, areas, opt, r, truth.size());
    if (!cmd.table.empty()) WriteText(cmd.table, CandidatesCsv(r), "table");
    if (!cmd.out.empty()) {
        const std::string text = ReadInputFile(cmd.areas, "areas file", kMaxAreasFileBytes);
        WriteText(cmd.out, SearchedAreasText(text, cmd.areas, r.winner()), "searched areas file");
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace tarvotool
