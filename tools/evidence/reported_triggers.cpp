// reported_triggers.cpp - holdoff over whole trigger lists.
#include "tools/evidence/reported_triggers.h"

#include "host/traffic/holdoff_filter.h"

namespace tarvotool {

std::vector<double> Holdoffs(const AreasConfig& areas) {
    std::vector<double> out;
    for (const AreaSpec& a : areas.areas) out.push_back(a.holdoff.value_or(0.0));
    return out;
}

std::vector<int64_t> ReportedFrames(const std::vector<int64_t>& frames, const std::vector<double>& timeOfFrame,
                                    double holdoff) {
    if (holdoff <= 0) return frames;
    HoldoffFilter filter(holdoff);
    std::vector<int64_t> out;
    for (int64_t f : frames) {
        const bool timed = f >= 0 && static_cast<uint64_t>(f) < timeOfFrame.size();
        if (!timed || filter.report(timeOfFrame[static_cast<std::size_t>(f)])) out.push_back(f);
    }
    return out;
}

std::vector<Event> ReportedEvents(const std::vector<Event>& events, const AreasConfig& areas) {
    std::vector<HoldoffFilter> filters;
    for (double h : Holdoffs(areas)) filters.emplace_back(h);
    std::vector<Event> out;
    for (const Event& e : events) {
        const bool known = e.area >= 0 && static_cast<std::size_t>(e.area) < filters.size();
        if (!known || filters[static_cast<std::size_t>(e.area)].report(e.time)) out.push_back(e);
    }
    return out;
}

}  // namespace tarvotool
