// paths.cpp - file identity.
#include "tools/loop/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/errors.h"

namespace tarvotool {

namespace {

struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;

    bool operator==(const Identity& o) const {
        if (exists != o.exists) return false;
        return exists ? dev == o.dev && ino == o.ino : name == o.name;
    }
};

Identity IdentityOf(const std::string& path) {
    Identity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        return id;
    }
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    id.name = ec ? path : p.lexically_normal().string();
    return id;
}

bool Skipped(const NamedPath& p) { return p.path.empty() || p.path == "-"; }

}  // namespace

void CheckOutputsDistinct(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs) {
    for (std::size_t o = 0; o < outputs.size(); ++o) {
        if (Skipped(outputs[o])) continue;
        const Identity out = IdentityOf(outputs[o].path);
        for (const NamedPath& in : inputs) {
            if (Skipped(in)) continue;
            if (IdentityOf(in.path) == out)
                throw ToolError(outputs[o].role + " '" + outputs[o].path + "' is the same file as " + in.role + " '" +
                                in.path + "'; refusing to overwrite it");
        }
        for (std::size_t k = 0; k < o; ++k) {
            if (Skipped(outputs[k])) continue;
            if (IdentityOf(outputs[k].path) == out)
                throw ToolError(outputs[k].role + " and " + outputs[o].role + " name the same file '" +
                                outputs[o].path + "'");
        }
    }
}

void WriteText(const std::string& path, const std::string& text, const char* what) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    f.close();
    if (!f) throw ToolError(std::string("cannot write ") + what + " '" + path + "': " + std::strerror(errno));
}

void CloseOutput(std::FILE*& file, const std::string& path, const char* what) {
    const bool failed = std::fflush(file) != 0 || std::ferror(file);
    const int err = errno;
    const bool closeFailed = std::fclose(file) != 0;
    file = nullptr;
    if (failed || closeFailed)
        throw ToolError(std::string("cannot write ") + what + " '" + path + "': " +
                        std::strerror(closeFailed ? errno : err));
}

}  // namespace tarvotool
