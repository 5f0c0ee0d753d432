// edit_marks.h - the passages a person marks on the editor's page: checked
// against the page's coils and the clip's frames, turned into a truth file's
// text for Test and Tune, and saved as the truth file.
//
// The page sends marks as [{"frame": N, "coil": NAME}, ...]: N is `run`'s
// processed-frame index, NAME the coil's name as it is on the page.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_MARKS_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_MARKS_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "tools/edit/edit_truth.h"
#include "tools/evidence/truth.h"

namespace tarvotool {

// The marks of a request, each checked: a whole frame number from 0 to
// frames - 1 (frames < 0: not known, no upper bound) and the name of
// exactly one of the coils. Throws ToolError saying which mark is refused
// and why (beyond the clip's end, a deleted coil, ...).
std::vector<TruthRow> MarksFromJson(const nlohmann::json& marks, const AreasConfig& areas, int64_t frames);

// The marks as a truth file the editor's Test and Tune read.
EditorTruth MarksAsTruth(const std::vector<TruthRow>& marks);

// The one truth file the editor may write (named on the command line).
class TruthStore {
public:
    explicit TruthStore(std::string path);
    const std::string& path() const { return path_; }
    // The file's text; nullopt when it does not exist. Throws ToolError
    // when it exists but cannot be read.
    std::optional<std::string> read() const;
    // Writes the marks (not none: the caller says so instead), atomically,
    // the previous text kept as FILE.bak. Returns the text written.
    std::string save(const std::vector<TruthRow>& marks);

private:
    std::string path_;
    mutable std::mutex mutex_;
};

}  // namespace tarvotool

#endif
