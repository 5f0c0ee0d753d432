// reported_triggers.h - the triggers a run reports, from the triggers the
// detector returned: each coil's holdoff applied after the fact, by the
// same filter `run` uses frame by frame, so that what `tune` and the
// editor's Test score is what `run` writes.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_REPORTED_TRIGGERS_H
#define TARVOCOIL_TOOLS_EVIDENCE_REPORTED_TRIGGERS_H

#include <cstdint>
#include <vector>

#include "host/areas_file.h"
#include "tools/events/events.h"

namespace tarvotool {

// One coil's trigger frames (processed-frame indices, in order) that pass
// a holdoff of `holdoff` seconds; timeOfFrame[i] is frame i's stream time.
// Frames without a time are kept.
std::vector<int64_t> ReportedFrames(const std::vector<int64_t>& frames, const std::vector<double>& timeOfFrame,
                                    double holdoff);

// Events (in frame order, any mix of areas) that pass their area's holdoff.
std::vector<Event> ReportedEvents(const std::vector<Event>& events, const AreasConfig& areas);

// Each area's holdoff in seconds (0 where it has none).
std::vector<double> Holdoffs(const AreasConfig& areas);

}  // namespace tarvotool

#endif
