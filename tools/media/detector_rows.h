// detector_rows.h - the rows of a frame the detector reads.
//
// The detector samples each area row at the 3x3 median of its pixels, the
// row itself moved into 1..height-2, and front-light triggering reads the
// area's rows (moved the same way); nothing else of the frame. A host that
// converts its pictures can therefore convert these rows only, as long as
// no other output (review video, snapshots) needs whole pictures.
#ifndef TARVOCOIL_TOOLS_MEDIA_DETECTOR_ROWS_H
#define TARVOCOIL_TOOLS_MEDIA_DETECTOR_ROWS_H

#include <vector>

#include "tarvocoil.hpp"
#include "tools/media/video_reader.h"

namespace tarvotool {

// The bands covering every row the detector may read in a frame of
// `height` rows, for areas with these rows (AreaRowsOf): sorted, merged.
std::vector<RowBand> RowsTheDetectorReads(const std::vector<std::vector<tarvocoil::AreaRow>>& areas, int height);

}  // namespace tarvotool

#endif
