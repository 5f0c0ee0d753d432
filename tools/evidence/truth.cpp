// truth.cpp - reading and writing the truth file.
#include "tools/evidence/truth.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "tools/evidence/csv.h"
#include "host/input_file.h"

namespace tarvotool {

namespace {

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() <= 18 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<TruthRow> ParseTruthRows(const std::string& text, const std::string& source) {
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> fields;
    std::vector<TruthRow> out;
    int lineNo = 0;
    int frameCol = -1, areaCol = -1;
    auto fail = [&](const std::string& what) -> void { throw ToolError(source + ":" + std::to_string(lineNo) + ": " + what); };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (Trim(line).empty()) continue;
        if (!SplitCsv(line, fields)) fail("unterminated quote");
        if (frameCol < 0) {
            for (std::size_t i = 0; i < fields.size(); ++i) {
                if (fields[i] == "frame" && frameCol < 0) frameCol = static_cast<int>(i);
                if (fields[i] == "area" && areaCol < 0) areaCol = static_cast<int>(i);
            }
            if (frameCol < 0 || areaCol < 0)
                fail("expected the header frame,area (columns named \"frame\" and \"area\"), got \"" + line + "\"");
            continue;
        }
        const std::size_t need = static_cast<std::size_t>(std::max(frameCol, areaCol)) + 1;
        if (fields.size() < need)
            fail("expected " + std::to_string(need) + " fields (frame and area), got " + std::to_string(fields.size()));
        const std::string& f = fields[frameCol];
        if (!AllDigits(f)) fail("expected a frame index (an integer of 0 or more), got \"" + f + "\"");
        out.push_back(TruthRow{std::stoll(f), fields[areaCol], lineNo});
    }
    if (frameCol < 0) {
        lineNo = std::max(lineNo, 1);
        fail("empty truth file (expected the header frame,area and one row per passage)");
    }
    return out;
}

std::vector<TruthEntry> ParseTruth(const std::string& text, const std::string& source,
                                   const std::vector<std::string>& areaNames) {
    std::vector<TruthEntry> out;
    for (const TruthRow& row : ParseTruthRows(text, source)) {
        auto fail = [&](const std::string& what) -> void { throw ToolError(source + ":" + std::to_string(row.line) + ": " + what); };
        TruthEntry e;
        e.line = row.line;
        e.frame = row.frame;
        const std::string& a = row.area;
        const auto named = std::find(areaNames.begin(), areaNames.end(), a);
        if (named != areaNames.end()) {
            e.area = static_cast<int>(named - areaNames.begin());
            // Binding to the first of two would score the passage against
            // the wrong coil without a word.
            const auto again = std::find(named + 1, areaNames.end(), a);
            if (again != areaNames.end())
                fail("area name \"" + a + "\" is ambiguous: areas " + std::to_string(e.area) + " and " +
                     std::to_string(again - areaNames.begin()) + " are both named so (give the index instead)");
        } else if (AllDigits(a) && std::stoll(a) < static_cast<long long>(areaNames.size())) {
            e.area = static_cast<int>(std::stoll(a));
        } else {
            std::string names;
            for (std::size_t i = 0; i < areaNames.size() && i < 8; ++i) names += (i ? ", \"" : "\"") + areaNames[i] + "\"";
            if (areaNames.size() > 8) names += ", ...";
            fail("no area \"" + a + "\" (expected a name: " + names + "; or an index 0.." +
                 std::to_string(static_cast<long long>(areaNames.size()) - 1) + ")");
        }
        out.push_back(e);
    }
    return out;
}

std::string FormatTruth(std::vector<TruthRow> rows) {
    std::sort(rows.begin(), rows.end(), [](const TruthRow& a, const TruthRow& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.area < b.area;
    });
    std::string text = "frame,area\n";
    for (const TruthRow& r : rows) {
        // The file is read a line at a time.
        if (r.area.find_first_of("\r\n") != std::string::npos)
            throw ToolError("the coil name \"" + r.area + "\" holds a line break: rename it to save its passages");
        // SplitCsv trims unquoted fields and splits at commas: quote any
        // name it would not give back as it is.
        const bool quote = r.area.empty() || r.area != Trim(r.area) ||
                           r.area.find_first_of(",\"") != std::string::npos;
        std::string area = r.area;
        if (quote) {
            area.clear();
            for (char c : r.area) area += c == '"' ? std::string("\"\"") : std::string(1, c);
            area = "\"" + area + "\"";
        }
        text += std::to_string(r.frame) + "," + area + "\n";
    }
    return text;
}

std::vector<TruthEntry> LoadTruthFile(const std::string& path, const std::vector<std::string>& areaNames) {
    return ParseTruth(ReadInputFile(path, "truth file"), path, areaNames);
}

std::vector<int64_t> TruthFrames(const std::vector<TruthEntry>& truth, int area) {
    std::vector<int64_t> out;
    for (const TruthEntry& e : truth)
        if (e.area == area) out.push_back(e.frame);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace tarvotool
