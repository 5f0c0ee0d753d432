// tune.cpp - `tarvocoil tune` and `demo --tune`.
#include "tools/evidence/tune.h"

#include "tools/evidence/reported_triggers.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "host/errors.h"
#include "tools/events/events.h"
#include "host/input_file.h"
#include "tools/evidence/plot.h"
#include "tools/loop/progress.h"
#include "tools/evidence/replay.h"
#include "tools/loop/paths.h"
#include "tarvocoil.hpp"
#include "tools/media/video_source.h"

namespace tarvotool {

namespace {

using tarvocoil::AreaMeasurement;

// Detectors run side by side in one pass when front-light triggering is on.
constexpr std::size_t kBatch = 16;
constexpr std::size_t kMaxCandidates = 100000;

// A plain decimal "12", "0.125", ".5" as digits and a count of decimals.
bool ParseDecimal(const std::string& s, int64_t& digits, int& decimals) {
    digits = 0;
    decimals = 0;
    bool point = false, any = false;
    for (char c : s) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            if (digits > (INT64_MAX - 9) / 10) return false;
            digits = digits * 10 + (c - '0');
            if (point) ++decimals;
            any = true;
        } else {
            return false;
        }
    }
    return any && decimals <= 9;
}

std::string DecimalText(int64_t digits, int decimals) {
    std::string s = std::to_string(digits);
    if (decimals == 0) return s;
    if (static_cast<int>(s.size()) <= decimals) s.insert(0, decimals + 1 - s.size(), '0');
    s.insert(s.size() - decimals, ".");
    return s;
}

Candidate FromText(const std::string& text, const std::string& grid) {
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(text.c_str(), &end);  // the float nearest to the decimal
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0.0f || errno == ERANGE)
        throw ToolError("--thresholds: expected a number of 0 or more, got '" + text + "' in '" + grid + "'");
    return Candidate{v, text};
}

void SetThresholds(tarvocoil::Detector& det, const AreasConfig& areas, const std::vector<float>& thresholds) {
    AreasConfig copy = areas;
    for (std::size_t a = 0; a < copy.areas.size(); ++a) copy.areas[a].threshold = thresholds[a];
    ApplyAreas(det, copy);
}

MatchCounts Score(const std::vector<int64_t>& truth, const std::vector<int64_t>& triggers, const TuneOptions& o) {
    return MatchArea(truth, triggers, o.window, o.lastFrame);
}

// Names come from anyone's areas file: escapes in them must not reach a terminal.
std::string Quoted(const std::string& name) { return "\"" + TerminalText(name) + "\""; }

// A threshold as the areas file gave it, for tables and the tuned file.
Candidate OwnThreshold(float value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    return Candidate{value, buf};
}

std::string F1Text(const MatchCounts& c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.3f", F1Score(c).value());
    return buf;
}

}  // namespace

std::vector<Candidate> ParseThresholds(const std::string& grid) {
    std::vector<Candidate> out;
    if (grid.find(':') != std::string::npos) {
        std::vector<std::string> parts;
        std::stringstream in(grid);
        std::string part;
        while (std::getline(in, part, ':')) parts.push_back(part);
        int64_t d[3];
        int dec[3];
        if (parts.size() != 3 || !ParseDecimal(parts[0], d[0], dec[0]) || !ParseDecimal(parts[1], d[1], dec[1]) ||
            !ParseDecimal(parts[2], d[2], dec[2]))
            throw ToolError("--thresholds: expected FROM:TO:STEP of plain decimals such as 0.01:0.50:0.01, got '" +
                            grid + "'");
        const int decimals = std::max({dec[0], dec[1], dec[2]});
        for (int i = 0; i < 3; ++i)
            for (int k = dec[i]; k < decimals; ++k) {
                if (d[i] > INT64_MAX / 10) throw ToolError("--thresholds: numbers too long in '" + grid + "'");
                d[i] *= 10;
            }
        if (d[2] <= 0) throw ToolError("--thresholds: the step must be more than 0 in '" + grid + "'");
        if (d[1] < d[0]) throw ToolError("--thresholds: TO is below FROM in '" + grid + "'");
        if ((d[1] - d[0]) / d[2] >= static_cast<int64_t>(kMaxCandidates))
            throw ToolError("--thresholds: more than " + std::to_string(kMaxCandidates) + " candidates in '" + grid + "'");
        const int64_t count = (d[1] - d[0]) / d[2] + 1;  // no sum beyond TO, so none overflows
        for (int64_t k = 0; k < count; ++k) out.push_back(FromText(DecimalText(d[0] + k * d[2], decimals), grid));
    } else {
        std::stringstream in(grid);
        std::string part;
        while (std::getline(in, part, ',')) {
            const std::size_t b = part.find_first_not_of(' '), e = part.find_last_not_of(' ');
            out.push_back(FromText(b == std::string::npos ? "" : part.substr(b, e - b + 1), grid));
        }
        if (out.empty()) throw ToolError("--thresholds: no candidates in '" + grid + "'");
        if (out.size() > kMaxCandidates) throw ToolError("--thresholds: too many candidates");
    }
    std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.value < b.value; });
    out.erase(std::unique(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.value == b.value; }),
              out.end());
    return out;
}

Recommendation Recommend(const std::vector<MatchCounts>& rows) {
    Recommendation r;
    if (rows.empty()) return r;
    F1Score best(rows[0]);
    for (const MatchCounts& c : rows) best = std::max(best, F1Score(c));
    std::size_t bestLen = 0;
    for (std::size_t i = 0; i < rows.size();) {
        if (!(F1Score(rows[i]) == best)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < rows.size() && F1Score(rows[j + 1]) == best) ++j;
        if (j - i + 1 > bestLen) {
            bestLen = j - i + 1;
            r.runFirst = i;
            r.runLast = j;
        }
        i = j + 1;
    }
    r.index = r.runFirst + (r.runLast - r.runFirst) / 2;
    return r;
}

std::vector<float> TuneResult::recommended() const {
    std::vector<float> out;
    for (const AreaTuning& a : areas) out.push_back(a.chosen.value);
    return out;
}

namespace {

using Triggers = std::vector<std::vector<int64_t>>;  // per area, the frames that triggered

// One run over the video, counted in the result.
void Pass(TuneResult& r, const RunPass& runPass, FrameLoop& loop) {
    r.frames = runPass(loop).processed;
    ++r.passes;
}

// Without front-light triggering, one pass measures the frames once and
// every candidate is replayed on its measurements: trig[a][c] for each
// candidate, before[a] at the file's own thresholds.
void ReplayPass(TuneResult& r, const RunPass& runPass, const AreasConfig& areas, const std::vector<float>& values,
                const std::vector<float>& own, const std::vector<std::string>& names, bool wantPlot, PlotData& plot,
                std::vector<Triggers>& trig, Triggers& before) {
    const std::size_t n = areas.areas.size(), nc = values.size();
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    det.setMeasuring(true);
    if (!det.measuring()) throw ToolError("this detector records no measurements, which tuning needs");
    ThresholdReplay replay(n, values), mine(n, own);
    FunctionSink replaying(
        [&](const ProcessedFrame& f) {
            const std::vector<AreaMeasurement>& m = *f.measurements;
            replay.frame(f.index, m);
            mine.frame(f.index, m);
            // The replay must decide exactly as the detector did at the
            // file's own thresholds; anything else is a fault of this tool.
            for (std::size_t a = 0; a < n; ++a) {
                if (m[a].kind != AreaMeasurement::Kind::Detect) continue;
                const auto& mt = mine.triggers(a, a);
                const bool replayed = !mt.empty() && mt.back() == f.index;
                if (!SameLimit(PresenceLimit(m[a].referenceGrey, m[a].sampleCount, own[a]), m[a].presenceLimit) ||
                    tarvocoil::exceeds(m[a].bgDiffSum, m[a].presenceLimit) != m[a].present || replayed != f.triggered(a))
                    throw ToolError("internal error: replaying area " + std::to_string(a) + " on frame " +
                                    std::to_string(f.index) + " disagrees with the detector");
            }
            if (wantPlot) plot.add(f.index, f.time, m, names);
        },
        true);
    FrameLoop loop(det, n);
    loop.add(replaying);
    Pass(r, runPass, loop);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t c = 0; c < nc; ++c) trig[a][c] = replay.triggers(a, c);
        before[a] = mine.triggers(a, a);
    }
}

// With front-light triggering, presence feeds the light mask, which later
// areas and frames read: every candidate needs a run of its own. A batch
// shares a pass: the loop's detector takes its first candidate, side
// detectors the rest (and, in the first batch, the file's own thresholds).
void BatchedPasses(TuneResult& r, const RunPass& runPass, const AreasConfig& areas, const std::vector<float>& values,
                   std::vector<Triggers>& trig, Triggers& before) {
    const std::size_t n = areas.areas.size(), nc = values.size();
    for (std::size_t first = 0; first < nc; first += kBatch) {
        const std::size_t count = std::min(kBatch, nc - first);
        auto collect = [&](std::size_t k, const ProcessedFrame& f) {
            for (std::size_t a = 0; a < n; ++a)
                if (f.triggered(a)) (k < count ? trig[a][first + k] : before[a]).push_back(f.index);
        };
        tarvocoil::Detector det;
        SetThresholds(det, areas, std::vector<float>(n, values[first]));
        SideDetectors side(count - 1 + (first == 0 ? 1 : 0), n,
                           [&](std::size_t k, const ProcessedFrame& f) { collect(k + 1, f); });
        for (std::size_t k = 1; k < count; ++k)
            SetThresholds(side.detector(k - 1), areas, std::vector<float>(n, values[first + k]));
        if (first == 0) ApplyAreas(side.detector(count - 1), areas);
        FunctionSink leading([&](const ProcessedFrame& f) { collect(0, f); });
        FrameLoop loop(det, n);
        loop.add(leading);
        loop.add(side);
        Pass(r, runPass, loop);
    }
}

// The table's rows had every area at the same candidate; the areas
// interact through the light mask, so the mix gets a run of its own:
// after[a] its triggers. Plots it too, when the detector measures.
void MixPass(TuneResult& r, const RunPass& runPass, const AreasConfig& areas, const std::vector<float>& chosen,
             const std::vector<std::string>& names, bool& wantPlot, PlotData& plot, Triggers& after) {
    const std::size_t n = areas.areas.size();
    tarvocoil::Detector det;
    SetThresholds(det, areas, chosen);
    det.setMeasuring(wantPlot);
    if (wantPlot && !det.measuring()) {
        Warn("no plot: this detector records no measurements");
        wantPlot = false;
    }
    for (auto& v : after) v.clear();
    FunctionSink mix(
        [&](const ProcessedFrame& f) {
            for (std::size_t a = 0; a < n; ++a)
                if (f.triggered(a)) after[a].push_back(f.index);
            if (wantPlot) plot.add(f.index, f.time, *f.measurements, names);
        },
        wantPlot);
    FrameLoop loop(det, n);
    loop.add(mix);
    Pass(r, runPass, loop);
}

}  // namespace

TuneResult Tune(const AreasConfig& areas, const std::vector<TruthEntry>& truth, const TuneOptions& options,
                const RunPass& givenPass) {
    // Every pass gives the same frames; their times let each coil's
    // holdoff pick the triggers `run` would report, which are what is scored.
    std::vector<double> timeOfFrame;
    FunctionSink timing([&](const ProcessedFrame& f) {
        if (f.index < 0) return;
        const std::size_t i = static_cast<std::size_t>(f.index);
        if (i >= timeOfFrame.size()) timeOfFrame.resize(i + 1, 0.0);
        timeOfFrame[i] = f.time;
    });
    const RunPass runPass = [&](FrameLoop& loop) {
        loop.add(timing);
        return givenPass(loop);
    };
    const std::vector<double> holdoffs = Holdoffs(areas);
    TuneResult r;
    r.candidates = options.candidates;
    if (r.candidates.empty()) throw ToolError("no candidate thresholds");
    r.frontLight = areas.frontLight.value_or(false);
    const std::size_t n = areas.areas.size(), nc = r.candidates.size();
    std::vector<float> values, own;
    for (const Candidate& c : r.candidates) values.push_back(c.value);
    const std::vector<std::string> names = AreaNames(areas);
    for (const AreaSpec& a : areas.areas) own.push_back(a.threshold);
    std::vector<std::vector<int64_t>> truthFrames(n);
    for (std::size_t a = 0; a < n; ++a) truthFrames[a] = TruthFrames(truth, static_cast<int>(a));

    bool wantPlot = !options.plotPath.empty();
    PlotData plot;
    std::vector<Triggers> trig(n, Triggers(nc));
    Triggers before(n), after(n);
    r.areas.resize(n);

    if (!r.frontLight)
        ReplayPass(r, runPass, areas, values, own, names, wantPlot, plot, trig, before);
    else
        BatchedPasses(r, runPass, areas, values, trig, before);

    for (std::size_t a = 0; a < n; ++a) {
        for (auto& list : trig[a]) list = ReportedFrames(list, timeOfFrame, holdoffs[a]);
        before[a] = ReportedFrames(before[a], timeOfFrame, holdoffs[a]);
    }
    for (std::size_t a = 0; a < n; ++a) {
        AreaTuning& at = r.areas[a];
        at.name = names[a];
        for (std::size_t c = 0; c < nc; ++c) at.rows.push_back(Score(truthFrames[a], trig[a][c], options));
        at.best = Recommend(at.rows);
        at.before = Score(truthFrames[a], before[a], options);
        at.labelled = !truthFrames[a].empty();
        at.chosen = at.labelled ? r.candidates[at.best.index] : OwnThreshold(own[a]);
        after[a] = at.labelled ? trig[a][at.best.index] : before[a];
    }
    const std::vector<float> chosen = r.recommended();
    if (r.frontLight)
        MixPass(r, runPass, areas, chosen, names, wantPlot, plot, after);
    else if (wantPlot)
        Rethreshold(plot, chosen);
    for (std::size_t a = 0; a < n; ++a) {
        if (r.frontLight) after[a] = ReportedFrames(after[a], timeOfFrame, holdoffs[a]);
        r.areas[a].after = Score(truthFrames[a], after[a], options);
    }
    if (wantPlot) {
        plot.title = options.plotTitle;
        AddTruth(plot, truth, options.window);
        WritePlot(options.plotPath, plot, PlotOptions{});
    }
    return r;
}

void PrintTuneTables(const TuneResult& r, std::FILE* out) {
    std::size_t tw = 9;
    for (const Candidate& c : r.candidates) tw = std::max(tw, c.text.size());
    for (std::size_t a = 0; a < r.areas.size(); ++a) {
        const AreaTuning& at = r.areas[a];
        if (!at.labelled) {
            std::fprintf(out, "\narea %zu %s: no labelled passages; its threshold %s is kept\n", a,
                         Quoted(at.name).c_str(), at.chosen.text.c_str());
            continue;
        }
        std::fprintf(out, "\narea %zu %s: %d labelled passages\n", a, Quoted(at.name).c_str(),
                     at.rows.empty() ? 0 : at.rows[0].truths);
        std::fprintf(out, "  %*s %9s %7s %7s %7s %7s\n", int(tw), "threshold", "triggers", "hits", "misses", "false",
                     "F1");
        for (std::size_t c = 0; c < at.rows.size(); ++c) {
            const MatchCounts& m = at.rows[c];
            std::fprintf(out, "  %*s %9d %7d %7d %7d %7s%s\n", int(tw), r.candidates[c].text.c_str(), m.triggers, m.hits,
                         m.misses, m.falses, F1Text(m).c_str(), c == at.best.index ? "  <- recommended" : "");
        }
    }
}

void PrintBeforeAfter(const TuneResult& r, const AreasConfig& areas, std::FILE* out) {
    int nw = 4;
    for (const AreaTuning& a : r.areas) nw = std::max(nw, std::min(24, static_cast<int>(a.name.size())));
    std::fprintf(out, "%-*s  %9s %8s %5s %6s %5s %6s   %9s %8s %5s %6s %5s %6s\n", nw, "area", "before", "triggers",
                 "hits", "misses", "false", "F1", "after", "triggers", "hits", "misses", "false", "F1");
    MatchCounts tb, ta;
    auto add = [](MatchCounts& s, const MatchCounts& c) {
        s.truths += c.truths;
        s.triggers += c.triggers;
        s.hits += c.hits;
        s.misses += c.misses;
        s.falses += c.falses;
    };
    for (std::size_t a = 0; a < r.areas.size(); ++a) {
        const AreaTuning& at = r.areas[a];
        char own[32];
        std::snprintf(own, sizeof own, "%g", static_cast<double>(areas.areas[a].threshold));
        std::fprintf(out, "%-*s  %9s %8d %5d %6d %5d %6s   %9s %8d %5d %6d %5d %6s\n", nw,
                     TerminalText(at.name).substr(0, 24).c_str(),
                     own, at.before.triggers, at.before.hits, at.before.misses, at.before.falses,
                     F1Text(at.before).c_str(), at.chosen.text.c_str(), at.after.triggers,
                     at.after.hits, at.after.misses, at.after.falses, F1Text(at.after).c_str());
        add(tb, at.before);
        add(ta, at.after);
    }
    std::fprintf(out, "%-*s  %9s %8d %5d %6d %5d %6s   %9s %8d %5d %6d %5d %6s\n", nw, "all", "", tb.triggers, tb.hits,
                 tb.misses, tb.falses, F1Text(tb).c_str(), "", ta.triggers, ta.hits, ta.misses, ta.falses,
                 F1Text(ta).c_str());
    for (const AreaTuning& at : r.areas) {
        const Recommendation& b = at.best;
        if (!at.labelled) {
            std::fprintf(out, "%s: no labelled passages; its threshold %s is kept\n", Quoted(at.name).c_str(),
                         at.chosen.text.c_str());
            continue;
        }
        if (b.runFirst != b.runLast)
            std::fprintf(out, "%s: candidates %s..%s score the same; the middle one is recommended\n",
                         Quoted(at.name).c_str(), r.candidates[b.runFirst].text.c_str(),
                         r.candidates[b.runLast].text.c_str());
        const MatchCounts& row = at.rows[b.index];
        if (row.hits != at.after.hits || row.misses != at.after.misses || row.falses != at.after.falses)
            std::fprintf(out, "%s: with every area at %s the table gave %d hits, %d misses, %d false; with the "
                              "recommended mix the areas' light masks interact and the run gives the numbers above\n",
                         Quoted(at.name).c_str(), r.candidates[b.index].text.c_str(), row.hits, row.misses, row.falses);
    }
}

std::string TuneTableCsv(const TuneResult& r) {
    std::string out = "area,threshold,triggers,hits,misses,false\n";
    for (const AreaTuning& at : r.areas)
        for (std::size_t c = 0; c < at.rows.size(); ++c) {
            const MatchCounts& m = at.rows[c];
            out += EventWriter::CsvField(at.name) + "," + r.candidates[c].text + "," + std::to_string(m.triggers) + "," +
                   std::to_string(m.hits) + "," + std::to_string(m.misses) + "," + std::to_string(m.falses) + "\n";
        }
    return out;
}

namespace {

// The settings object of `settings` merged into the document's, key by key,
// so that comments and the order of the keys already there stay.
void MergeSettings(nlohmann::ordered_json& doc, const AreasConfig& settings) {
    if (doc.is_array()) doc = nlohmann::ordered_json{{"areas", doc}};
    AreasConfig only = settings;
    only.areas.clear();
    const nlohmann::ordered_json wanted = AreasToJson(only)["settings"];
    nlohmann::ordered_json& have = doc["settings"];
    if (!have.is_object()) have = nlohmann::ordered_json::object();
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        if (it.value().is_object() && have.contains(it.key()) && have[it.key()].is_object())
            for (auto in = it.value().begin(); in != it.value().end(); ++in) have[it.key()][in.key()] = in.value();
        else
            have[it.key()] = it.value();
    }
}

void CheckSettingsReadBack(const AreasConfig& back, const AreasConfig& want) {
    const bool same = back.frontLight.value_or(false) == want.frontLight.value_or(false) &&
                      back.frameCount == want.frameCount && back.disturbRatio == want.disturbRatio &&
                      (!want.light || (back.light && back.light->threshold == want.light->threshold &&
                                       back.light->minWidth == want.light->minWidth &&
                                       back.light->maxWidth == want.light->maxWidth &&
                                       back.light->minHeight == want.light->minHeight &&
                                       back.light->maxHeight == want.light->maxHeight));
    if (!same) throw ToolError("internal error: the tuned file does not read back the searched settings");
}

}  // namespace

std::string TunedAreasText(const std::string& original, const std::string& source,
                           const std::vector<Candidate>& thresholds, const AreasConfig* settings) {
    ParseAreas(original, source);  // the same errors as everywhere else
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(original);
    if (settings) MergeSettings(doc, *settings);
    nlohmann::ordered_json& list = doc.is_array() ? doc : doc["areas"];
    if (list.size() != thresholds.size()) throw ToolError("internal error: one threshold per area expected");
    for (std::size_t i = 0; i < list.size(); ++i) {
        // The decimal as written, unless the file's own reading (double,
        // then float) would not give back the candidate's float.
        double v = std::strtod(thresholds[i].text.c_str(), nullptr);
        if (static_cast<float>(v) != thresholds[i].value) v = static_cast<double>(thresholds[i].value);
        list[i]["threshold"] = v;
    }
    std::string text;
    if (doc.is_array()) {
        text = JsonListLines(doc, "") + "\n";
    } else {
        text = "{\n";
        bool first = true;
        for (auto it = doc.begin(); it != doc.end(); ++it) {
            text += std::string(first ? "" : ",\n") + "  " + nlohmann::json(it.key()).dump() + ": " +
                    (it.key() == "areas" ? JsonListLines(it.value(), "  ") : CompactJson(it.value()));
            first = false;
        }
        text += "\n}\n";
    }
    const AreasConfig back = ParseAreas(text, source);
    for (std::size_t i = 0; i < thresholds.size(); ++i)
        if (back.areas[i].threshold != thresholds[i].value)
            throw ToolError("internal error: the tuned file does not read back threshold " + thresholds[i].text);
    if (settings) CheckSettingsReadBack(back, *settings);
    return text;
}

RunPass FilePasses(const TuneCommand& cmd, const AreasConfig& areas, const std::string& label) {
    // Every pass reads the frames `run` reads with the same --start and
    // --duration, and says what run says about the video, once.
    struct State {
        int64_t frames = -1;
        int pass = 0;
    };
    auto state = std::make_shared<State>();
    return [cmd, &areas, label, state](FrameLoop& loop) {
        const std::optional<double> duration = cmd.duration > 0 ? std::optional<double>(cmd.duration) : std::nullopt;
        VideoReader reader(cmd.video, VideoReaderOptions{});
        VideoSource source(reader, cmd.video, cmd.start, duration, false);
        const bool first = ++state->pass == 1;
        if (first) {
            source.warnAboutInput(false);
            if (reader.width() > 0)
                for (const std::string& msg : AreasOutsideFrame(areas, reader.width(), reader.height()))
                    Warn(cmd.areas + ": " + msg);
        }
        // Passes can take minutes on long clips.
        Progress progress(true, first ? source.expectedFrames() : state->frames, first,
                          label + std::to_string(state->pass) + ": ");
        loop.add(progress);
        const LoopStats stats = loop.run(source);
        if (first) source.checkEnd(stats);
        state->frames = stats.processed;
        return stats;
    };
}

int RunTune(const TuneCommand& cmd) {
    if (cmd.search) return RunSearch(cmd);
    AreasConfig areas = LoadAreasFile(cmd.areas);
    for (const std::string& w : areas.warnings) Warn(cmd.areas + ": " + w);
    const std::vector<TruthEntry> truth = LoadTruthFile(cmd.truth, AreaNames(areas));
    if (truth.empty())
        throw ToolError("truth file '" + cmd.truth + "' holds no labelled passages: nothing to tune against "
                        "(expected one row per passage after the header frame,area)");
    TuneOptions opt;
    opt.candidates = ParseThresholds(cmd.thresholds);
    opt.window = MatchWindow{cmd.early, cmd.late};
    opt.plotPath = cmd.plot;
    opt.plotTitle = std::filesystem::path(cmd.video).filename().string() + " at the recommended thresholds";
    if (!cmd.plot.empty()) CheckPlotPath(cmd.plot, areas.areas.size());
    const RunPass runPass = FilePasses(cmd, areas, "tune pass ");
    const TuneResult r = Tune(areas, truth, opt, runPass);
    for (const TruthEntry& e : truth)
        if (e.frame >= r.frames)
            Warn(cmd.truth + ":" + std::to_string(e.line) + ": frame " + std::to_string(e.frame) +
                 " lies after the last processed frame (" + std::to_string(r.frames - 1) + ")");

    const Candidate& lo = opt.candidates.front();
    const Candidate& hi = opt.candidates.back();
    std::printf("tarvocoil tune: '%s', %lld frames, %zu areas, %zu candidate thresholds %s..%s, %zu labelled passages\n",
                TerminalText(cmd.video).c_str(), static_cast<long long>(r.frames), areas.areas.size(), opt.candidates.size(),
                lo.text.c_str(), hi.text.c_str(), truth.size());
    std::printf("hit: a trigger from %lld frames before to %lld frames after a labelled entry\n",
                static_cast<long long>(cmd.early), static_cast<long long>(cmd.late));
    if (r.frontLight)
        std::printf("front-light triggering on: the detector ran once per candidate, every area at that candidate "
                    "(%d passes over the video, the last with the recommended thresholds)\n",
                    r.passes);
    else
        std::printf("front-light triggering off: every candidate follows exactly from one pass's measurements\n");
    PrintTuneTables(r, stdout);
    std::printf("\n");
    PrintBeforeAfter(r, areas, stdout);
    if (!cmd.table.empty()) WriteText(cmd.table, TuneTableCsv(r), "table");
    if (!cmd.out.empty()) {
        std::vector<Candidate> chosen;
        for (const AreaTuning& a : r.areas) chosen.push_back(a.chosen);
        const std::string text = ReadInputFile(cmd.areas, "areas file", kMaxAreasFileBytes);
        WriteText(cmd.out, TunedAreasText(text, cmd.areas, chosen), "tuned areas file");
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace tarvotool
