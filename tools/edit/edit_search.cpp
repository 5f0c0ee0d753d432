// edit_search.cpp - the editor's background search.
#include "tools/edit/edit_search.h"

#include "host/errors.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"

namespace tarvotool {

namespace {

using json = nlohmann::json;

json Counts(const MatchCounts& c) {
    return json{{"triggers", c.triggers}, {"hits", c.hits}, {"misses", c.misses}, {"false", c.falses}};
}

}  // namespace

EditSearch::~EditSearch() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

bool EditSearch::start(const AreasConfig& areas, std::vector<TruthEntry> truth, const std::string& video,
                       double start, std::optional<double> duration, std::size_t maxCandidates) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == "running") return false;
    if (thread_.joinable()) thread_.join();  // a finished one
    cancel_ = false;
    state_ = "running";
    progress_ = SearchProgress{};
    result_ = nullptr;
    error_.clear();
    thread_ = std::thread(&EditSearch::run, this, areas, std::move(truth), video, start, duration, maxCandidates);
    return true;
}

void EditSearch::run(AreasConfig areas, std::vector<TruthEntry> truth, std::string video, double start,
                     std::optional<double> duration, std::size_t maxCandidates) {
    std::string state = "done", error;
    json result;
    try {
        SearchOptions opt;
        opt.thresholds = ParseThresholds("0.01:0.50:0.01");
        opt.maxCandidates = maxCandidates;
        opt.cancel = &cancel_;
        {
            VideoReader probe(video, VideoReaderOptions{});
            opt.frameWidth = probe.width();
            opt.frameHeight = probe.height();
        }
        opt.progress = [this](const SearchProgress& p) {
            std::lock_guard<std::mutex> lock(mutex_);
            progress_ = p;
        };
        const RunPass pass = [&](FrameLoop& loop) {
            VideoReader reader(video, VideoReaderOptions{});
            VideoSource source(reader, video, start, duration, false);
            return loop.run(source);
        };
        result = ResultJson(areas, Search(areas, truth, opt, pass));
    } catch (const SearchCancelled&) {
        state = "cancelled";
    } catch (const std::exception& e) {
        state = "failed";
        error = e.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    result_ = result;
    error_ = error;
}

json EditSearch::status() {
    std::lock_guard<std::mutex> lock(mutex_);
    json j{{"state", state_},
           {"progress",
            {{"candidates_done", progress_.candidatesDone},
             {"candidates_limit", progress_.candidatesLimit},
             {"pass", progress_.pass},
             {"pass_candidates", progress_.passCandidates},
             {"frame", progress_.frame},
             {"best", progress_.haveBest ? Counts(progress_.best) : json(nullptr)}}}};
    if (!result_.is_null()) j["result"] = result_;
    if (!error_.empty()) j["error"] = error_;
    return j;
}

json EditSearch::ResultJson(const AreasConfig& areas, const SearchResult& r) {
    const SearchOutcome& w = r.winner();
    // The settings object as the areas file holds it, keeping the file's
    // light limits when front light stays off.
    AreasConfig settings = w.candidate.frontLight ? w.candidate.apply(areas) : areas;
    settings.frontLight = w.candidate.frontLight;
    settings.frameCount = static_cast<int32_t>(w.candidate.value(kFrameCount));
    settings.disturbRatio = w.candidate.apply(areas).disturbRatio;
    settings.areas.clear();
    json thresholds = json::array(), coils = json::array();
    for (std::size_t a = 0; a < w.coils.size(); ++a) {
        thresholds.push_back(json::parse(w.coils[a].threshold.text));
        coils.push_back({{"name", areas.areas[a].name},
                         {"threshold", w.coils[a].threshold.text},
                         {"before", Counts(r.before[a].counts)},
                         {"after", Counts(w.coils[a].counts)}});
    }
    return json{{"settings", json::parse(AreasToJson(settings)["settings"].dump())},
                {"described", w.candidate.describe()},
                {"thresholds", thresholds},
                {"coils", coils},
                {"before", Counts(r.beforeTotal)},
                {"after", Counts(w.total)},
                {"candidates", r.tried.size()},
                {"passes", r.passes},
                {"seconds", r.seconds}};
}

}  // namespace tarvotool
