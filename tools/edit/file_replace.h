// file_replace.h - saving a document the editor owns: atomically, keeping
// the previous version.
//
// The text goes to a temporary file FILE.tmp-XXXXXX in the same folder,
// flushed to disk, then renamed over FILE, after the previous text has
// been kept as FILE.bak the same way: readers see the old or the new file,
// never a part of one. A symbolic link is written through (the file it
// names is replaced), and the file's mode is kept (FILE.bak takes the
// same); a file without any write permission bit is not saved.
#ifndef TARVOCOIL_TOOLS_EDIT_FILE_REPLACE_H
#define TARVOCOIL_TOOLS_EDIT_FILE_REPLACE_H

#include <optional>
#include <string>

#include "host/errors.h"

namespace tarvotool {

// A save refused because the file's mode allows nobody to write it.
class FileReadOnly : public ToolError {
public:
    using ToolError::ToolError;
};

// Writes `text` as `path`; `previous` (the file's text before, when it
// existed) goes to path.bak first. Throws FileReadOnly, or ToolError when
// a write fails.
void ReplaceFileKeepingBackup(const std::string& path, const std::string& text, const std::optional<std::string>& previous);

// Removes the temporary files of saves of `path` (and of its .bak) that
// never finished (the editor was killed mid-save); returns how many.
int RemoveStaleTemporaries(const std::string& path);

}  // namespace tarvotool

#endif
