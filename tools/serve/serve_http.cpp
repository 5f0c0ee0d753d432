// serve_http.cpp - the service's routes and its request guard.
#include "tools/serve/serve_http.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/edit/edit_http.h"
#include "tools/edit/edit_server.h"
#include "tools/edit/edit_video.h"
#include "tools/edit/http_address.h"
#include "tools/serve/camera_editor.h"
#include "tools/serve/serve_assets.h"
#include "tools/serve/site_report.h"

namespace tarvotool {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxBody = 64 * 1024;  // of the service's own requests; the editor's take kMaxRequestBody

// /cameras/NAME/edit/PATH: a camera's editor (camera_editor.h).
const char* const kEditorRoute = R"(/cameras/([A-Za-z0-9_-]{1,64})/edit(/.*))";

// The editor's own path of a request for a camera's editor, or empty.
std::string EditorPath(const std::string& path) {
    static const std::regex route(kEditorRoute);
    std::smatch m;
    return std::regex_match(path, m, route) ? m[2].str() : std::string();
}

void SendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
    SendJson(res, status, json{{"error", message}});
}

const char* MimeType(const std::string& name) {
    auto ends = [&](const std::string& ext) {
        return name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

std::string MediaType(const std::string& value) {
    std::string type = value.substr(0, value.find(';'));
    const std::size_t first = type.find_first_not_of(" \t"), last = type.find_last_not_of(" \t");
    type = first == std::string::npos ? "" : type.substr(first, last - first + 1);
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

HttpLimits Limits() {
    HttpLimits limits;
    limits.maxBodyBytes = kMaxRequestBody;
    return limits;
}

}  // namespace

struct ServeHttp::Impl {
    Site& site;
    std::string host;
    int wantedPort;
    BasicAuth* auth;
    int port = 0;
    GatedHttpServer http{Limits()};
    CameraEditors editors;

    Impl(Site& s, std::string h, int p, BasicAuth* a)
        : site(s), host(std::move(h)), wantedPort(p), auth(a), editors(s) {}

    // Credentials, when the site asks for them: false after answering.
    bool authorised(const httplib::Request& req, httplib::Response& res) const {
        if (!auth) return true;
        const BasicAuth::Verdict v = auth->check(req.get_header_value("Authorization"), req.remote_addr);
        if (v == BasicAuth::Verdict::Allowed) return true;
        if (v == BasicAuth::Verdict::Slowed) {
            res.set_header("Retry-After", std::to_string(std::max(1, auth->retryAfter(req.remote_addr))));
            SendError(res, 429, "refused: too many failed attempts from this address; try again later");
            return false;
        }
        res.set_header("WWW-Authenticate", "Basic realm=\"tarvocoil\", charset=\"UTF-8\"");
        SendError(res, 401, v == BasicAuth::Verdict::Missing ? "credentials needed" : "wrong user or password");
        return false;
    }

    double uptime() const {
        return std::chrono::duration<double>(std::chrono::system_clock::now() - site.startedAt()).count();
    }

    // Why a request is refused; 0 when it is not.
    int refusal(const httplib::Request& req, std::string& why) const {
        if (req.get_header_value_count("Host") > 1) {
            why = "refused: more than one Host header";
            return 400;
        }
        const std::string hostHeader = req.get_header_value("Host");
        if (!HostNamesServer(hostHeader, host, port)) {
            why = "refused: the Host header '" + hostHeader + "' is not this server's address";
            return 403;
        }
        const bool bodyMethod = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                                req.method == "DELETE" || req.method == "PRI";
        // A body is read only where a route takes one: cpp-httplib would
        // read any other whole.
        const std::string editorPath = EditorPath(req.path);
        const bool editor = !editorPath.empty() && EditServer::TakesBody(req.method, editorPath);
        if (bodyMethod && !editor && !(req.method == "POST" && req.path == "/api/reload")) {
            why = "no such page or API call: " + req.method + " " + req.path;
            return 404;
        }
        if (req.method != "POST" && req.method != "PUT") return 0;
        // Another site's page may send simple cross-site POSTs; it can
        // neither hide its Origin nor send JSON without asking first.
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && origin != "http://" + hostHeader) {
            why = "refused: a request from another site (" + origin + ")";
            return 403;
        }
        if (MediaType(req.get_header_value("Content-Type")) != "application/json") {
            why = "refused: the body must be application/json";
            return 415;
        }
        if (req.has_header("Content-Length") &&
            std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
                (editor ? kMaxRequestBody : kMaxBody)) {
            why = "refused: the body is too large";
            return 413;
        }
        return 0;
    }

    void setUp() {
        http.set_payload_max_length(kMaxRequestBody);
        // No SO_REUSEPORT: a second server on the same port must fail, not
        // take part of the requests.
        http.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            std::string why;
            const int status = refusal(req, why);
            if (status != 0) SendError(res, status, why);
            if (status != 0 || !authorised(req, res)) return httplib::Server::HandlerResponse::Handled;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        http.set_default_headers({{"Cache-Control", "no-store"},
                                  {"X-Content-Type-Options", "nosniff"},
                                  {"X-Frame-Options", "DENY"},
                                  {"Referrer-Policy", "no-referrer"},
                                  {"Content-Security-Policy", "default-src 'self'; img-src 'self' blob:; "
                                                              "frame-ancestors 'none'"}});
        http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;
            if (res.status == 404) SendError(res, 404, "no such page or API call: " + req.method + " " + req.path);
            else SendError(res, res.status, "refused");
        });
        http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                SendError(res, 500, e.what());
            } catch (...) {
                SendError(res, 500, "internal error");
            }
        });
    }

    void routes() {
        for (std::size_t i = 0; i < servepage::kEmbeddedFileCount; ++i) {
            const servepage::EmbeddedFile& f = servepage::kEmbeddedFiles[i];
            auto serveFile = [&f](const httplib::Request&, httplib::Response& res) {
                res.set_content(reinterpret_cast<const char*>(f.data), f.size, MimeType(f.name));
            };
            const std::string name = f.name;
            http.Get("/" + name, serveFile);
            if (name == "index.html") http.Get("/", serveFile);
        }
        http.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, 200, StatusJson(site.status(), uptime(), site.lastReload()));
        });
        http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(MetricsText(site.status(), uptime()), "text/plain; version=0.0.4; charset=utf-8");
        });
        http.Get(R"(/api/cameras/([A-Za-z0-9_-]{1,64})/picture)",
                 [this](const httplib::Request& req, httplib::Response& res) {
                     const std::optional<BgrImage> img = site.picture(req.matches[1].str());
                     if (!img) return SendError(res, 404, "no picture of camera '" + req.matches[1].str() + "' yet");
                     res.set_content(PngBytes(*img), "image/png");
                 });
        http.Post("/api/reload", [this](const httplib::Request&, httplib::Response& res) {
            const ReloadResult r = site.reload();
            SendJson(res, r.ok ? 200 : 422, json{{"ok", r.ok}, {"message", r.message}});
        });
        editorRoutes();
    }

    // A camera's editor: its page relative to /cameras/NAME/edit/.
    void editorRoutes() {
        http.Get(R"(/cameras/([A-Za-z0-9_-]{1,64})/edit)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_redirect(req.path + "/");
        });
        http.Get(kEditorRoute, [this](const httplib::Request& req, httplib::Response& res) {
            editors.handle(req.matches[1].str(), req.matches[2].str(), req, res, nullptr);
        });
        const auto withBody = [this](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
            editors.handle(req.matches[1].str(), req.matches[2].str(), req, res, &reader);
        };
        http.Put(kEditorRoute, withBody);
        http.Post(kEditorRoute, withBody);
    }
};

ServeHttp::ServeHttp(Site& site, std::string host, int port, BasicAuth* auth)
    : impl_(new Impl(site, std::move(host), port, auth)) {
    impl_->setUp();
    impl_->routes();
}

ServeHttp::~ServeHttp() = default;

int ServeHttp::bind() {
    Impl& m = *impl_;
    const std::string problem = AddressProblem(m.host);
    if (!problem.empty()) throw ToolError("cannot listen on '" + m.host + "': not a valid address (" + problem + ")");
    m.port = m.wantedPort == 0 ? m.http.bind_to_any_port(m.host)
                               : (m.http.bind_to_port(m.host, m.wantedPort) ? m.wantedPort : -1);
    if (m.port <= 0)
        throw ToolError("cannot listen on " + m.host + ":" + std::to_string(m.wantedPort) + " (" +
                        BindProblem(m.host, m.wantedPort, "in use") + ")");
    return m.port;
}

void ServeHttp::serve() { impl_->http.listen_after_bind(); }
void ServeHttp::stop() { impl_->http.stop(); }

void ServeHttp::closeIdleEditors() { impl_->editors.closeIdle(); }

std::string ServeHttp::url() const {
    std::string h = impl_->host;
    if (h.find(':') != std::string::npos) h = "[" + h + "]";
    return "http://" + h + ":" + std::to_string(impl_->port) + "/";
}

}  // namespace tarvotool
