// edit_store.cpp - validated, atomic saves of the editor's areas file.
#include "edit_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common.h"
#include "input_file.h"

namespace tarvotool {

namespace fs = std::filesystem;

namespace {

std::string Errno() { return std::strerror(errno); }

// Writes `text` to a new temporary file beside `target`, flushed to disk,
// and renames it over `target`. Readers see the old or the new file, never
// a part of one.
void WriteAtomically(const std::string& target, const std::string& text) {
    std::string tmpl = target + ".tmp-XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) throw ToolError("cannot write '" + target + "': " + Errno());
    struct Cleanup {
        std::string path;
        bool keep = false;
        ~Cleanup() {
            if (!keep) unlink(path.c_str());
        }
    } cleanup{tmpl};
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string err = Errno();
            close(fd);
            throw ToolError("cannot write '" + target + "': " + err);
        }
        done += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file 0600; an areas file is an ordinary document.
    fchmod(fd, 0644);
    if (fsync(fd) != 0 || close(fd) != 0) throw ToolError("cannot write '" + target + "': " + Errno());
    if (std::rename(tmpl.c_str(), target.c_str()) != 0) throw ToolError("cannot write '" + target + "': " + Errno());
    cleanup.keep = true;
}

}  // namespace

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
    if (before.exists) WriteAtomically(path_ + ".bak", before.text);
    WriteAtomically(path_, text);
    r.version = Version(text);
    return r;
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
