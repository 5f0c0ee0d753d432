// interval_row.h - the traffic data of one coil over one interval, and its
// two file forms (CSV and JSON Lines), writer and reader side by side.
//
// CSV header:
//   start,end,area,name,frames,count,occupancy,vehicles,mean_speed_kmh,mean_length_m,health,wall_start
// start/end: stream seconds (6 decimals); frames: processed frames in the
// interval, baseline frames excluded; count: reported triggers; occupancy:
// the fraction of those frames on which the coil was present (4
// decimals, empty with no frames); vehicles and the means only on the
// "to" coil of a pair (the means empty where no vehicle was measured);
// health: the worst state in the interval; wall_start: ISO 8601 UTC for
// live streams, empty for files. In JSON Lines an empty field is null.
#ifndef TARVOCOIL_HOST_TRAFFIC_INTERVAL_ROW_H
#define TARVOCOIL_HOST_TRAFFIC_INTERVAL_ROW_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvotool {

struct IntervalRow {
    double start = 0, end = 0;
    int64_t area = 0;
    std::string name;
    int64_t frames = 0;
    int64_t count = 0;
    std::optional<double> occupancy;
    std::optional<int64_t> vehicles;
    std::optional<double> meanSpeedKmh;
    std::optional<double> meanLengthM;
    std::string health = "ok";
    std::string wallStart;  // empty for files
};

enum class IntervalFormat { Csv, Jsonl };

// The CSV header line, with its newline.
const char* IntervalCsvHeader();
// One row as a line of the format, with its newline.
std::string IntervalCsv(const IntervalRow& r);
std::string IntervalJsonl(const IntervalRow& r);
// Reads a whole file's text back; throws ToolError naming `source` and the
// line on a malformed one.
std::vector<IntervalRow> ReadIntervalRows(const std::string& text, IntervalFormat format, const std::string& source);

}  // namespace tarvotool

#endif
