// truth.h - the truth file: the vehicle passages a person labelled.
//
//   frame,area
//   112,lane 1
//   140,0
//
// One row per passage: the processed-frame index on which the vehicle
// enters the coil (counted as `run` counts its events: 0 is the baseline
// frame) and the area, by its name or by its index in the areas file. A
// name wins over an index when an area is named like a number; a name that
// several areas share is an error (the index says which). Columns may
// come in any order; other columns are ignored (notes, say). Fields may be
// quoted as in CSV; blank lines are skipped.
//
// FormatTruth writes the file the editor saves: the header frame,area and
// the rows in frame order, each area by its name (quoted where CSV needs
// it), so that ParseTruth reads back exactly the rows written.
#ifndef TARVOCOIL_TOOLS_EVIDENCE_TRUTH_H
#define TARVOCOIL_TOOLS_EVIDENCE_TRUTH_H

#include <cstdint>
#include <string>
#include <vector>

namespace tarvotool {

struct TruthEntry {
    int64_t frame = 0;
    int area = 0;
    int line = 0;  // line of the file it came from
};

// One row as written, its area not yet resolved against any names.
struct TruthRow {
    int64_t frame = 0;
    std::string area;
    int line = 0;
};

// The rows of a truth file's text, checked for the header, quoting and
// frame numbers only. Throws ToolError naming `source` and the line.
std::vector<TruthRow> ParseTruthRows(const std::string& text, const std::string& source);

// Parses the text of a truth file against the areas' names (in areas-file
// order); `source` names it in error messages, which give the line number.
// Throws ToolError.
std::vector<TruthEntry> ParseTruth(const std::string& text, const std::string& source,
                                   const std::vector<std::string>& areaNames);
std::vector<TruthEntry> LoadTruthFile(const std::string& path, const std::vector<std::string>& areaNames);

// The text of a truth file holding `rows` (their `line` is ignored),
// sorted by frame, then by area name. Throws ToolError for a name holding
// a line break.
std::string FormatTruth(std::vector<TruthRow> rows);

// The entry frames of one area, in time order.
std::vector<int64_t> TruthFrames(const std::vector<TruthEntry>& truth, int area);

}  // namespace tarvotool

#endif
