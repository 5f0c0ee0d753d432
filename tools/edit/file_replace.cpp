// file_replace.cpp - atomic replacement of a document, keeping a backup.
#include "tools/edit/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tarvotool {

namespace fs = std::filesystem;

namespace {

std::string Errno() { return std::strerror(errno); }

const char kTemporarySuffix[] = ".tmp-";  // and mkstemp's six letters or digits

// What a save keeps of a file it replaces.
struct Replaced {
    std::string target;  // the file itself, symbolic links followed
    bool exists = false;
    mode_t mode = 0644;  // a new file is an ordinary document
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

void ReplaceFileKeepingBackup(const std::string& path, const std::string& text, const std::optional<std::string>& previous) {
    const Replaced file = Inspect(path);
    // Decided by the mode bits, not by trying: root may write any file.
    if (file.exists && (file.mode & 0222) == 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.mode));
        throw FileReadOnly("'" + path + "' is read-only (mode " + mode +
                           "): not saved; make it writable (chmod u+w) to save it from the editor");
    }
    if (previous) {
        // The previous text, as private as the file it came from.
        Replaced bak = Inspect(path + ".bak");
        bak.mode = file.mode;
        bak.exists = true;
        bak.owner = file.owner;
        bak.group = file.group;
        WriteAtomically(bak, *previous);
    }
    WriteAtomically(file, text);
}

int RemoveStaleTemporaries(const std::string& path) {
    int removed = 0;
    for (const std::string& name : {path, path + ".bak"}) {
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

}  // namespace tarvotool
