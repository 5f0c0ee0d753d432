// search_space.cpp - the ladders of the searched settings, the coarse grid
// and the steps of refinement.
#include "tools/evidence/search_space.h"

#include <cmath>
#include <cstdlib>

#include "host/errors.h"

namespace tarvotool {

namespace {

// Rungs close together where the detector is sensitive (small blobs, short
// still runs) and far apart where it is not. The light limits reach down to
// a few pixels: distant headlights at night are that small.
const SearchLadder kLadders[kSearchDims] = {
    {"frame_count", {"2", "3", "5", "8", "10", "12", "15", "20", "25", "30", "40", "50", "60", "80", "100"},
     {2, 4, 7, 10}, 20.0, false},
    {"disturb_ratio", {"0.02", "0.03", "0.05", "0.07", "0.1", "0.12", "0.15", "0.2", "0.25", "0.3", "0.4", "0.5"},
     {2, 4, 6, 8, 10}, 0.15, false},
    {"light.threshold", {"120", "140", "160", "180", "200", "210", "220", "230", "240", "250"}, {2, 4, 8}, 200.0,
     true},
    {"light.min_width", {"2", "3", "4", "5", "6", "8", "10", "12", "14", "16", "20", "25", "30", "40"}, {2, 6, 10},
     20.0, true},
    {"light.max_width", {"20", "25", "30", "40", "50", "60", "80", "100", "120", "160", "200", "250", "320"},
     {2, 6, 9}, 80.0, true},
    {"light.min_height", {"2", "3", "4", "5", "6", "8", "10", "12", "14", "16", "20", "25", "30", "40"}, {2, 6, 10},
     20.0, true},
    {"light.max_height", {"20", "25", "30", "40", "50", "60", "80", "100", "120", "160", "200", "250", "320"},
     {2, 6, 9}, 80.0, true},
    {"threshold (every coil)", {"0.01", "0.02", "0.03", "0.05", "0.07", "0.1", "0.15", "0.2", "0.3"}, {2, 5}, 0.1,
     true},
};

double RungValue(int dim, std::size_t rung) { return std::strtod(kLadders[dim].rungs[rung].c_str(), nullptr); }

std::size_t NearestRung(int dim, double value) {
    std::size_t best = 0;
    for (std::size_t r = 1; r < kLadders[dim].rungs.size(); ++r)
        if (std::fabs(RungValue(dim, r) - value) < std::fabs(RungValue(dim, best) - value)) best = r;
    return best;
}

float LevelValue(std::size_t rung) { return std::strtof(kLadders[kPresenceLevel].rungs[rung].c_str(), nullptr); }

}  // namespace

const SearchLadder& Ladder(int dim) { return kLadders[dim]; }

double SearchCandidate::value(int dim) const { return RungValue(dim, rung[dim]); }

std::string SearchCandidate::key() const {
    std::string k = frontLight ? "on" : "off";
    for (int d = 0; d < kSearchDims; ++d)
        if (uses(d) && d != kPresenceLevel) k += "," + std::to_string(rung[d]);
    if (frontLight)
        for (float t : thresholds) {
            char buf[32];
            std::snprintf(buf, sizeof buf, ",%a", static_cast<double>(t));
            k += buf;
        }
    return k;
}

std::string SearchCandidate::describe() const {
    std::string s = std::string("front_light ") + (frontLight ? "on" : "off");
    for (int d = 0; d < kSearchDims; ++d) {
        if (!uses(d) || (d == kPresenceLevel && mixed)) continue;
        s += ", " + std::string(kLadders[d].name) + " " + kLadders[d].rungs[rung[d]];
    }
    if (mixed) s += ", thresholds per coil";
    return s;
}

double SearchCandidate::distance() const {
    double sum = frontLight ? 1.0 : 0.0;
    for (int d = 0; d < kSearchDims; ++d)
        if (uses(d) && d != kPresenceLevel) sum += std::fabs(value(d) - kLadders[d].fallback) / kLadders[d].fallback;
    return sum;
}

AreasConfig SearchCandidate::apply(const AreasConfig& areas) const {
    AreasConfig c = areas;
    c.warnings.clear();
    c.frontLight = frontLight;
    c.frameCount = static_cast<int32_t>(value(kFrameCount));
    c.disturbRatio = std::strtof(kLadders[kDisturbRatio].rungs[rung[kDisturbRatio]].c_str(), nullptr);
    if (frontLight) {
        LightLimits l;
        l.threshold = static_cast<int32_t>(value(kLightThreshold));
        l.minWidth = static_cast<int32_t>(value(kLightMinWidth));
        l.maxWidth = static_cast<int32_t>(value(kLightMaxWidth));
        l.minHeight = static_cast<int32_t>(value(kLightMinHeight));
        l.maxHeight = static_cast<int32_t>(value(kLightMaxHeight));
        c.light = l;
        if (thresholds.size() != c.areas.size()) throw ToolError("internal error: one threshold per coil expected");
        for (std::size_t a = 0; a < c.areas.size(); ++a) c.areas[a].threshold = thresholds[a];
    }
    return c;
}

std::vector<SearchCandidate> CoarseGrid(const AreasConfig& areas) {
    std::vector<SearchCandidate> out;
    SearchCandidate base;
    for (int d = 0; d < kSearchDims; ++d) base.rung[d] = NearestRung(d, kLadders[d].fallback);
    for (std::size_t f : kLadders[kFrameCount].coarse)
        for (std::size_t r : kLadders[kDisturbRatio].coarse) {
            SearchCandidate c = base;
            c.rung[kFrameCount] = f;
            c.rung[kDisturbRatio] = r;
            out.push_back(c);
        }
    base.frontLight = true;
    base.rung[kFrameCount] = NearestRung(kFrameCount, areas.frameCount.value_or(kLadders[kFrameCount].fallback));
    base.rung[kDisturbRatio] =
        NearestRung(kDisturbRatio, areas.disturbRatio.value_or(static_cast<float>(kLadders[kDisturbRatio].fallback)));
    for (std::size_t t : kLadders[kLightThreshold].coarse)
        for (std::size_t k = 0; k < kLadders[kLightMinWidth].coarse.size(); ++k)
            for (std::size_t m = 0; m < kLadders[kLightMaxWidth].coarse.size(); ++m)
                for (std::size_t lv : kLadders[kPresenceLevel].coarse) {
                    SearchCandidate c = base;
                    c.rung[kLightThreshold] = t;
                    c.rung[kLightMinWidth] = c.rung[kLightMinHeight] = kLadders[kLightMinWidth].coarse[k];
                    c.rung[kLightMaxWidth] = c.rung[kLightMaxHeight] = kLadders[kLightMaxWidth].coarse[m];
                    c.rung[kPresenceLevel] = lv;
                    c.thresholds.assign(areas.areas.size(), LevelValue(lv));
                    out.push_back(c);
                }
    return out;
}

std::vector<SearchCandidate> Neighbours(const SearchCandidate& c, std::size_t coils, std::size_t step) {
    std::vector<SearchCandidate> out;
    for (int d = 0; d < kSearchDims; ++d) {
        if (!c.uses(d) || (d == kPresenceLevel && c.mixed)) continue;
        const std::size_t top = kLadders[d].rungs.size() - 1;
        for (int sign : {-1, 1}) {
            if (sign < 0 && c.rung[d] < step) continue;
            if (sign > 0 && c.rung[d] + step > top) continue;
            SearchCandidate n = c;
            n.rung[d] = sign < 0 ? c.rung[d] - step : c.rung[d] + step;
            if (d == kPresenceLevel) n.thresholds.assign(coils, LevelValue(n.rung[d]));
            out.push_back(n);
        }
    }
    return out;
}

const std::vector<double>& HoldoffLadder() {
    // Fine steps up to a second, where one car's burst of re-triggers ends;
    // coarser beyond, where a holdoff starts to swallow the next car.
    static const std::vector<double> ladder = {0, 0.2, 0.4, 0.6, 0.8, 1.0, 1.5, 2.0, 3.0};
    return ladder;
}

std::vector<std::string> DescribeSpace() {
    std::vector<std::string> out;
    for (int d = 0; d < kSearchDims; ++d) {
        const SearchLadder& l = kLadders[d];
        std::string s = std::string(l.name) + (l.frontLightOnly ? " (front light on)" : "") + ": coarse ";
        for (std::size_t k = 0; k < l.coarse.size(); ++k) s += (k ? "," : "") + l.rungs[l.coarse[k]];
        s += "; refined over " + std::to_string(l.rungs.size()) + " rungs " + l.rungs.front() + ".." + l.rungs.back();
        out.push_back(s);
    }
    return out;
}

}  // namespace tarvotool
