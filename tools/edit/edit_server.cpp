// edit_server.cpp - the editor's HTTP server and its JSON API.
#include "tools/edit/edit_server.h"

#include "tools/evidence/reported_triggers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/edit/edit_assets.h"
#include "tools/edit/edit_marks.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/light_picture.h"
#include "tools/media/stream_record.h"
#include "tools/media/video_source.h"
#include "tools/media/review.h"
#include "tools/edit/edit_store.h"
#include "tools/edit/edit_search.h"
#include "tools/edit/edit_truth.h"
#include "tools/edit/edit_video.h"
#include "host/event_json.h"
#include "tools/events/events.h"
#include "tools/edit/edit_http.h"
#include "tools/edit/http_address.h"
#include "host/json_text.h"

namespace tarvotool {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

namespace {

const char* MimeType(const std::string& name) {
    auto ends = [&](const char* ext) {
        const std::string e(ext);
        return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".png")) return "image/png";
    return "application/octet-stream";
}

void SendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    // Messages may quote what a client sent, invalid UTF-8 included.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
    SendJson(res, status, json{{"error", message}});
}

// The request body, read up to kMaxRequestBody whatever its framing
// (a length, chunks, compression), or a 413 or 400 answer.
std::optional<std::string> ReadBody(const httplib::ContentReader& reader, httplib::Response& res) {
    std::string body;
    bool tooLarge = false;
    const bool read = reader([&](const char* data, std::size_t size) {
        tooLarge = body.size() + size > kMaxRequestBody;
        if (!tooLarge) body.append(data, size);
        return !tooLarge;
    });
    if (tooLarge || res.status == 413) {
        SendError(res, 413, "refused: the body is larger than 1 MiB");
        return std::nullopt;
    }
    if (!read) {
        SendError(res, 400, "refused: the body did not arrive whole");
        return std::nullopt;
    }
    return body;
}

// The body as JSON, or a 400 answer.
std::optional<json> BodyJson(const std::string& body, httplib::Response& res) {
    try {
        return ParseJsonText(body, "the request body");
    } catch (const ToolError& e) {
        SendError(res, 400, e.what());
        return std::nullopt;
    }
}

// A number of seconds as a page writes one: decimal digits with an optional
// fraction and exponent, nothing else (no hexadecimal, no "inf", no bytes
// after it).
bool ParseSeconds(const std::string& text, double& out) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(out) && out >= 0;
}

// The media type of a Content-Type value, lower case, without parameters.
std::string MediaType(const std::string& value) {
    std::string type = value.substr(0, value.find(';'));
    const std::size_t first = type.find_first_not_of(" \t"), last = type.find_last_not_of(" \t");
    type = first == std::string::npos ? "" : type.substr(first, last - first + 1);
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

// The requests that carry a body. A body sent with anything else is never
// read: cpp-httplib would read it whole, without a limit.
bool TakesBody(const std::string& method, const std::string& path) {
    if (method == "PUT") return path == "/api/areas" || path == "/api/truth";
    if (method == "POST")
        return path == "/api/rows" || path == "/api/test" || path == "/api/tune" || path == "/api/light" ||
               path == "/api/record" || path == "/api/search" || path == "/api/search/cancel";
    return false;
}

// The methods whose body cpp-httplib reads before routing.
bool MayHaveBody(const httplib::Request& req) {
    return req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE" ||
           req.method == "PRI";
}

HttpLimits BodyLimits() {
    HttpLimits limits;
    limits.maxBodyBytes = kMaxRequestBody;
    return limits;
}

// A number field of a request body: absent, or a finite number >= 0.
bool Seconds(const json& body, const char* key, std::optional<double>& out, httplib::Response& res) {
    if (!body.is_object() || !body.contains(key) || body[key].is_null()) return true;
    const json& v = body[key];
    if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0) {
        SendError(res, 400, std::string("\"") + key + "\": expected a number of seconds, 0 or more");
        return false;
    }
    out = v.get<double>();
    return true;
}

json Tidy(double v) {
    return std::round(v * 1e6) / 1e6;
}

}  // namespace

std::string DefaultAreasPath(const std::string& video) {
    fs::path p(video);
    p.replace_extension(".areas.json");
    return p.string();
}

struct EditServer::Impl {
    EditCommand cmd;
    std::string areasPath;
    VideoFacts probed;
    struct stat videoStat {};  // of the file `probed` describes
    std::mutex factsMutex;
    std::optional<EditorTruth> truth;  // the truth file as last read or saved; guarded by truthMutex
    std::mutex truthMutex;
    std::optional<TruthStore> truthStore;  // with --truth
    AreasStore store;
    // The times of `run`'s frames, read once per version of the video.
    std::shared_ptr<const std::vector<double>> frameTimes;
    struct stat frameTimesStat {};
    std::mutex frameTimesMutex;
    // The light tests of the last Test run, for the light view: the coils
    // and settings they ran with (as the areas file's text), by frame.
    struct LightRecords {
        std::string areasText;
        std::map<int64_t, std::vector<tarvocoil::AreaMeasurement>> frames;
    } lastLight;  // guarded by runMutex
    GatedHttpServer http{BodyLimits()};
    int port = 0;
    std::mutex runMutex;  // one detector run at a time: they are the heavy requests
    // A fresh recording of the live source, made while the page edits on
    // the last one; it replaces the clip when complete.
    struct Recording {
        bool running = false;
        double seconds = 0.0;
        std::string error, done;
    } recording;  // guarded by recordMutex
    std::mutex recordMutex;
    std::thread recorder;
    volatile std::sig_atomic_t stopRecording = 0;
    EditSearch search;    // runs in the background (edit_search.h)
    // Every route, by method and path: registered on this server's own
    // `http`, or answered through EditServer::handle on a host's.
    using GetHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
    using BodyHandler =
        std::function<void(const httplib::Request&, httplib::Response&, const httplib::ContentReader&)>;
    std::map<std::string, GetHandler> gets;
    std::map<std::pair<std::string, std::string>, BodyHandler> bodies;  // (PUT or POST, path)

    void get(const std::string& path, GetHandler h) {
        http.Get(path, h);
        gets[path] = std::move(h);
    }
    void put(const std::string& path, BodyHandler h) {
        http.Put(path, h);
        bodies[{"PUT", path}] = std::move(h);
    }
    void post(const std::string& path, BodyHandler h) {
        http.Post(path, h);
        bodies[{"POST", path}] = std::move(h);
    }

    explicit Impl(const EditCommand& c)
        : cmd(c), areasPath(c.areas.empty() ? DefaultAreasPath(c.video) : c.areas), store(areasPath) {}
    ~Impl() {
        RequestStop(&stopRecording);  // read by the recording thread
        if (recorder.joinable()) recorder.join();
    }

    // Whether a Host header names this server: an address DNS cannot
    // rebind (an IP literal or localhost) with this server's port.
    bool hostAllowed(const std::string& value) const { return HostNamesServer(value, cmd.host, port); }

    struct Refusal {
        int status = 0;  // 0: none
        std::string message;
    };

    Refusal addressRefusal(const httplib::Request& req) const {
        const std::string host = req.get_header_value("Host");
        // Proxies and servers disagree on which of two Host headers counts.
        if (req.get_header_value_count("Host") > 1) return {400, "refused: more than one Host header"};
        if (!hostAllowed(host)) return {403, "refused: the Host header '" + host + "' is not this editor's address"};
        return {};
    }

    static Refusal bodyRefusal(const httplib::Request& req) {
        if (MayHaveBody(req) && !TakesBody(req.method, req.path)) return {404, "no such page or API call: " + req.method + " " + req.path};
        if (req.method != "PUT" && req.method != "POST") return {};
        // A page of another site may send simple cross-site requests; it
        // can neither set a JSON content type without asking first nor
        // hide its Origin.
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && origin != "http://" + req.get_header_value("Host"))
            return {403, "refused: a request from another site (" + origin + ")"};
        if (MediaType(req.get_header_value("Content-Type")) != "application/json")
            return {415, "refused: the body must be application/json"};
        // Refused before a byte of it is read; a body without a declared
        // length is counted as it arrives (ReadBody).
        if (req.has_header("Content-Length") &&
            std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > kMaxRequestBody)
            return {413, "refused: the body is larger than 1 MiB"};
        return {};
    }

    httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res) const {
        Refusal r = addressRefusal(req);
        if (!r.status) r = bodyRefusal(req);
        if (!r.status) return httplib::Server::HandlerResponse::Unhandled;
        SendError(res, r.status, r.message);
        return httplib::Server::HandlerResponse::Handled;
    }

    // Parses a document sent by the page with the areas file's own parser;
    // the messages name the areas file, as `run` would.
    std::optional<AreasConfig> parseDocument(const json& doc, httplib::Response& res) {
        try {
            return ParseAreas(doc.dump(), areasPath);
        } catch (const ToolError& e) {
            SendError(res, 400, e.what());
            return std::nullopt;
        }
    }

    // What a test or tune request asks for: an optional range, and the
    // page's unsaved areas or else the file's. False (with the answer sent)
    // when the request is bad.
    struct RunRequest {
        std::optional<double> start, duration;
        std::optional<AreasConfig> config;
        std::optional<EditorTruth> marks;  // the page's marks, when it sent them
    };
    bool parseRunRequest(const std::string& text, httplib::Response& res, RunRequest& out) {
        const auto body = BodyJson(text, res);
        if (!body) return false;
        if (!Seconds(*body, "start", out.start, res) || !Seconds(*body, "duration", out.duration, res)) return false;
        if (body->is_object() && body->contains("areas")) {
            out.config = parseDocument((*body)["areas"], res);
            if (!out.config) return false;
            return !body->contains("marks") || parseMarks((*body)["marks"], *out.config, res, out.marks);
        }
        out.config = LoadAreasFile(areasPath);
        return true;
    }

    // The video's facts, probed again when the file changed since.
    // The page's marks as a truth text, or a 400 answer.
    bool parseMarks(const json& marks, const AreasConfig& config, httplib::Response& res,
                    std::optional<EditorTruth>& out) {
        try {
            out = MarksAsTruth(MarksFromJson(marks, config, static_cast<int64_t>(runFrameTimes()->size())));
            return true;
        } catch (const ToolError& e) {
            SendError(res, 400, e.what());
            return false;
        }
    }

    // What a run is scored against: the page's marks, else the truth file.
    std::optional<EditorTruth> truthFor(const RunRequest& ask) {
        if (ask.marks) return ask.marks;
        std::lock_guard<std::mutex> lock(truthMutex);
        return truth;
    }

    std::shared_ptr<const std::vector<double>> runFrameTimes() {
        std::lock_guard<std::mutex> lock(frameTimesMutex);
        struct stat now {};
        const bool same = ::stat(cmd.video.c_str(), &now) == 0 && now.st_ino == frameTimesStat.st_ino &&
                          now.st_dev == frameTimesStat.st_dev && now.st_size == frameTimesStat.st_size &&
                          now.st_mtim.tv_sec == frameTimesStat.st_mtim.tv_sec &&
                          now.st_mtim.tv_nsec == frameTimesStat.st_mtim.tv_nsec;
        if (!frameTimes || !same) {
            frameTimes = std::make_shared<const std::vector<double>>(RunFrameTimes(cmd.video));
            frameTimesStat = now;
        }
        return frameTimes;
    }

    VideoFacts currentFacts() {
        std::lock_guard<std::mutex> lock(factsMutex);
        struct stat now {};
        if (::stat(cmd.video.c_str(), &now) == 0 &&
            (now.st_ino != videoStat.st_ino || now.st_dev != videoStat.st_dev || now.st_size != videoStat.st_size ||
             now.st_mtim.tv_sec != videoStat.st_mtim.tv_sec || now.st_mtim.tv_nsec != videoStat.st_mtim.tv_nsec)) {
            probed = ProbeVideo(cmd.video);
            videoStat = now;
        }
        return probed;
    }

    json info() {
        const VideoFacts facts = currentFacts();
        json j{{"video", fs::path(cmd.video).filename().string()},
               {"width", facts.width},
               {"height", facts.height},
               {"fps", facts.fps},
               {"first_time", Tidy(facts.firstTime)},
               {"duration", facts.duration > 0 ? json(facts.duration) : json(nullptr)},
               {"frames", facts.frames >= 0 ? json(facts.frames) : json(nullptr)},
               {"areas_file", areasPath},
               {"truth_file", truthStore ? json(truthStore->path()) : json(nullptr)},
               {"max_body", kMaxRequestBody}};
        j["live"] = cmd.liveSource.empty() ? json(nullptr) : json(cmd.liveSource);
        j["record_seconds"] = cmd.recordSeconds;
        return j;
    }

    json areasAnswer() const {
        const AreasSnapshot s = store.read();
        json j{{"exists", s.exists}, {"version", s.version}, {"text", s.text}, {"path", areasPath}};
        j["document"] = nullptr;
        j["error"] = nullptr;
        if (s.exists) {
            try {
                const AreasConfig c = ParseAreas(s.text, areasPath);
                j["document"] = json::parse(FormatAreasDocument(s.text, c));
                j["warnings"] = c.warnings;
            } catch (const ToolError& e) {
                j["error"] = e.what();
            }
        }
        return j;
    }

    // The server's limits, socket options, headers, the guard of every
    // request and the answers to errors and exceptions.
    void setUpServer() {
        http.set_payload_max_length(kMaxRequestBody);
        // cpp-httplib's default sets SO_REUSEPORT, with which a second
        // server (another editor, or any program of the same user) binds the
        // same port and takes part of the requests. SO_REUSEADDR alone only
        // allows a restart while old connections linger.
        http.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
        http.set_default_headers({{"Cache-Control", "no-store"},
                                  {"X-Content-Type-Options", "nosniff"},
                                  {"X-Frame-Options", "DENY"},
                                  {"Referrer-Policy", "no-referrer"},
                                  {"Content-Security-Policy",
                                   "default-src 'self'; img-src 'self' blob:; frame-ancestors 'none'"}});
        http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;  // the handler's own message
            if (res.status == 404) SendError(res, 404, "no such page or API call: " + req.method + " " + req.path);
            else if (res.status == 413) SendError(res, 413, "refused: the body is larger than 1 MiB");
            else if (res.body.empty()) SendError(res, res.status, "refused");
        });
        http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            try {
                std::rethrow_exception(ep);
            } catch (const ToolError& e) {
                SendError(res, 422, e.what());
            } catch (const std::exception& e) {
                SendError(res, 500, e.what());
            } catch (...) {
                SendError(res, 500, "internal error");
            }
        });
    }

    // The page's own files, embedded in the tool.
    void servePageFiles() {
        for (std::size_t i = 0; i < kEmbeddedFileCount; ++i) {
            const EmbeddedFile& f = kEmbeddedFiles[i];
            auto serve = [&f](const httplib::Request&, httplib::Response& res) {
                res.set_content(reinterpret_cast<const char*>(f.data), f.size, MimeType(f.name));
            };
            const std::string name = f.name;
            get("/" + name, serve);
            if (name == "index.html") get("/", serve);
        }
    }

    // GET /api/frame?t=SECONDS: the frame shown at that time, as PNG.
    void getFrame(const httplib::Request& req, httplib::Response& res) {
        double t = 0.0;
        if (req.get_param_value_count("t") > 1) return SendError(res, 400, "t: given more than once");
        if (req.has_param("t")) {
            const std::string v = req.get_param_value("t");
            if (!ParseSeconds(v, t))
                return SendError(res, 400, "t: expected a number of seconds, 0 or more, got '" + v + "'");
        }
        BgrImage img;
        double shown = 0.0;
        FrameAt(cmd.video, t, img, shown);
        res.set_header("X-Frame-Time", std::to_string(shown));
        res.set_content(PngBytes(img), "image/png");
    }

    // GET /api/areas: the areas file, or with ?version only its version.
    void getAreas(const httplib::Request& req, httplib::Response& res) {
        if (req.has_param("version")) {  // the cheap question a page polls
            const AreasSnapshot s = store.read();
            return SendJson(res, 200, json{{"exists", s.exists}, {"version", s.version}});
        }
        SendJson(res, 200, areasAnswer());
    }

    // PUT /api/areas: saves the areas file; the answer says whether it
    // overwrote a version other than the one the page had read (X-Areas-Base).
    void putAreas(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        const auto body = ReadBody(reader, res);
        if (!body) return;
        try {
            const SaveResult r = store.save(*body, req.get_header_value("X-Areas-Base"));
            json answer{{"version", r.version},
                        {"path", areasPath},
                        {"overwrote_change", r.overwroteChange},
                        {"warnings", r.config.warnings},
                        {"areas", r.config.areas.size()}};
            if (cmd.saved) answer["applied"] = cmd.saved();
            SendJson(res, 200, answer);
        } catch (const AreasFileReadOnly& e) {
            SendError(res, 403, e.what());
        } catch (const ToolError& e) {
            const std::string msg = e.what();
            // Parser messages name the file; anything else is a write failure.
            SendError(res, msg.rfind(areasPath + ":", 0) == 0 ? 400 : 500, msg);
        }
    }

    // POST /api/rows: the picture rows each area of the page's document covers.
    void postRows(httplib::Response& res, const httplib::ContentReader& reader) {
        const auto text = ReadBody(reader, res);
        if (!text) return;
        const auto body = BodyJson(*text, res);
        if (!body) return;
        const auto config = parseDocument(*body, res);
        if (!config) return;
        const VideoFacts facts = currentFacts();
        json rows = json::array();
        for (const auto& area : CoveredRows(*config, facts.width, facts.height)) {
            json a = json::array();
            for (const auto& r : area) a.push_back({r.y, r.left, r.right});
            rows.push_back(std::move(a));
        }
        SendJson(res, 200, json{{"rows", rows}});
    }

    // POST /api/test: the detector run over the video (or a range), its
    // events and margins, and its score against the truth file.
    void postTest(httplib::Response& res, const httplib::ContentReader& reader) {
        const auto text = ReadBody(reader, res);
        RunRequest ask;
        if (!text || !parseRunRequest(*text, res, ask)) return;
        const VideoFacts facts = currentFacts();
        std::lock_guard<std::mutex> lock(runMutex);
        DetectorRun run = RunDetector(cmd.video, *ask.config, ask.start.value_or(0.0), ask.duration);
        rememberLightTests(*ask.config, run, facts);
        // What `run` reports and `tune` scores: triggers within a coil's
        // holdoff are neither listed nor scored.
        run.events = ReportedEvents(run.events, *ask.config);
        // The same event text as `run` writes, ids counting per test run.
        std::string events = "[";
        EventStamper stamper;
        for (const Event& e : run.events) {
            if (events.size() > 1) events += ",";
            events += SerializedEvent(stamper.trigger(e.frame, e.time, e.area, e.name)).json();
        }
        events += "]";
        json margins = json::array();
        for (const auto& series : run.margins) {
            json s = json::array();
            for (const auto& v : series) s.push_back(v ? Tidy(*v) : json(nullptr));
            margins.push_back(std::move(s));
        }
        json times = json::array();
        for (double t : run.times) times.push_back(Tidy(t));
        JsonLine answer;
        answer.add("start", run.start).add("frames", run.times.size()).addText("times", times.dump());
        answer.addText("events", events).addText("margins", margins.dump()).add("measured", run.measured);
        answer.addText("traffic", TrafficJson(run.traffic).dump());
        ordered_json truthScore = nullptr;
        if (const std::optional<EditorTruth> truth = truthFor(ask)) {
            // Truth frames count as `run` counts from the video's first
            // frame; a range starts later.
            const int64_t offset = run.times.empty() ? 0 : RunFrameIndex(facts, run.times.front());
            const TruthScore s = ScoreAgainstTruth(*truth, *ask.config, run, offset);
            json coils = json::array();
            for (const MatchCounts& c : s.coils)
                coils.push_back({{"hits", c.hits}, {"misses", c.misses}, {"false", c.falses}});
            json entries = json::array();
            for (const auto& e : s.entries)
                entries.push_back({{"frame", e.frame}, {"area", e.area},
                                   {"trigger", e.trigger >= 0 ? json(e.trigger) : json(nullptr)}});
            truthScore = {{"coils", coils}, {"event_hit", s.eventHit}, {"entries", entries}};
        }
        answer.addText("truth", truthScore.dump());
        res.set_content(answer.str(), "application/json");
    }

    // POST /api/tune: each coil's threshold chosen against the truth file.
    void postTune(httplib::Response& res, const httplib::ContentReader& reader) {
        const auto text = ReadBody(reader, res);
        if (!text) return;
        const auto body = BodyJson(*text, res);
        if (!body) return;
        if (!(body->is_object() && body->contains("marks")) && !truthFor(RunRequest{}))
            return SendError(res, 404, "no truth file and no marks: mark passages, or start the editor with --truth TRUTH.csv");
        RunRequest ask;
        if (!parseRunRequest(*text, res, ask)) return;
        const std::optional<EditorTruth> truth = truthFor(ask);
        const VideoFacts facts = currentFacts();
        std::lock_guard<std::mutex> lock(runMutex);
        const auto tuned = TuneCoils(*truth, *ask.config, cmd.video, ask.start.value_or(0.0), ask.duration, facts);
        auto counts = [](const MatchCounts& c) {
            return json{{"triggers", c.triggers}, {"hits", c.hits}, {"misses", c.misses}, {"false", c.falses}};
        };
        json thresholds = json::array(), coils = json::array();
        for (const CoilTuning& t : tuned) {
            thresholds.push_back(json::parse(t.threshold));
            coils.push_back({{"name", t.name}, {"threshold", t.threshold}, {"before", counts(t.before)},
                             {"after", counts(t.after)}});
        }
        SendJson(res, 200, json{{"thresholds", thresholds}, {"coils", coils}});
    }

    void rememberLightTests(const AreasConfig& config, const DetectorRun& run, const VideoFacts& facts) {
        const int64_t offset = run.times.empty() ? 0 : RunFrameIndex(facts, run.times.front());
        lastLight.areasText = AreasToText(config);
        lastLight.frames.clear();
        for (const auto& [frame, records] : run.lightTested) lastLight.frames[frame + offset] = records;
    }

    // POST /api/light: {"areas", "frame"}: run's frame `frame` as PNG with
    // the light view over it; the detector's blob where the last Test with
    // these coils and settings ran its light test on that frame.
    void postLight(httplib::Response& res, const httplib::ContentReader& reader) {
        const auto text = ReadBody(reader, res);
        if (!text) return;
        const auto body = BodyJson(*text, res);
        if (!body) return;
        if (!body->is_object() || !body->contains("areas") || !(*body)["frame"].is_number_unsigned())
            return SendError(res, 400, "expected {\"areas\": DOCUMENT, \"frame\": N}");
        const auto config = parseDocument((*body)["areas"], res);
        if (!config) return;
        const auto times = runFrameTimes();
        const uint64_t frame = (*body)["frame"].get<uint64_t>();
        if (frame >= times->size())
            return SendError(res, 422, "frame " + std::to_string(frame) + " is beyond the clip's end (its frames are 0 to " +
                                           std::to_string(static_cast<int64_t>(times->size()) - 1) + ")");
        BgrImage img;
        double shown = 0.0;
        FrameAt(cmd.video, (*times)[frame], img, shown);
        tarvocoil::Detector det;
        ApplyAreas(det, *config);
        std::vector<tarvocoil::AreaMeasurement> measured;
        {
            std::lock_guard<std::mutex> lock(runMutex);
            const auto it = lastLight.frames.find(static_cast<int64_t>(frame));
            if (lastLight.areasText == AreasToText(*config) && it != lastLight.frames.end()) measured = it->second;
        }
        PaintLightPicture(img, img.view(), AreaRowsOf(det), measured.empty() ? nullptr : &measured, det.settings());
        res.set_header("X-Frame-Time", std::to_string(shown));
        res.set_header("X-Light-Tested", measured.empty() ? "0" : "1");
        res.set_content(PngBytes(img), "image/png");
    }

    // POST /api/record: records the live source again, in the background;
    // GET /api/record tells how far it is.
    void postRecord(httplib::Response& res, const httplib::ContentReader& reader) {
        if (!ReadBody(reader, res)) return;
        if (cmd.liveSource.empty()) return SendError(res, 404, "the editor was started on a file, not a live source");
        std::lock_guard<std::mutex> lock(recordMutex);
        if (recording.running) return SendError(res, 409, "a recording is running already");
        if (recorder.joinable()) recorder.join();
        recording = Recording{true, 0.0, "", ""};
        recorder = std::thread([this] { recordAgain(); });
        SendJson(res, 202, recordAnswer());
    }

    json recordAnswer() const {
        return json{{"recording", recording.running}, {"seconds", Tidy(recording.seconds)},
                    {"of", cmd.recordSeconds}, {"error", recording.error.empty() ? json(nullptr) : json(recording.error)},
                    {"done", recording.done.empty() ? json(nullptr) : json(recording.done)}};
    }

    void recordAgain() {
        StreamRecordOptions o;
        o.source = cmd.liveSource;
        o.out = cmd.video;  // replaced whole when the new clip is complete
        o.seconds = cmd.recordSeconds;
        o.stallSeconds = cmd.stallSeconds;
        o.overwrite = true;
        o.stop = &stopRecording;
        o.progress = [this](double s) {
            std::lock_guard<std::mutex> lock(recordMutex);
            recording.seconds = s;
        };
        std::string error, done;
        try {
            const StreamRecording r = cmd.record ? cmd.record(o) : RecordStream(o);
            done = "recorded " + Secs(r.seconds) + " s" + (r.cutShort ? " (the stream ended early)" : "");
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::lock_guard<std::mutex> lock(recordMutex);
        recording.running = false;
        recording.error = error;
        recording.done = done;
    }

    // GET /api/frames: the time of each of `run`'s frames, so that the page
    // counts frames as `run` does.
    void getFrames(httplib::Response& res) {
        const auto times = runFrameTimes();
        json t = json::array();
        for (double v : *times) t.push_back(Tidy(v));
        SendJson(res, 200, json{{"times", t}});
    }

    // GET /api/truth: the truth file's rows as written (coils by name or
    // index: the page resolves them against its coils).
    void getTruth(httplib::Response& res) {
        json j{{"path", truthStore ? json(truthStore->path()) : json(nullptr)}, {"exists", false},
               {"rows", json::array()}, {"error", nullptr}};
        const std::optional<std::string> text = truthStore ? truthStore->read() : std::nullopt;
        if (text) {
            j["exists"] = true;
            try {
                for (const TruthRow& r : ParseTruthRows(*text, truthStore->path()))
                    j["rows"].push_back({{"frame", r.frame}, {"area", r.area}});
            } catch (const ToolError& e) {
                j["error"] = e.what();
            }
        }
        SendJson(res, 200, j);
    }

    // PUT /api/truth: {"areas", "marks"}: saves the marks as the truth file;
    // no marks write nothing.
    void putTruth(httplib::Response& res, const httplib::ContentReader& reader) {
        const auto text = ReadBody(reader, res);
        if (!text) return;
        if (!truthStore) return SendError(res, 404, "no truth file to save to: start the editor with --truth TRUTH.csv");
        const auto body = BodyJson(*text, res);
        if (!body) return;
        if (!body->is_object() || !body->contains("areas") || !body->contains("marks"))
            return SendError(res, 400, "expected {\"areas\": DOCUMENT, \"marks\": [...]}");
        const auto config = parseDocument((*body)["areas"], res);
        if (!config) return;
        std::vector<TruthRow> marks;
        try {
            marks = MarksFromJson((*body)["marks"], *config, static_cast<int64_t>(runFrameTimes()->size()));
        } catch (const ToolError& e) {
            return SendError(res, 400, e.what());
        }
        const std::string path = truthStore->path();
        if (marks.empty())
            return SendJson(res, 200, json{{"written", false}, {"path", path}, {"marks", 0},
                                           {"message", "no marks: nothing written to " + path}});
        try {
            const std::string saved = truthStore->save(marks);
            std::lock_guard<std::mutex> lock(truthMutex);
            truth = EditorTruth{path, saved};
        } catch (const FileReadOnly& e) {
            return SendError(res, 403, e.what());
        }
        SendJson(res, 200, json{{"written", true}, {"path", path}, {"marks", marks.size()},
                                {"message", "Saved " + std::to_string(marks.size()) + " mark" +
                                                (marks.size() == 1 ? "" : "s") + " to " + path}});
    }

    // POST /api/search: `tune --search` in the background; GET shows how far it is.
    void postSearch(httplib::Response& res, const httplib::ContentReader& reader) {
        const auto text = ReadBody(reader, res);
        if (!text) return;
        RunRequest ask;
        if (!parseRunRequest(*text, res, ask)) return;
        const std::optional<EditorTruth> truth = truthFor(ask);
        if (!truth)
            return SendError(res, 404, "no truth file and no marks: mark passages, or start the editor with --truth TRUTH.csv");
        const double start = ask.start.value_or(0.0);
        std::vector<TruthEntry> entries = TruthForRun(*truth, *ask.config, cmd.video, start, currentFacts());
        if (!search.start(*ask.config, std::move(entries), cmd.video, start, ask.duration, 400))
            return SendError(res, 409, "a search is running: cancel it or wait for it");
        SendJson(res, 202, search.status());
    }

    void routes() {
        setUpServer();
        servePageFiles();

        get("/api/info", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, 200, info()); });

        get("/api/frame", [this](const httplib::Request& req, httplib::Response& res) { getFrame(req, res); });

        get("/api/areas", [this](const httplib::Request& req, httplib::Response& res) { getAreas(req, res); });

        put("/api/areas", [this](const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& reader) { putAreas(req, res, reader); });

        post("/api/rows", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { postRows(res, reader); });

        post("/api/test", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { postTest(res, reader); });

        post("/api/tune", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { postTune(res, reader); });

        get("/api/frames", [this](const httplib::Request&, httplib::Response& res) { getFrames(res); });

        post("/api/light", [this](const httplib::Request&, httplib::Response& res,
                                       const httplib::ContentReader& reader) { postLight(res, reader); });

        post("/api/record", [this](const httplib::Request&, httplib::Response& res,
                                        const httplib::ContentReader& reader) { postRecord(res, reader); });

        get("/api/record", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(recordMutex);
            SendJson(res, 200, recordAnswer());
        });

        get("/api/truth", [this](const httplib::Request&, httplib::Response& res) { getTruth(res); });

        put("/api/truth", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { putTruth(res, reader); });

        post("/api/search", [this](const httplib::Request&, httplib::Response& res,
                                        const httplib::ContentReader& reader) { postSearch(res, reader); });
        get("/api/search", [this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, 200, search.status());
        });
        post("/api/search/cancel", [this](const httplib::Request&, httplib::Response& res,
                                               const httplib::ContentReader& reader) {
            if (!ReadBody(reader, res)) return;
            search.cancel();
            SendJson(res, 200, search.status());
        });
    }
};

EditServer::EditServer(const EditCommand& cmd) : impl_(new Impl(cmd)) {
    Impl& m = *impl_;
    if (::stat(cmd.video.c_str(), &m.videoStat) != 0) m.videoStat = {};
    m.probed = ProbeVideo(cmd.video);
    if (!cmd.truth.empty()) {
        m.truthStore.emplace(cmd.truth);
        // Created on the first save of marks when it does not exist yet.
        std::error_code exists;
        if (fs::exists(cmd.truth, exists)) m.truth = ReadEditorTruth(cmd.truth);
        if (const int stale = RemoveStaleTemporaries(cmd.truth))
            Warn("removed " + std::to_string(stale) + " temporary file(s) of an interrupted save beside '" + cmd.truth + "'");
    }
    std::error_code ec;
    const fs::path dir = fs::absolute(m.areasPath, ec).parent_path();
    if (!fs::is_directory(dir, ec))
        throw ToolError("cannot keep the areas file '" + m.areasPath + "': its folder does not exist");
    m.store.read();  // a directory or an unreadable file fails now, not on the first request
    if (const int stale = m.store.removeStaleTemporaries())
        Warn("removed " + std::to_string(stale) + " temporary file(s) of an interrupted save beside '" + m.areasPath + "'");
    m.routes();
}

EditServer::~EditServer() = default;

int EditServer::bind() {
    Impl& m = *impl_;
    const std::string problem = AddressProblem(m.cmd.host);
    if (!problem.empty()) throw ToolError("cannot listen on '" + m.cmd.host + "': not a valid address (" + problem + ")");
    if (m.cmd.port == 0)
        m.port = m.http.bind_to_any_port(m.cmd.host);
    else
        m.port = m.http.bind_to_port(m.cmd.host, m.cmd.port) ? m.cmd.port : -1;
    if (m.port <= 0)
        throw ToolError("cannot listen on " + m.cmd.host + ":" + std::to_string(m.cmd.port) + " (" +
                        BindProblem(m.cmd.host, m.cmd.port, "in use? try --port N") + ")");
    return m.port;
}

void EditServer::serve() { impl_->http.listen_after_bind(); }
void EditServer::stop() { impl_->http.stop(); }
const std::string& EditServer::areasPath() const { return impl_->areasPath; }

bool EditServer::TakesBody(const std::string& method, const std::string& path) {
    return tarvotool::TakesBody(method, path);
}

bool EditServer::handle(const std::string& path, const httplib::Request& req, httplib::Response& res,
                        const httplib::ContentReader* reader) {
    Impl& m = *impl_;
    try {
        if (req.method == "GET" || req.method == "HEAD") {
            const auto it = m.gets.find(path);
            if (it == m.gets.end()) return false;
            it->second(req, res);
            return true;
        }
        const auto it = m.bodies.find({req.method, path});
        if (it == m.bodies.end() || !reader) return false;
        it->second(req, res, *reader);
    } catch (const ToolError& e) {  // as this server's own exception handler answers
        SendError(res, 422, e.what());
    } catch (const std::exception& e) {
        SendError(res, 500, e.what());
    }
    return true;
}

std::string EditServer::url() const {
    std::string host = impl_->cmd.host;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}

namespace {

// The clip a live source is edited on: --record-to, else a temporary file
// removed when the editor ends.
struct LiveClip {
    std::string path;
    bool temporary = false;
    ~LiveClip() {
        if (temporary) std::remove(path.c_str());
    }
};

void RecordFirstClip(EditCommand& cmd, LiveClip& clip, const volatile std::sig_atomic_t* stop) {
    if (cmd.areas.empty() && cmd.recordTo.empty())
        throw ToolError("editing a live source needs --areas FILE (or --record-to CLIP, the areas file then "
                        "goes beside it)");
    clip.path = cmd.recordTo;
    if (clip.path.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "tarvocoil-live-XXXXXX.mkv").string();
        const int fd = mkstemps(tmpl.data(), 4);
        if (fd < 0) throw ToolError("cannot create a temporary file for the recording: " + std::string(std::strerror(errno)));
        close(fd);
        clip.path = tmpl;
        clip.temporary = true;
    }
    StreamRecordOptions o;
    o.source = cmd.video;
    o.out = clip.path;
    o.seconds = cmd.recordSeconds;
    o.stallSeconds = cmd.stallSeconds;
    o.overwrite = cmd.overwrite || clip.temporary;
    o.stop = stop;
    o.progress = [&](double s) {
        std::fprintf(stderr, "\rrecording %s: %.1f of %s s", cmd.video.c_str(), s, Secs(cmd.recordSeconds).c_str());
        std::fflush(stderr);
    };
    const StreamRecording r = RecordStream(o);
    std::fprintf(stderr, "\n");
    if (StopRequested(stop)) throw ToolError("stopped while recording '" + cmd.video + "'");
    if (r.cutShort) Warn("'" + cmd.video + "' ended after " + Secs(r.seconds) + " s: the clip is shorter than asked");
    cmd.liveSource = cmd.video;
    cmd.video = clip.path;
    if (cmd.areas.empty()) cmd.areas = DefaultAreasPath(clip.path);
}

}  // namespace

int RunEditor(const EditCommand& command) {
    // Ctrl-C and SIGTERM go to one thread that stops the recording or the
    // server, so that no handler runs inside the server's threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    static volatile std::sig_atomic_t stop = 0;
    std::mutex serverMutex;
    EditServer* running = nullptr;
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        RequestStop(&stop);  // read by the recording and the main thread
        std::lock_guard<std::mutex> lock(serverMutex);
        if (running) running->stop();
    });
    struct Wake {
        std::thread& waiter;
        ~Wake() {
            // serve() also returns when listening fails, and an error may
            // come first: wake the waiter then.
            pthread_kill(waiter.native_handle(), SIGTERM);
            waiter.join();
        }
    } wake{waiter};

    EditCommand cmd = command;
    LiveClip clip;
    if (cmd.live) RecordFirstClip(cmd, clip, &stop);
    EditServer server(cmd);
    server.bind();
    if (!IsLoopback(cmd.host))
        Warn("listening on " + cmd.host + ": anyone who can reach this address can read the video and change '" +
             server.areasPath() + "'");
    std::printf("tarvocoil edit: %s\nareas file: %s%s\n", cmd.video.c_str(), server.areasPath().c_str(),
                fs::exists(server.areasPath()) ? "" : " (created on the first save)");
    if (!cmd.truth.empty())
        std::printf("truth file: %s%s\n", cmd.truth.c_str(), fs::exists(cmd.truth) ? "" : " (created on the first save)");
    std::printf("open %s in a browser; Ctrl-C stops.\n", server.url().c_str());
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> lock(serverMutex);
        running = &server;
        if (StopRequested(&stop)) server.stop();
    }
    server.serve();
    std::lock_guard<std::mutex> lock(serverMutex);
    running = nullptr;
    return 0;
}

}  // namespace tarvotool
