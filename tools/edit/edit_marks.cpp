// edit_marks.cpp - the page's marks as truth rows, and the truth file's saves.
#include "tools/edit/edit_marks.h"

#include <cmath>
#include <filesystem>

#include "host/errors.h"
#include "host/input_file.h"
#include "tools/edit/file_replace.h"

namespace tarvotool {

namespace {

std::string Describe(std::size_t i, const nlohmann::json& mark) {
    std::string s = "mark " + std::to_string(i);
    if (mark.is_object() && mark.contains("frame") && mark["frame"].is_number_integer())
        s += " (frame " + std::to_string(mark["frame"].get<int64_t>()) + ")";
    return s;
}

int64_t MarkFrame(std::size_t i, const nlohmann::json& mark, int64_t frames) {
    const nlohmann::json* f = mark.contains("frame") ? &mark["frame"] : nullptr;
    if (!f || !(f->is_number_integer() || (f->is_number_float() && std::isfinite(f->get<double>()) &&
                                           f->get<double>() == std::floor(f->get<double>()))))
        throw ToolError(Describe(i, mark) + ": \"frame\": expected a whole frame number");
    const double value = f->get<double>();
    if (value < 0) throw ToolError(Describe(i, mark) + ": \"frame\": expected a frame number of 0 or more");
    if (value > 1e15) throw ToolError(Describe(i, mark) + ": \"frame\": too large a frame number");
    if (frames >= 0 && value >= static_cast<double>(frames))
        throw ToolError(Describe(i, mark) + ": beyond the clip's end (its frames are 0 to " +
                        std::to_string(frames - 1) + ")");
    return f->get<int64_t>();
}

std::string MarkCoil(std::size_t i, const nlohmann::json& mark, const AreasConfig& areas) {
    if (!mark.contains("coil") || !mark["coil"].is_string())
        throw ToolError(Describe(i, mark) + ": \"coil\": expected a coil's name");
    const std::string name = mark["coil"].get<std::string>();
    int found = 0;
    for (const auto& a : areas.areas) found += a.name == name;
    if (found == 0)
        throw ToolError(Describe(i, mark) + ": no coil is named \"" + name +
                        "\" (deleted?): delete the mark or give it to another coil");
    // The file names coils: two of one name could not be told apart.
    if (found > 1)
        throw ToolError(Describe(i, mark) + ": " + std::to_string(found) + " coils are named \"" + name +
                        "\": give them names of their own");
    return name;
}

}  // namespace

std::vector<TruthRow> MarksFromJson(const nlohmann::json& marks, const AreasConfig& areas, int64_t frames) {
    if (!marks.is_array()) throw ToolError("\"marks\": expected an array of {\"frame\", \"coil\"}");
    std::vector<TruthRow> rows;
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const nlohmann::json& m = marks[i];
        if (!m.is_object()) throw ToolError("mark " + std::to_string(i) + ": expected {\"frame\", \"coil\"}");
        rows.push_back(TruthRow{MarkFrame(i, m, frames), MarkCoil(i, m, areas), 0});
    }
    return rows;
}

EditorTruth MarksAsTruth(const std::vector<TruthRow>& marks) {
    return EditorTruth{"the page's marks", FormatTruth(marks)};
}

TruthStore::TruthStore(std::string path) : path_(std::move(path)) {}

std::optional<std::string> TruthStore::read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) return std::nullopt;
    return ReadInputFile(path_, "truth file");
}

std::string TruthStore::save(const std::vector<TruthRow>& marks) {
    const std::string text = FormatTruth(marks);
    const std::optional<std::string> before = read();
    std::lock_guard<std::mutex> lock(mutex_);
    ReplaceFileKeepingBackup(path_, text, before);
    return text;
}

}  // namespace tarvotool
