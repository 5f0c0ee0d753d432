// edit_store.cpp - validated, atomic saves of the editor's areas file.
#include "tools/edit/edit_store.h"

#include <cstdio>
#include <filesystem>

#include "host/errors.h"
#include "host/input_file.h"
#include "tools/edit/file_replace.h"

namespace tarvotool {

namespace fs = std::filesystem;

AreasStore::AreasStore(std::string path) : path_(std::move(path)) {}

std::string AreasStore::Version(const std::string& text) {
    // FNV-1a, 64 bits, with the length: enough to tell two texts apart.
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%zx-%016llx", text.size(), static_cast<unsigned long long>(h));
    return buf;
}

AreasSnapshot AreasStore::read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readUnlocked();
}

AreasSnapshot AreasStore::readUnlocked() const {
    AreasSnapshot s;
    std::error_code ec;
    if (!fs::exists(path_, ec)) return s;
    s.text = ReadInputFile(path_, "areas file", kMaxAreasFileBytes);
    s.exists = true;
    s.version = Version(s.text);
    return s;
}

SaveResult AreasStore::save(const std::string& document, const std::string& baseVersion) {
    SaveResult r;
    r.config = ParseAreas(document, path_);
    const std::string text = FormatAreasDocument(document, r.config);
    std::lock_guard<std::mutex> lock(mutex_);
    const AreasSnapshot before = readUnlocked();
    r.overwroteChange = before.version != baseVersion;
    ReplaceFileKeepingBackup(path_, text, before.exists ? std::optional<std::string>(before.text) : std::nullopt);
    r.version = Version(text);
    return r;
}

int AreasStore::removeStaleTemporaries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return RemoveStaleTemporaries(path_);
}

std::string FormatAreasDocument(const std::string& document, const AreasConfig& config) {
    std::string text = AreasToText(config);
    // ParseAreas accepted the document, so it is JSON; only an object has
    // top-level comments to keep.
    const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(document);
    if (!doc.is_object()) return text;
    std::string comments;
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (!it.key().empty() && it.key()[0] == '_')
            comments += "  " + nlohmann::json(it.key()).dump() + ": " + it.value().dump() + ",\n";
    return text.insert(2, comments);  // after "{\n"
}

}  // namespace tarvotool
