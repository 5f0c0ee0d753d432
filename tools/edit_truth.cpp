// edit_truth.cpp - truth entries against a test run.
#include "edit_truth.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common.h"

namespace tarvotool {

namespace {

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
}

// Frames within which a trigger counts for a truth entry: from kEarly
// before the entry to kLate after it.
constexpr int64_t kEarly = 3;
constexpr int64_t kLate = 10;

}  // namespace

EditorTruth ReadEditorTruth(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read truth file '" + path + "'");
    EditorTruth t;
    t.path = path;
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        line = Trim(line);
        if (n == 1) {
            if (line != "frame,area") throw ToolError(path + ":1: expected the header frame,area");
            continue;
        }
        if (line.empty()) continue;
        const std::size_t comma = line.find(',');
        if (comma == std::string::npos) throw ToolError(path + ":" + std::to_string(n) + ": expected frame,area");
        const std::string frame = Trim(line.substr(0, comma));
        std::string area = Trim(line.substr(comma + 1));
        if (area.size() >= 2 && area.front() == '"' && area.back() == '"') {
            std::string u;
            for (std::size_t k = 1; k + 1 < area.size(); ++k) {
                if (area[k] == '"' && k + 2 < area.size() && area[k + 1] == '"') ++k;
                u += area[k];
            }
            area = u;
        }
        char* end = nullptr;
        const long long f = std::strtoll(frame.c_str(), &end, 10);
        if (frame.empty() || *end || f < 0)
            throw ToolError(path + ":" + std::to_string(n) + ": expected a frame number of 0 or more, got '" + frame + "'");
        t.rows.push_back({f, area, n});
    }
    return t;
}

TruthScore ScoreAgainstTruth(const EditorTruth& truth, const AreasConfig& areas, const DetectorRun& run,
                             int64_t offset) {
    const int count = static_cast<int>(areas.areas.size());
    TruthScore s;
    s.coils.resize(count);
    s.eventHit.assign(run.events.size(), false);
    std::vector<std::vector<TruthScore::Entry>> perCoil(count);
    for (const EditorTruth::Row& r : truth.rows) {
        int area = -1;
        for (int i = 0; i < count && area < 0; ++i)
            if (areas.areas[i].name == r.area) area = i;
        if (area < 0) {
            char* end = nullptr;
            const long v = std::strtol(r.area.c_str(), &end, 10);
            if (!r.area.empty() && !*end && v >= 0 && v < count) area = static_cast<int>(v);
        }
        if (area < 0)
            throw ToolError(truth.path + ":" + std::to_string(r.line) + ": no coil is named or numbered '" + r.area + "'");
        const int64_t frame = r.frame - offset;
        if (frame >= 0 && frame < static_cast<int64_t>(run.times.size())) perCoil[area].push_back({frame, area, -1});
    }
    for (int a = 0; a < count; ++a) {
        std::vector<std::size_t> triggers;  // indices into run.events
        for (std::size_t e = 0; e < run.events.size(); ++e)
            if (run.events[e].area == a) triggers.push_back(e);
        std::vector<bool> taken(triggers.size(), false);
        auto& entries = perCoil[a];
        std::stable_sort(entries.begin(), entries.end(),
                         [](const TruthScore::Entry& x, const TruthScore::Entry& y) { return x.frame < y.frame; });
        for (TruthScore::Entry& t : entries) {
            for (std::size_t k = 0; k < triggers.size(); ++k) {
                const int64_t f = run.events[triggers[k]].frame;
                if (taken[k] || f < t.frame - kEarly || f > t.frame + kLate) continue;
                taken[k] = true;
                t.trigger = f;
                s.eventHit[triggers[k]] = true;
                break;
            }
            if (t.trigger >= 0)
                ++s.coils[a].hits;
            else
                ++s.coils[a].misses;
            s.entries.push_back(t);
        }
        for (bool k : taken)
            if (!k) ++s.coils[a].falseTriggers;
    }
    return s;
}

std::vector<float> RecommendThresholds(const EditorTruth&, const AreasConfig&, const std::string&) {
    throw ToolError("tuning is not available in this build yet");
}

}  // namespace tarvotool
