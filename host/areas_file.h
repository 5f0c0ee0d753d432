// areas_file.h - the areas file: survey areas and detector settings as JSON.
//
//   {
//     "areas": [
//       {"name": "lane 1", "vertices": [[100, 300], [220, 300], [230, 360], [90, 360]],
//        "threshold": 0.1}
//     ],
//     "settings": {"frame_count": 20, "disturb_ratio": 0.15, "front_light": false,
//                  "light": {"threshold": 200, "min_width": 20, "max_width": 80,
//                            "min_height": 20, "max_height": 80}},
//     "pairs": [{"name": "lane 1", "from": "lane 1 in", "to": "lane 1 out",
//                "distance": 6.0, "max_time": 3.0}],
//     "health": {"no_activity": 0, "max_presence": 300, "chatter": 30}
//   }
//
// For traffic data an area may also give "length" (metres along the
// direction of travel) and "holdoff" (seconds after a reported trigger in
// which a new one is not reported). A pair names two areas, "from" and
// "to", "distance" metres apart between their leading edges; a "to"
// trigger may follow its "from" trigger by at most "max_time" seconds.
// "health" sets the coil checks (seconds, chatter in raw triggers per
// minute; 0 turns a check off). Every one of these is kept as written by
// the writers below, and absent ones stay absent.
//
// A bare array of areas is accepted too. Keys starting with "_" are
// comments and ignored; any other unknown key is an error, so that a typo
// never silently falls back to a default.
#ifndef TARVOCOIL_HOST_AREAS_FILE_H
#define TARVOCOIL_HOST_AREAS_FILE_H

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvocoil.h"
#include "tarvocoil.hpp"
#include "host/errors.h"
#include "host/json_text.h"

namespace tarvotool {

// Presence ratio of an area whose file gives none.
constexpr float kDefaultThreshold = 0.1f;
using tarvocoil::kMaxAreas;
// Largest areas file read: far above any real one (32767 areas take
// about 3 MB).
constexpr std::size_t kMaxAreasFileBytes = std::size_t{64} << 20;

// Defaults of the traffic keys a file leaves out.
constexpr double kDefaultMaxTime = 5.0;       // pairs[].max_time, seconds
constexpr double kDefaultNoActivity = 0.0;    // health.no_activity, seconds (off)
constexpr double kDefaultMaxPresence = 300.0; // health.max_presence, seconds
constexpr double kDefaultChatter = 30.0;      // health.chatter, raw triggers per minute
// Largest chatter count accepted: the check keeps that many trigger times
// per coil (a trigger on every frame of a minute at 240 fps).
constexpr double kMaxChatter = 14400.0;

struct AreaSpec {
    std::string name;
    AreaQuad quad{};
    float threshold = kDefaultThreshold;
    std::optional<double> length;   // metres along the lane
    std::optional<double> holdoff;  // seconds; absent means 0
};

// Two coils along one lane: a speed trap.
struct PairSpec {
    std::string name;
    std::string from, to;              // area names as written
    std::size_t fromArea = 0, toArea = 0;  // their indexes in AreasConfig::areas
    double distance = 0;               // metres between the leading edges
    std::optional<double> maxTime;     // seconds; absent means kDefaultMaxTime
    double maxTimeOr() const { return maxTime.value_or(kDefaultMaxTime); }
};

// The coil checks as written; absent keys take the defaults above.
struct HealthSpec {
    std::optional<double> noActivity, maxPresence, chatter;
    double noActivityOr() const { return noActivity.value_or(kDefaultNoActivity); }
    double maxPresenceOr() const { return maxPresence.value_or(kDefaultMaxPresence); }
    double chatterOr() const { return chatter.value_or(kDefaultChatter); }
};

struct LightLimits {
    int32_t threshold = tarvocoil::Settings{}.lightThresh;
    int32_t minWidth = tarvocoil::Settings{}.lightMinWidth;
    int32_t maxWidth = tarvocoil::Settings{}.lightMaxWidth;
    int32_t minHeight = tarvocoil::Settings{}.lightMinHeight;
    int32_t maxHeight = tarvocoil::Settings{}.lightMaxHeight;
};

struct AreasConfig {
    std::vector<AreaSpec> areas;
    std::optional<int32_t> frameCount;
    std::optional<float> disturbRatio;
    std::optional<bool> frontLight;
    std::optional<LightLimits> light;
    std::vector<PairSpec> pairs;
    std::optional<HealthSpec> health;  // absent: every check at its default
    // Things worth telling the user that are not errors.
    std::vector<std::string> warnings;
};

// An areas file that cannot be read or is not valid: every failure of
// ParseAreas and LoadAreasFile, whichever step found it, so that a host can
// tell a bad file from its own failures (Python raises it as
// tarvocoil.AreasFileError). The tool reports it as any other ToolError.
class AreasFileError : public ToolError {
public:
    using ToolError::ToolError;
};

// Parses the text of an areas file; `source` names it in error messages.
// Throws AreasFileError with the file, the place and what was expected; the
// JSON itself is read by ParseJsonText, with its limits.
AreasConfig ParseAreas(const std::string& text, const std::string& source);
// Reads the file ("-": standard input); larger than kMaxAreasFileBytes
// or other than a regular file (a FIFO, a device) is an error
// (AreasFileError).
AreasConfig LoadAreasFile(const std::string& path);

// Installs the areas and the given settings; throws when the detector
// refuses the areas.
void ApplyAreas(tarvocoil::Detector& detector, const AreasConfig& config);

// Warnings for areas that lie wholly outside a width x height picture: one
// per area, or, beyond kAreasOutsideNamed of them, one for all that names
// the first few and counts the rest.
constexpr std::size_t kAreasOutsideNamed = 3;
std::vector<std::string> AreasOutsideFrame(const AreasConfig& config, int width, int height);

// The file form of a configuration (what the demo writes).
nlohmann::ordered_json AreasToJson(const AreasConfig& config);
// The same as text, one area per line.
std::string AreasToText(const AreasConfig& config);
// JSON on one line with a space after each comma and colon, as areas files
// are written (invalid UTF-8 replaced).
std::string CompactJson(const nlohmann::ordered_json& j);
// A list with one element per line, closed at `indent`.
std::string JsonListLines(const nlohmann::ordered_json& list, const std::string& indent);

// The areas' names, in file order.
std::vector<std::string> AreaNames(const AreasConfig& config);

}  // namespace tarvotool

#endif
