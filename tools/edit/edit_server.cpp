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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/edit/edit_assets.h"
#include "tools/edit/edit_store.h"
#include "tools/edit/edit_truth.h"
#include "tools/edit/edit_video.h"
#include "host/event_json.h"
#include "tools/events/events.h"
#include "tools/edit/edit_http.h"
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

bool IsIpLiteral(const std::string& name) {
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, name.c_str(), &a4) == 1) return true;
    return name.size() > 2 && name.front() == '[' && name.back() == ']' &&
           inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), &a6) == 1;
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The host part and port of a Host header ("name:port", "[v6]:port", "name").
bool SplitHost(const std::string& value, std::string& name, int& port) {
    std::size_t colon = value.rfind(':');
    if (!value.empty() && value.back() == ']') colon = std::string::npos;
    name = colon == std::string::npos ? value : value.substr(0, colon);
    port = 80;
    if (colon != std::string::npos) {
        const std::string p = value.substr(colon + 1);
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
        port = std::stoi(p);
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !name.empty();
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
bool TakesBody(const httplib::Request& req) {
    if (req.method == "PUT") return req.path == "/api/areas";
    if (req.method == "POST") return req.path == "/api/rows" || req.path == "/api/test" || req.path == "/api/tune";
    return false;
}

// The methods whose body cpp-httplib reads before routing.
bool MayHaveBody(const httplib::Request& req) {
    return req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE" ||
           req.method == "PRI";
}

// Whether `host` is an address this machine can listen on; names are
// looked up, numbers are not.
std::string AddressProblem(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    if (host.find_first_not_of("0123456789.") == std::string::npos || host.find(':') != std::string::npos)
        hints.ai_flags |= AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const int err = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found) freeaddrinfo(found);
    return err == 0 ? "" : gai_strerror(err);
}

// Why host:port cannot be bound, as the system says it: an address that is
// not this machine's is no matter of trying another port.
std::string BindProblem(const std::string& host, int port) {
    const std::string inUse = "in use? try --port N";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return inUse;
    const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    int yes = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const int err = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 ? errno : 0;
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return err == 0 || err == EADDRINUSE ? inUse : std::strerror(err);
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
    std::optional<EditorTruth> truth;
    AreasStore store;
    GatedHttpServer http{BodyLimits()};
    int port = 0;
    std::mutex runMutex;  // one detector run at a time: they are the heavy requests

    explicit Impl(const EditCommand& c)
        : cmd(c), areasPath(c.areas.empty() ? DefaultAreasPath(c.video) : c.areas), store(areasPath) {}

    // Whether a Host header names this server: an address DNS cannot
    // rebind (an IP literal or localhost) with this server's port.
    bool hostAllowed(const std::string& value) const {
        std::string name;
        int p = 0;
        if (!SplitHost(value, name, p) || p != port) return false;
        std::string bound = cmd.host;
        if (bound.find(':') != std::string::npos && bound.front() != '[') bound = "[" + bound + "]";
        if (name == bound) return true;
        if (IsLoopback(cmd.host)) return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
        if (cmd.host == "0.0.0.0" || cmd.host == "::") return name == "localhost" || IsIpLiteral(name);
        return false;
    }

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
        if (MayHaveBody(req) && !TakesBody(req)) return {404, "no such page or API call: " + req.method + " " + req.path};
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
    };
    bool parseRunRequest(const std::string& text, httplib::Response& res, RunRequest& out) {
        const auto body = BodyJson(text, res);
        if (!body) return false;
        if (!Seconds(*body, "start", out.start, res) || !Seconds(*body, "duration", out.duration, res)) return false;
        if (body->is_object() && body->contains("areas")) {
            out.config = parseDocument((*body)["areas"], res);
            return out.config.has_value();
        }
        out.config = LoadAreasFile(areasPath);
        return true;
    }

    // The video's facts, probed again when the file changed since.
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
               {"truth_file", truth ? json(truth->path) : json(nullptr)},
               {"max_body", kMaxRequestBody}};
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
            http.Get("/" + name, serve);
            if (name == "index.html") http.Get("/", serve);
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
            SendJson(res, 200,
                     json{{"version", r.version},
                          {"path", areasPath},
                          {"overwrote_change", r.overwroteChange},
                          {"warnings", r.config.warnings},
                          {"areas", r.config.areas.size()}});
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
        ordered_json truthScore = nullptr;
        if (truth) {
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
        if (!truth) return SendError(res, 404, "no truth file: start the editor with --truth TRUTH.csv");
        RunRequest ask;
        if (!parseRunRequest(*text, res, ask)) return;
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

    void routes() {
        setUpServer();
        servePageFiles();

        http.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, 200, info()); });

        http.Get("/api/frame", [this](const httplib::Request& req, httplib::Response& res) { getFrame(req, res); });

        http.Get("/api/areas", [this](const httplib::Request& req, httplib::Response& res) { getAreas(req, res); });

        http.Put("/api/areas", [this](const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& reader) { putAreas(req, res, reader); });

        http.Post("/api/rows", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { postRows(res, reader); });

        http.Post("/api/test", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { postTest(res, reader); });

        http.Post("/api/tune", [this](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) { postTune(res, reader); });
    }
};

EditServer::EditServer(const EditCommand& cmd) : impl_(new Impl(cmd)) {
    Impl& m = *impl_;
    if (::stat(cmd.video.c_str(), &m.videoStat) != 0) m.videoStat = {};
    m.probed = ProbeVideo(cmd.video);
    if (!cmd.truth.empty()) m.truth = ReadEditorTruth(cmd.truth);
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
                        BindProblem(m.cmd.host, m.cmd.port) + ")");
    return m.port;
}

void EditServer::serve() { impl_->http.listen_after_bind(); }
void EditServer::stop() { impl_->http.stop(); }
const std::string& EditServer::areasPath() const { return impl_->areasPath; }

std::string EditServer::url() const {
    std::string host = impl_->cmd.host;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}

int RunEditor(const EditCommand& cmd) {
    // Ctrl-C and SIGTERM go to one thread that stops the server, so that
    // no handler runs inside the server's threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    EditServer server(cmd);
    server.bind();
    if (!IsLoopback(cmd.host))
        Warn("listening on " + cmd.host + ": anyone who can reach this address can read the video and change '" +
             server.areasPath() + "'");
    std::printf("tarvocoil edit: %s\nareas file: %s%s\nopen %s in a browser; Ctrl-C stops.\n", cmd.video.c_str(),
                server.areasPath().c_str(), fs::exists(server.areasPath()) ? "" : " (created on the first save)",
                server.url().c_str());
    std::fflush(stdout);
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        server.stop();
    });
    server.serve();
    // serve() also returns when listening fails; wake the waiter then.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}

}  // namespace tarvotool
