// paths.h - outputs that must not destroy inputs (or each other).
#ifndef TARVOCOIL_TOOLS_LOOP_PATHS_H
#define TARVOCOIL_TOOLS_LOOP_PATHS_H

#include <cstdio>
#include <string>
#include <vector>

namespace tarvotool {

struct NamedPath {
    std::string path;  // empty or "-": not a file, never compared
    std::string role;  // "the video", "--events", ...
};

// Throws ToolError when an output is the same file as an input or as
// another output. Files that exist are compared by device and inode (so
// symbolic and hard links are seen through); names that do not exist yet
// by their absolute, normalised form.
void CheckOutputsDistinct(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs);

// Writes `text` to `path` as it is; throws ToolError naming `what` when it cannot.
void WriteText(const std::string& path, const std::string& text, const char* what);

// Flushes and closes an output the program wrote to `path` and sets `file`
// to null; throws ToolError ("cannot write WHAT 'PATH': reason") when any
// write, the flush or the close failed, so that a full disk is never a
// silent success.
void CloseOutput(std::FILE*& file, const std::string& path, const char* what);

}  // namespace tarvotool

#endif
