// edit_store.h - the one areas file the editor may write.
//
// The file name is fixed when the editor starts; nothing the browser sends
// can name another file. A save is validated by the areas parser first,
// then written atomically (temporary file FILE.tmp-XXXXXX in the same
// folder, then rename) after the previous version has been kept as
// FILE.bak. A symbolic link is written through (the file it names is
// replaced), and the file's mode is kept; a file without any write
// permission bit is not saved. Each saved or
// loaded text has a version (a hash of its bytes), so that a page can tell
// when the file changed on disk since it read it.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_STORE_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_STORE_H

#include <mutex>
#include <string>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/edit/file_replace.h"

namespace tarvotool {

struct AreasSnapshot {
    bool exists = false;
    std::string text;     // the file's bytes (empty when it does not exist)
    std::string version;  // "" when it does not exist
};

// A save refused because the file's mode allows nobody to write it.
using AreasFileReadOnly = FileReadOnly;

struct SaveResult {
    AreasConfig config;
    std::string version;           // of the text written
    bool overwroteChange = false;  // the file on disk was not the version the saver had read
};

class AreasStore {
public:
    explicit AreasStore(std::string path);

    const std::string& path() const { return path_; }

    // The file as it is on disk now. Throws ToolError when it exists but
    // cannot be read.
    AreasSnapshot read() const;

    // Validates `document` (the text of an areas file) with ParseAreas
    // (throws its ToolError, naming the file) and writes it in the tool's
    // own layout, keeping top-level comment keys. `baseVersion` is the
    // version the saver last read; a different version on disk does not
    // stop the save (last save wins) but is reported.
    SaveResult save(const std::string& document, const std::string& baseVersion);

    static std::string Version(const std::string& text);

    // Removes the temporary files of saves that never finished (the editor
    // was killed mid-save); returns how many.
    int removeStaleTemporaries();

private:
    AreasSnapshot readUnlocked() const;

    std::string path_;
    mutable std::mutex mutex_;
};

// The text written for a valid document: the areas one per line as the
// demo writes them, preceded by the document's top-level "_" keys.
std::string FormatAreasDocument(const std::string& document, const AreasConfig& config);

}  // namespace tarvotool

#endif
