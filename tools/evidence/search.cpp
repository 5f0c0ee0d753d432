// search.cpp - `tune --search`: candidate runs, scoring and refinement.
#include "tools/evidence/search.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "host/traffic/holdoff_filter.h"
#include "tools/evidence/detector_bank.h"
#include "tools/evidence/replay.h"

namespace tarvotool {

namespace {

using Clock = std::chrono::steady_clock;
using Triggers = std::vector<std::vector<int64_t>>;  // per coil

// The detectors of one pass stay within this much memory; a larger batch
// takes further passes.
constexpr double kPassMemoryBytes = 3.0 * 1024 * 1024 * 1024;
// Refinement moves around this many of the best candidates each round.
constexpr std::size_t kCentres = 3;

// Ends a pass early: time is up. Cancelling throws SearchCancelled.
struct PassStopped {};

void Add(MatchCounts& s, const MatchCounts& c) {
    s.truths += c.truths;
    s.triggers += c.triggers;
    s.hits += c.hits;
    s.misses += c.misses;
    s.falses += c.falses;
}

Candidate Own(float value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    return Candidate{value, buf};
}

// What every candidate is scored against.
struct Scoring {
    const AreasConfig& areas;
    std::vector<std::vector<int64_t>> truth;  // per coil
    const SearchOptions& options;
    std::vector<float> replayed;  // the threshold grid, then each coil's own threshold
    std::vector<double> times;    // stream time per processed frame, from the first pass

    bool labelled(std::size_t coil) const { return !truth[coil].empty(); }
    double ownHoldoff(std::size_t coil) const { return areas.areas[coil].holdoff.value_or(0.0); }

    // The triggers the host reports with `holdoff`: the filter the run
    // applies, on the frames' stream times.
    std::vector<int64_t> held(const std::vector<int64_t>& triggers, double holdoff) const {
        if (!(holdoff > 0)) return triggers;
        HoldoffFilter filter(holdoff);
        std::vector<int64_t> out;
        for (int64_t f : triggers)
            if (filter.report(times.at(static_cast<std::size_t>(f)))) out.push_back(f);
        return out;
    }

    MatchCounts score(std::size_t coil, const std::vector<int64_t>& triggers, double holdoff) const {
        return MatchArea(truth[coil], held(triggers, holdoff), options.window, options.lastFrame);
    }

    // A labelled coil at `threshold` with the holdoff that serves it best
    // (the smaller of equal ones); a coil without passages keeps its own,
    // as does every coil in the "before" (search = false).
    CoilChoice choose(std::size_t coil, const Candidate& threshold, const std::vector<int64_t>& triggers,
                      bool search) const {
        CoilChoice best{threshold, score(coil, triggers, ownHoldoff(coil)), ownHoldoff(coil)};
        if (!search || !labelled(coil)) return best;
        for (std::size_t h = 0; h < options.holdoffs.size(); ++h) {
            const MatchCounts c = score(coil, triggers, options.holdoffs[h]);
            if (h == 0 || F1Score(best.counts) < F1Score(c)) best = CoilChoice{threshold, c, options.holdoffs[h]};
        }
        return best;
    }

    // Front light on: the run's own triggers at the candidate's thresholds.
    std::vector<CoilChoice> fromTriggers(const std::vector<float>& thresholds, const Triggers& trig,
                                         bool search = true) const {
        std::vector<CoilChoice> out;
        for (std::size_t a = 0; a < trig.size(); ++a) out.push_back(choose(a, Own(thresholds[a]), trig[a], search));
        return out;
    }

    // Front light off: each labelled coil's threshold chosen as tune
    // chooses it, from the run's records, each threshold with its best
    // holdoff; the others keep theirs.
    std::vector<CoilChoice> fromReplay(const ThresholdReplay& replay) const {
        const std::size_t n = areas.areas.size(), grid = options.thresholds.size();
        std::vector<CoilChoice> out;
        for (std::size_t a = 0; a < n; ++a) {
            if (!labelled(a)) {
                out.push_back(choose(a, Own(areas.areas[a].threshold), replay.triggers(a, grid + a), false));
                continue;
            }
            std::vector<CoilChoice> pairs;
            std::vector<MatchCounts> rows;
            for (std::size_t c = 0; c < grid; ++c) {
                pairs.push_back(choose(a, options.thresholds[c], replay.triggers(a, c), true));
                rows.push_back(pairs.back().counts);
            }
            out.push_back(pairs[Recommend(rows).index]);
        }
        return out;
    }

    MatchCounts total(const std::vector<CoilChoice>& coils) const {
        MatchCounts t;
        for (std::size_t a = 0; a < coils.size(); ++a)
            if (labelled(a)) Add(t, coils[a].counts);
        return t;
    }
};

// The per-candidate state of one pass: replayed thresholds or plain triggers.
struct Slot {
    std::unique_ptr<ThresholdReplay> replay;
    Triggers triggers;
};

class Searcher {
public:
    Searcher(const AreasConfig& areas, const std::vector<TruthEntry>& truth, const SearchOptions& options,
             const RunPass& runPass)
        : scoring_{areas, {}, options, {}, {}}, options_(options), runPass_(runPass) {
        for (std::size_t a = 0; a < areas.areas.size(); ++a)
            scoring_.truth.push_back(TruthFrames(truth, static_cast<int>(a)));
        for (const Candidate& c : options.thresholds) scoring_.replayed.push_back(c.value);
        for (const AreaSpec& s : areas.areas) scoring_.replayed.push_back(s.threshold);
        deadline_ = start_ + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(std::max(0.0, options.budgetSeconds)));
    }

    SearchResult run();

private:
    void evaluate(const std::vector<SearchCandidate>& batch);
    void evaluateChunk(const std::vector<SearchCandidate>& chunk, bool first);
    std::vector<SearchCandidate> refinementRound(std::size_t step);
    SearchCandidate mixOf(const SearchCandidate& centre) const;
    std::vector<std::size_t> ranking() const;
    // Coils without passages keep the file's threshold in every candidate.
    void keepUnlabelled(SearchCandidate& c) const {
        for (std::size_t a = 0; a < c.thresholds.size(); ++a)
            if (!scoring_.labelled(a)) c.thresholds[a] = scoring_.areas.areas[a].threshold;
    }
    void check(int64_t frame);

    Scoring scoring_;
    const SearchOptions& options_;
    const RunPass& runPass_;
    SearchResult r_;
    std::set<std::string> seen_;
    Clock::time_point start_ = Clock::now(), deadline_;
    SearchProgress progress_;
    bool haveBefore_ = false;
};

void Searcher::check(int64_t frame) {
    if (options_.cancel && options_.cancel->load()) throw SearchCancelled();
    progress_.frame = frame;
    // After at least one frame, so that a stop in the coarse grid can say
    // how long the grid takes.
    if (frame > 0 && Clock::now() > deadline_) throw PassStopped{};
    if (options_.progress) options_.progress(progress_);
}

void Searcher::evaluateChunk(const std::vector<SearchCandidate>& chunk, bool first) {
    const AreasConfig& areas = scoring_.areas;
    const std::size_t n = areas.areas.size();
    std::vector<Slot> slots(chunk.size());
    DetectorBank bank(chunk.size(), n, [&](std::size_t k, const ProcessedFrame& f) {
        Slot& s = slots[k];
        if (s.replay) {
            s.replay->frame(f.index, *f.measurements);
        } else {
            for (std::size_t a = 0; a < n; ++a)
                if (f.triggered(a)) s.triggers[a].push_back(f.index);
        }
    });
    for (std::size_t k = 0; k < chunk.size(); ++k) {
        const AreasConfig applied = chunk[k].apply(areas);
        ApplyAreas(bank.detector(k), applied);
        if (chunk[k].frontLight) {
            slots[k].triggers.resize(n);
        } else {
            bank.setMeasuring(k, true);
            if (!bank.detector(k).measuring()) throw ToolError("this detector records no measurements, which the search needs");
            slots[k].replay = std::make_unique<ThresholdReplay>(n, scoring_.replayed);
        }
    }
    // The loop's own detector runs the areas file as it is: the "before".
    tarvocoil::Detector own;
    ApplyAreas(own, areas);
    Triggers before(n);
    FunctionSink watch([&](const ProcessedFrame& f) {
        check(f.index);
        if (!first) return;
        // Every pass gives the same frames: the first one's times serve all.
        std::vector<double>& times = scoring_.times;
        if (times.size() <= static_cast<std::size_t>(f.index)) times.resize(static_cast<std::size_t>(f.index) + 1, f.time);
        times[static_cast<std::size_t>(f.index)] = f.time;
        for (std::size_t a = 0; a < n; ++a)
            if (f.triggered(a)) before[a].push_back(f.index);
    });
    FrameLoop loop(own, n);
    loop.add(watch);
    loop.add(bank);
    progress_.passCandidates = chunk.size();
    ++progress_.pass;
    r_.frames = runPass_(loop).processed;
    ++r_.passes;
    if (first) {
        r_.before = scoring_.fromTriggers([&] {
            std::vector<float> t;
            for (const AreaSpec& s : areas.areas) t.push_back(s.threshold);
            return t;
        }(), before, false);
        r_.beforeTotal = scoring_.total(r_.before);
        haveBefore_ = true;
    }
    for (std::size_t k = 0; k < chunk.size(); ++k) {
        SearchOutcome o;
        o.candidate = chunk[k];
        o.coils = slots[k].replay ? scoring_.fromReplay(*slots[k].replay)
                                  : scoring_.fromTriggers(chunk[k].thresholds, slots[k].triggers);
        o.total = scoring_.total(o.coils);
        o.order = r_.tried.size();
        r_.tried.push_back(o);
        if (r_.tried.size() == 1 || Better(r_.tried.back(), r_.tried[r_.best])) r_.best = r_.tried.size() - 1;
    }
    progress_.candidatesDone = r_.tried.size();
    progress_.best = r_.tried[r_.best].total;
    progress_.haveBest = true;
}

void Searcher::evaluate(const std::vector<SearchCandidate>& batch) {
    std::size_t perPass = batch.size();
    if (options_.frameWidth > 0 && options_.frameHeight > 0) {
        // A detector's grey table and three working planes.
        const double plane = static_cast<double>((options_.frameWidth + 3) & ~3) * options_.frameHeight;
        const double each = 2.0 * 1024 * 1024 + 3.0 * plane;
        perPass = std::max<std::size_t>(1, static_cast<std::size_t>(kPassMemoryBytes / each));
    }
    for (std::size_t first = 0; first < batch.size(); first += perPass) {
        const std::size_t count = std::min(perPass, batch.size() - first);
        evaluateChunk(std::vector<SearchCandidate>(batch.begin() + first, batch.begin() + first + count), !haveBefore_);
    }
}

std::vector<std::size_t> Searcher::ranking() const {
    std::vector<std::size_t> order(r_.tried.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return Better(r_.tried[a], r_.tried[b]); });
    return order;
}

// Front light on: per coil, the best of the presence levels already run
// with the centre's other settings; the mix is a run of its own, since the
// coils' light masks interact.
SearchCandidate Searcher::mixOf(const SearchCandidate& centre) const {
    std::map<std::size_t, const SearchOutcome*> levels;  // rung -> uniform outcome
    for (const SearchOutcome& o : r_.tried) {
        const SearchCandidate& c = o.candidate;
        if (!c.frontLight || c.mixed) continue;
        bool same = true;
        for (int d = 0; d < kSearchDims; ++d) same = same && (d == kPresenceLevel || c.rung[d] == centre.rung[d]);
        if (same) levels[c.rung[kPresenceLevel]] = &o;
    }
    SearchCandidate mix = centre;
    mix.mixed = true;
    const std::size_t n = scoring_.areas.areas.size();
    for (std::size_t a = 0; a < n && !levels.empty(); ++a) {
        if (!scoring_.labelled(a)) continue;
        std::vector<MatchCounts> rows;
        std::vector<float> values;
        for (const auto& [rung, o] : levels) {
            rows.push_back(o->coils[a].counts);
            values.push_back(o->coils[a].threshold.value);
        }
        mix.thresholds[a] = values[Recommend(rows).index];
    }
    return mix;
}

std::vector<SearchCandidate> Searcher::refinementRound(std::size_t step) {
    std::vector<SearchCandidate> out;
    const std::size_t n = scoring_.areas.areas.size();
    auto offer = [&](SearchCandidate c) {
        keepUnlabelled(c);
        if (seen_.insert(c.key()).second) out.push_back(c);
    };
    const std::vector<std::size_t> order = ranking();
    for (std::size_t i = 0; i < std::min(kCentres, order.size()); ++i) {
        const SearchCandidate& centre = r_.tried[order[i]].candidate;
        if (centre.frontLight && !centre.mixed) offer(mixOf(centre));
        for (const SearchCandidate& c : Neighbours(centre, n, step)) offer(c);
    }
    return out;
}

SearchResult Searcher::run() {
    std::vector<SearchCandidate> coarse = CoarseGrid(scoring_.areas);
    for (SearchCandidate& c : coarse) keepUnlabelled(c);
    progress_.candidatesLimit = options_.maxCandidates;
    if (coarse.size() > options_.maxCandidates)
        throw ToolError("--max-candidates " + std::to_string(options_.maxCandidates) + " is too small: the coarse grid "
                        "alone holds " + std::to_string(coarse.size()) + " candidates; give at least " +
                        std::to_string(coarse.size()));
    for (const SearchCandidate& c : coarse) seen_.insert(c.key());
    r_.coarseCandidates = coarse.size();
    try {
        evaluate(coarse);
    } catch (const PassStopped&) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        // The frames done so far give the rate; the source's expected
        // length the rest (passes of the coarse grid counted alike).
        const double perFrame = progress_.frame > 0 ? elapsed / static_cast<double>(progress_.frame) : 0.0;
        const double passes = static_cast<double>(r_.passes) + 1.0;
        char need[96] = "";
        if (options_.expectedFrames > 0 && perFrame > 0)
            std::snprintf(need, sizeof need, "; they need about %.0f s here",
                          std::ceil(perFrame * static_cast<double>(options_.expectedFrames) * passes));
        else
            std::snprintf(need, sizeof need, "; they need more than %.3g s here", elapsed);
        char given[32];
        std::snprintf(given, sizeof given, "%g", options_.budgetSeconds);
        throw ToolError(std::string("--budget ") + given + " s ended before the " + std::to_string(coarse.size()) +
                        " candidates of the coarse grid had run" + need + ": give at least that much time");
    }
    std::size_t step = 2;
    while (r_.tried.size() < options_.maxCandidates) {
        std::vector<SearchCandidate> round = refinementRound(step);
        if (round.empty()) {
            if (step == 1) break;
            step = 1;
            continue;
        }
        if (round.size() > options_.maxCandidates - r_.tried.size()) round.resize(options_.maxCandidates - r_.tried.size());
        const std::size_t bestBefore = r_.best;
        try {
            evaluate(round);
        } catch (const PassStopped&) {
            r_.timeUp = true;
            break;
        }
        ++r_.refinementRounds;
        if (r_.best == bestBefore) step = 1;
    }
    r_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    return r_;
}

}  // namespace

bool Better(const SearchOutcome& a, const SearchOutcome& b) {
    const F1Score fa(a.total), fb(b.total);
    if (fb < fa) return true;
    if (fa < fb) return false;
    if (a.total.triggers != b.total.triggers) return a.total.triggers < b.total.triggers;
    const double da = a.candidate.distance(), db = b.candidate.distance();
    if (da != db) return da < db;
    return a.order < b.order;
}

std::size_t LeastCandidates(const AreasConfig& areas) { return CoarseGrid(areas).size(); }

SearchResult Search(const AreasConfig& areas, const std::vector<TruthEntry>& truth, const SearchOptions& options,
                    const RunPass& runPass) {
    if (options.thresholds.empty()) throw ToolError("no candidate thresholds");
    Searcher s(areas, truth, options, runPass);
    return s.run();
}

namespace {

// The file's text with each coil's holdoff set where it is non-zero or
// the coil had one; the rest of the text is left to TunedAreasText, which
// lays the document out the same whatever the input's spacing.
std::string WithHoldoffs(const std::string& original, const std::vector<CoilChoice>& coils) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(original);
    nlohmann::ordered_json& list = doc.is_array() ? doc : doc["areas"];
    if (list.size() != coils.size()) throw ToolError("internal error: one holdoff per area expected");
    bool changed = false;
    for (std::size_t i = 0; i < coils.size(); ++i) {
        if (!(coils[i].holdoff > 0) && !list[i].contains("holdoff")) continue;
        list[i]["holdoff"] = coils[i].holdoff;
        changed = true;
    }
    return changed ? doc.dump() : original;
}

}  // namespace

std::string SearchedAreasText(const std::string& original, const std::string& source, const SearchOutcome& winner) {
    std::vector<Candidate> thresholds;
    for (const CoilChoice& c : winner.coils) thresholds.push_back(c.threshold);
    AreasConfig parsed = ParseAreas(original, source);
    const AreasConfig settings = winner.candidate.frontLight ? winner.candidate.apply(parsed) : [&] {
        AreasConfig c = parsed;
        c.frontLight = false;
        c.frameCount = static_cast<int32_t>(winner.candidate.value(kFrameCount));
        c.disturbRatio = winner.candidate.apply(parsed).disturbRatio;
        return c;
    }();
    const std::string text = TunedAreasText(WithHoldoffs(original, winner.coils), source, thresholds, &settings);
    const AreasConfig back = ParseAreas(text, source);
    for (std::size_t i = 0; i < winner.coils.size(); ++i)
        if (back.areas[i].holdoff.value_or(0.0) != winner.coils[i].holdoff)
            throw ToolError("internal error: the searched file does not read back holdoff " +
                            std::to_string(winner.coils[i].holdoff));
    return text;
}

}  // namespace tarvotool
