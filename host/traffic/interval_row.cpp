// interval_row.cpp - interval rows as CSV and JSON Lines, and back.
#include "host/traffic/interval_row.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "host/errors.h"

namespace tarvotool {

namespace {

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// The value as its CSV text shows it, so both forms carry the same number.
double Rounded(double v, int decimals) { return std::strtod(Fixed(v, decimals).c_str(), nullptr); }

std::string CsvText(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

template <typename T>
std::string Opt(const std::optional<T>& v, int decimals) {
    if (!v) return "";
    if constexpr (std::is_integral_v<T>) return std::to_string(*v);
    else return Fixed(*v, decimals);
}

template <typename T>
nlohmann::ordered_json OptJson(const std::optional<T>& v, int decimals) {
    if (!v) return nullptr;
    if constexpr (std::is_integral_v<T>) return *v;
    else return Rounded(*v, decimals);
}

// Splits one CSV line into fields (quoted fields may hold commas and
// doubled quotes; rows never span lines, names with a newline are quoted
// but rare enough to be refused here).
bool SplitCsv(const std::string& line, std::vector<std::string>& out) {
    out.clear();
    std::string field;
    bool quoted = false, wasQuoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') field += '"', ++i;
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            out.push_back(field);
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    if (quoted) return false;
    out.push_back(field);
    return true;
}

double Number(const std::string& s, bool& ok) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v)) ok = false;
    return v;
}

int64_t Integer(const std::string& s, bool& ok) {
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0') ok = false;
    return v;
}

IntervalRow FromCsv(const std::vector<std::string>& f, bool& ok) {
    IntervalRow r;
    r.start = Number(f[0], ok);
    r.end = Number(f[1], ok);
    r.area = Integer(f[2], ok);
    r.name = f[3];
    r.frames = Integer(f[4], ok);
    r.count = Integer(f[5], ok);
    if (!f[6].empty()) r.occupancy = Number(f[6], ok);
    if (!f[7].empty()) r.vehicles = Integer(f[7], ok);
    if (!f[8].empty()) r.meanSpeedKmh = Number(f[8], ok);
    if (!f[9].empty()) r.meanLengthM = Number(f[9], ok);
    r.health = f[10];
    r.wallStart = f[11];
    return r;
}

IntervalRow FromJson(const nlohmann::json& j) {
    IntervalRow r;
    r.start = j.at("start").get<double>();
    r.end = j.at("end").get<double>();
    r.area = j.at("area").get<int64_t>();
    r.name = j.at("name").get<std::string>();
    r.frames = j.at("frames").get<int64_t>();
    r.count = j.at("count").get<int64_t>();
    if (!j.at("occupancy").is_null()) r.occupancy = j["occupancy"].get<double>();
    if (!j.at("vehicles").is_null()) r.vehicles = j["vehicles"].get<int64_t>();
    if (!j.at("mean_speed_kmh").is_null()) r.meanSpeedKmh = j["mean_speed_kmh"].get<double>();
    if (!j.at("mean_length_m").is_null()) r.meanLengthM = j["mean_length_m"].get<double>();
    r.health = j.at("health").get<std::string>();
    if (!j.at("wall_start").is_null()) r.wallStart = j["wall_start"].get<std::string>();
    return r;
}

}  // namespace

const char* IntervalCsvHeader() {
    return "start,end,area,name,frames,count,occupancy,vehicles,mean_speed_kmh,mean_length_m,health,wall_start\n";
}

std::string IntervalCsv(const IntervalRow& r) {
    return Fixed(r.start, 6) + "," + Fixed(r.end, 6) + "," + std::to_string(r.area) + "," + CsvText(r.name) + "," +
           std::to_string(r.frames) + "," + std::to_string(r.count) + "," + Opt(r.occupancy, 4) + "," +
           Opt(r.vehicles, 0) + "," + Opt(r.meanSpeedKmh, 2) + "," + Opt(r.meanLengthM, 2) + "," + r.health + "," +
           r.wallStart + "\n";
}

std::string IntervalJsonl(const IntervalRow& r) {
    nlohmann::ordered_json j;
    j["start"] = Rounded(r.start, 6);
    j["end"] = Rounded(r.end, 6);
    j["area"] = r.area;
    j["name"] = r.name;
    j["frames"] = r.frames;
    j["count"] = r.count;
    j["occupancy"] = OptJson(r.occupancy, 4);
    j["vehicles"] = OptJson(r.vehicles, 0);
    j["mean_speed_kmh"] = OptJson(r.meanSpeedKmh, 2);
    j["mean_length_m"] = OptJson(r.meanLengthM, 2);
    j["health"] = r.health;
    j["wall_start"] = r.wallStart.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.wallStart);
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::vector<IntervalRow> ReadIntervalRows(const std::string& text, IntervalFormat format, const std::string& source) {
    std::vector<IntervalRow> rows;
    std::vector<std::string> fields;
    std::size_t pos = 0;
    int64_t lineNo = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string where = source + ":" + std::to_string(lineNo) + ": ";
        if (format == IntervalFormat::Csv) {
            if (lineNo == 1) {
                if (line + "\n" != IntervalCsvHeader()) throw ToolError(where + "expected the header " + IntervalCsvHeader());
                continue;
            }
            bool ok = SplitCsv(line, fields) && fields.size() == 12;
            if (ok) rows.push_back(FromCsv(fields, ok));
            if (!ok) throw ToolError(where + "expected 12 fields: " + IntervalCsvHeader());
        } else {
            try {
                rows.push_back(FromJson(nlohmann::json::parse(line)));
            } catch (const nlohmann::json::exception& e) {
                throw ToolError(where + "not an interval row: " + e.what());
            }
        }
    }
    return rows;
}

}  // namespace tarvotool
