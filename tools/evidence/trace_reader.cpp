// trace_reader.cpp - traces read back, in either format `run --trace`
// writes (trace.cpp), for `plot`.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "host/json_text.h"
#include "tools/evidence/csv.h"
#include "tools/evidence/trace.h"

namespace tarvotool {

namespace {

using nlohmann::json;
using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

// One trace record, as a JSON object (a CSV row becomes one too), into the
// plot. `where` is "FILE:LINE: " for messages.
void AddRecord(PlotData& data, const json& j, const std::string& where) {
    if (!j.is_object()) throw ToolError(where + "expected a JSON object per line");
    auto integer = [&](const char* key, int64_t lo, int64_t hi, bool required) -> int64_t {
        if (!j.contains(key)) {
            if (required) throw ToolError(where + "missing key \"" + key + "\"");
            return 0;
        }
        const json& v = j[key];
        if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
        if (!v.is_number_integer() || (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(hi)) ||
            v.get<int64_t>() < lo || v.get<int64_t>() > hi)
            throw ToolError(where + "\"" + key + "\": expected an integer within " + std::to_string(lo) + ".." +
                            std::to_string(hi) + ", got " + v.dump());
        return v.get<int64_t>();
    };
    // Limits are numbers; a limit that is not one says why: NaN or
    // saturated, as a string ("nan", "saturated high", "-inf", ...), as
    // an object {"state": ..., "value": ...}, or null for none.
    auto limit = [&](const char* key) {
        LimitValue l;
        if (!j.contains(key)) return l;
        const json* v = &j[key];
        std::string state;
        if (v->is_object()) {
            if (v->contains("state") && (*v)["state"].is_string()) state = (*v)["state"].get<std::string>();
            v = v->contains("value") ? &(*v)["value"] : nullptr;
        }
        std::transform(state.begin(), state.end(), state.begin(), [](unsigned char c) { return std::tolower(c); });
        if (v && v->is_number_integer() && (state.empty() || state == "value")) {
            l.value = v->get<int64_t>();
            return l;
        }
        if (state.empty() && v && v->is_number_float()) state = v->get<double>() > 0 ? "high" : "low";
        if (state.empty() && v && v->is_string()) state = v->get<std::string>();
        std::transform(state.begin(), state.end(), state.begin(), [](unsigned char c) { return std::tolower(c); });
        if (state.empty() || state.find("nan") != std::string::npos || state == "none")
            l.state = LimitValue::State::NotANumber;
        else if (state.find("low") != std::string::npos || state[0] == '-' || state.find("min") != std::string::npos)
            l.state = LimitValue::State::SaturatedLow;
        else
            l.state = LimitValue::State::SaturatedHigh;
        return l;
    };
    const int64_t frame = integer("frame", 0, INT64_MAX, true);
    const int area = static_cast<int>(integer("area", 0, tarvocoil::kMaxAreas - 1, true));
    if (!j.contains("time") || !j["time"].is_number()) throw ToolError(where + "missing key \"time\" (seconds)");
    const double time = j["time"].get<double>();
    if (!std::isfinite(time)) throw ToolError(where + "\"time\": expected a number of seconds");
    std::string name = "area " + std::to_string(area);
    if (j.contains("name") && j["name"].is_string()) name = j["name"].get<std::string>();
    AreaMeasurement m;
    std::string kind = j.contains("kind") && j["kind"].is_string() ? j["kind"].get<std::string>() : "";
    std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return std::tolower(c); });
    m.kind = kind == "baseline" || (kind.empty() && !j.contains("bgDiffSum")) ? AreaMeasurement::Kind::Baseline
                                                                               : AreaMeasurement::Kind::Detect;
    m.greySum = integer("greySum", INT64_MIN, INT64_MAX, false);
    m.mean = integer("mean", INT64_MIN, INT64_MAX, false);
    m.sampleCount = static_cast<int32_t>(integer("sampleCount", INT32_MIN, INT32_MAX, false));
    if (m.kind == AreaMeasurement::Kind::Detect) {
        m.referenceGrey = integer("referenceGrey", INT64_MIN, INT64_MAX, false);
        m.bgDiffSum = integer("bgDiffSum", INT64_MIN, INT64_MAX, false);
        m.prevDiffSum = integer("prevDiffSum", INT64_MIN, INT64_MAX, false);
        m.presenceLimit = limit("presenceLimit");
        m.stillLimit = limit("stillLimit");
        m.stillCount = static_cast<int32_t>(integer("stillCount", INT32_MIN, INT32_MAX, false));
        m.present = integer("present", 0, 1, false) != 0;
        m.result = static_cast<int32_t>(integer("result", INT32_MIN, INT32_MAX, false));
        if (j.contains("refresh")) {
            const json& r = j["refresh"];
            std::string s = r.is_string() ? r.get<std::string>() : "";
            std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
            const int64_t k = r.is_number_integer() ? r.get<int64_t>() : -1;
            m.refresh = s == "copy" || k == 1   ? AreaMeasurement::Refresh::Copy
                        : s == "exchange" || k == 2 ? AreaMeasurement::Refresh::Exchange
                                                    : AreaMeasurement::Refresh::None;
        }
    }
    data.add(area, name, frame, time, m);
}

// A CSV field as the JSON value the same record has in JSON Lines: true and
// false, integers, decimals; anything else (nan, saturated-high, names)
// stays text.
json CsvValue(const std::string& field) {
    if (field == "true" || field == "false") return field == "true";
    const bool numeric = !field.empty() && field.find_first_not_of("0123456789+-.eE") == std::string::npos;
    if (numeric) {
        char* end = nullptr;
        errno = 0;
        const long long i = std::strtoll(field.c_str(), &end, 10);
        if (errno == 0 && end == field.c_str() + field.size()) return static_cast<int64_t>(i);
        const double d = std::strtod(field.c_str(), &end);
        if (end == field.c_str() + field.size()) return d;
    }
    return field;
}

}  // namespace

PlotData ReadTrace(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw ToolError("cannot read trace '" + path + "': it is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read trace '" + path + "': " + std::strerror(errno));
    PlotData data;
    data.title = std::filesystem::path(path).filename().string();
    std::string line;
    int lineNo = 0;
    enum class Format { Unknown, Jsonl, Csv } format = Format::Unknown;
    std::vector<std::string> columns, fields;
    while (std::getline(in, line)) {
        ++lineNo;
        if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::string where = path + ":" + std::to_string(lineNo) + ": ";
        if (format == Format::Unknown) format = line.find_first_not_of(" \t") == line.find('{') ? Format::Jsonl : Format::Csv;
        if (format == Format::Jsonl) {
            json j;
            try {
                j = ParseJsonText(line, "");
            } catch (const ToolError& e) {
                throw ToolError(where + "not a JSON object (a trace has one per line, as 'run --trace' writes): " +
                                e.what());
            }
            AddRecord(data, j, where);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A quoted name may hold a line break: the record goes on.
        std::string next;
        while (!SplitCsv(line, fields)) {
            if (!std::getline(in, next)) throw ToolError(where + "unterminated quote");
            ++lineNo;
            if (!next.empty() && next.back() == '\r') next.pop_back();
            line += "\n" + next;
        }
        if (columns.empty()) {
            columns = fields;
            for (const char* key : {"frame", "time", "area"})
                if (std::find(columns.begin(), columns.end(), key) == columns.end())
                    throw ToolError(where + "expected a JSON object or the header of a CSV trace naming its columns " +
                                    "(frame,time,area,... as 'run --trace-format csv' writes), got \"" +
                                    line.substr(0, 80) + "\"");
            continue;
        }
        if (fields.size() != columns.size())
            throw ToolError(where + "expected " + std::to_string(columns.size()) + " fields as the header names, got " +
                            std::to_string(fields.size()));
        json j = json::object();
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (fields[i].empty()) continue;  // no value in this row
            const bool text = columns[i] == "name" || columns[i] == "kind" || columns[i] == "refresh";
            j[columns[i]] = text ? json(fields[i]) : CsvValue(fields[i]);
        }
        AddRecord(data, j, where);
    }
    if (in.bad()) throw ToolError("cannot read trace '" + path + "': " + std::strerror(errno));
    if (data.areas.empty()) throw ToolError("'" + path + "' holds no trace rows");
    for (std::size_t a = 0; a < data.areas.size(); ++a) {
        PlotArea& pa = data.areas[a];
        if (pa.name.empty()) pa.name = "area " + std::to_string(a);
        std::stable_sort(pa.frames.begin(), pa.frames.end(),
                         [](const PlotFrame& x, const PlotFrame& y) { return x.frame < y.frame; });
    }
    return data;
}

}  // namespace tarvotool
