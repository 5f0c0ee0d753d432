// edit_store.cpp - validated, atomic saves of the editor's areas file.
#include "tools/edit/edit_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "host/input_file.h"

namespace tarvotool {

namespace fs = std::filesystem;

namespace {

std::string Errno() { return std::strerror(errno); }

const char kTemporarySuffix[] = ".tmp-";  // and mkstemp's six letters or digits

// What a save keeps of a file it replaces.
struct Replaced {
    std::string target;  // the file itself, symbolic links followed
    bool exists = false;
    mode_t mode = 0644;  // an areas file is an ordinary document
    uid_t owner = 0;
    gid_t group = 0;
};

// The file a name stands for: a save through a symbolic link replaces the
// file it names (a link to a link too, even one to a file not there yet),
// so that the link stays a link.
std::string FollowLinks(const std::string& path) {
    fs::path p = path;
    std::error_code ec;
    for (int hops = 0; fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
        const fs::path next = fs::read_symlink(p, ec);
        if (ec || hops == 40) throw ToolError("cannot follow the link '" + path + "': " + (ec ? ec.message() : "too many links"));
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p.string();
}

Replaced Inspect(const std::string& path) {
    Replaced r;
    r.target = FollowLinks(path);
    struct stat st {};
    if (::stat(r.target.c_str(), &st) != 0) return r;
    r.exists = true;
    r.mode = st.st_mode & 07777;
    r.owner = st.st_uid;
    r.group = st.st_gid;
    return r;
}

// Writes `text` to a new temporary file beside `like.target`, flushed to
// disk, with the mode and (where allowed) the owner of the file it
// replaces, and renames it over that file. Readers see the old or the new
// file, never a part of one.
void WriteAtomically(const Replaced& like, const std::string& text) {
    const std::string& target = like.target;
    std::string tmpl = target + kTemporarySuffix + "XXXXXX";
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
    // mkstemp makes the file 0600. Giving a file back to its owner is for
    // root only; anyone else's save keeps them as owner anyway.
    fchmod(fd, like.mode);
    if (like.exists) (void)!fchown(fd, like.owner, like.group);
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
    const Replaced areas = Inspect(path_);
    // Decided by the mode bits, not by trying: root may write any file.
    if (areas.exists && (areas.mode & 0222) == 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(areas.mode));
        throw AreasFileReadOnly("'" + path_ + "' is read-only (mode " + mode +
                                "): not saved; make it writable (chmod u+w) to save it from the editor");
    }
    const AreasSnapshot before = readUnlocked();
    r.overwroteChange = before.version != baseVersion;
    if (before.exists) {
        // The previous text, as private as the file it came from.
        Replaced bak = Inspect(path_ + ".bak");
        bak.mode = areas.mode;
        bak.exists = true;
        bak.owner = areas.owner;
        bak.group = areas.group;
        WriteAtomically(bak, before.text);
    }
    WriteAtomically(areas, text);
    r.version = Version(text);
    return r;
}

int AreasStore::removeStaleTemporaries() {
    std::lock_guard<std::mutex> lock(mutex_);
    int removed = 0;
    for (const std::string& name : {path_, path_ + ".bak"}) {
        const fs::path file = FollowLinks(name);
        const std::string prefix = file.filename().string() + kTemporarySuffix;
        std::error_code ec;
        const fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string entry = it->path().filename().string();
            const bool ours = entry.size() == prefix.size() + 6 && entry.compare(0, prefix.size(), prefix) == 0 &&
                              std::all_of(entry.begin() + prefix.size(), entry.end(),
                                          [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
            std::error_code rm;
            if (ours && fs::is_regular_file(fs::symlink_status(it->path(), rm)) && fs::remove(it->path(), rm)) ++removed;
        }
    }
    return removed;
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
