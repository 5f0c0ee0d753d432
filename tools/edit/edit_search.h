// edit_search.h - the editor's Search button: `tune --search` on the coils
// and passages of the page, in the background, with progress and cancel.
//
//   POST /api/search          start (body as for /api/tune); 409 while one runs
//   GET  /api/search          {"state": "idle" | "running" | "done" | "cancelled" | "failed",
//                              "progress": {...}, "result": {...}, "error": "..."}
//   POST /api/search/cancel   ask the running search to stop (it stops within a frame)
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_SEARCH_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_SEARCH_H

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "tools/evidence/search.h"

namespace tarvotool {

class EditSearch {
public:
    EditSearch() = default;
    ~EditSearch();  // cancels a running search and waits for it
    EditSearch(const EditSearch&) = delete;
    EditSearch& operator=(const EditSearch&) = delete;

    // Starts a search over [start, start + duration) of the video; false
    // when one is running.
    bool start(const AreasConfig& areas, std::vector<TruthEntry> truth, const std::string& video, double start,
               std::optional<double> duration, std::size_t maxCandidates);
    void cancel() { cancel_ = true; }
    nlohmann::json status();

    // The searched settings and thresholds as the page applies them.
    static nlohmann::json ResultJson(const AreasConfig& areas, const SearchResult& r);

private:
    void run(AreasConfig areas, std::vector<TruthEntry> truth, std::string video, double start,
             std::optional<double> duration, std::size_t maxCandidates);

    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> cancel_{false};
    std::string state_ = "idle";
    SearchProgress progress_;
    nlohmann::json result_;
    std::string error_;
};

}  // namespace tarvotool

#endif
