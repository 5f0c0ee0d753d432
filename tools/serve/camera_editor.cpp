// camera_editor.cpp - a camera's editor sessions: the recording, then the
// editor on the clip.
#include "tools/serve/camera_editor.h"

#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/edit/edit_server.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/video_source.h"

namespace tarvotool {

namespace {

using Steady = std::chrono::steady_clock;

void SendError(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

std::string HtmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A camera's recording through its own decoding thread, whichever run of
// the camera is current (a save or a reload restarts it).
StreamRecording RecordCamera(Site& site, const std::string& name, const StreamRecordOptions& o) {
    const std::shared_ptr<Camera> cam = site.camera(name);
    if (!cam) throw ToolError("there is no camera '" + name + "' any more");
    return cam->record(o);
}

}  // namespace

struct CameraEditors::Session {
    std::string camera, clip;
    double seconds = CameraEditors::kDefaultRecordSeconds;
    std::mutex mu;  // what follows
    double recorded = 0.0;
    std::string error;
    std::shared_ptr<EditServer> editor;  // once the first clip is complete
    Steady::time_point lastUsed = Steady::now();
    volatile std::sig_atomic_t stop = 0;
    std::thread recorder;

    ~Session() {
        RequestStop(&stop);  // read by the recording thread
        if (recorder.joinable()) recorder.join();
        editor.reset();  // its own recording and search end with it
        std::remove(clip.c_str());
    }

    void record(Site& site) {
        try {
            const std::shared_ptr<Camera> cam = site.camera(camera);
            if (!cam) throw ToolError("there is no camera '" + camera + "'");
            StreamRecordOptions o;
            o.source = "camera " + camera;
            o.out = clip;
            o.seconds = seconds;
            o.stallSeconds = cam->config().live.stallSeconds;
            o.overwrite = true;
            o.stop = &stop;
            o.progress = [this](double s) {
                std::lock_guard<std::mutex> lock(mu);
                recorded = s;
            };
            const StreamRecording r = cam->record(o);
            if (r.cutShort)
                Warn("camera '" + camera + "': the clip for its editor ended after " + Secs(r.seconds) + " s");
            EditCommand cmd;
            cmd.video = clip;
            cmd.areas = cam->config().areas;
            cmd.liveSource = o.source;
            cmd.recordSeconds = seconds;
            cmd.stallSeconds = o.stallSeconds;
            const std::string name = camera;
            cmd.record = [&site, name](const StreamRecordOptions& again) { return RecordCamera(site, name, again); };
            cmd.saved = [&site, name] { return site.reloadCamera(name).message; };
            auto made = std::make_shared<EditServer>(cmd);
            std::lock_guard<std::mutex> lock(mu);
            editor = std::move(made);
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(mu);
            error = e.what();
        }
    }
};

CameraEditors::CameraEditors(Site& site) : site_(site) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarvocoil-serve-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw ToolError("cannot create a folder for the editor's clips: " + std::string(std::strerror(errno)));
    dir_ = tmpl;
}

CameraEditors::~CameraEditors() {
    std::map<std::string, std::shared_ptr<Session>> all;
    {
        std::lock_guard<std::mutex> lock(mu_);
        all.swap(sessions_);
    }
    all.clear();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void CameraEditors::closeIdle() {
    std::vector<std::shared_ptr<Session>> idle;  // closed after the lock is released
    std::lock_guard<std::mutex> lock(mu_);
    const auto now = Steady::now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        std::unique_lock<std::mutex> s(it->second->mu);
        const bool unused = now - it->second->lastUsed > kIdle;
        s.unlock();
        if (!unused) {
            ++it;
            continue;
        }
        idle.push_back(it->second);
        it = sessions_.erase(it);
    }
}

std::shared_ptr<CameraEditors::Session> CameraEditors::open(const std::string& camera, const httplib::Request& req,
                                                            httplib::Response& res) {
    closeIdle();
    std::lock_guard<std::mutex> lock(mu_);
    if (const auto it = sessions_.find(camera); it != sessions_.end()) return it->second;
    if (!site_.camera(camera)) {
        SendError(res, 404, "there is no camera '" + camera + "'");
        return nullptr;
    }
    auto s = std::make_shared<Session>();
    if (req.has_param("seconds")) {
        const std::string v = req.get_param_value("seconds");
        char* end = nullptr;
        const double seconds = std::strtod(v.c_str(), &end);
        if (v.empty() || end != v.c_str() + v.size() || !std::isfinite(seconds) || seconds <= 0 ||
            seconds > kMaxRecordSeconds) {
            SendError(res, 400, "seconds: expected a clip length of more than 0 and at most " +
                                    Secs(kMaxRecordSeconds) + " s, got '" + v + "'");
            return nullptr;
        }
        s->seconds = seconds;
    }
    s->camera = camera;
    s->clip = dir_ + "/" + camera + ".mkv";
    s->recorder = std::thread([this, raw = s.get()] { raw->record(site_); });
    sessions_[camera] = s;
    return s;
}

void CameraEditors::waitingPage(Session& s, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(s.mu);
    const std::string name = HtmlText(s.camera);
    std::string body = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    if (s.error.empty()) {
        body += "<meta http-equiv=\"refresh\" content=\"1\"><title>Recording " + name + "</title></head><body>";
        body += "<p>Recording a clip of camera " + name + " for its editor: " + Secs(std::floor(s.recorded)) + " of " +
                Secs(s.seconds) + " s. The editor opens when it is complete.</p>";
        res.status = 202;
    } else {
        body += "<title>No clip of " + name + "</title></head><body>";
        body += "<p>No clip of camera " + name + " could be recorded: " + HtmlText(s.error) +
                "</p><p>Load this page again to try again.</p>";
        res.status = 502;
    }
    body += "</body></html>\n";
    res.set_content(body, "text/html; charset=utf-8");
}

void CameraEditors::handle(const std::string& camera, const std::string& path, const httplib::Request& req,
                           httplib::Response& res, const httplib::ContentReader* reader) {
    const std::shared_ptr<Session> s = open(camera, req, res);
    if (!s) return;
    std::shared_ptr<EditServer> editor;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->lastUsed = Steady::now();
        editor = s->editor;
        error = s->error;
    }
    if (editor) {
        if (!editor->handle(path, req, res, reader))
            SendError(res, 404, "no such page or API call: " + req.method + " " + req.path);
        return;
    }
    if ((req.method == "GET" || req.method == "HEAD") && (path == "/" || path == "/index.html")) {
        waitingPage(*s, res);
    } else if (error.empty()) {
        res.set_header("Retry-After", "1");
        SendError(res, 503, "the clip of camera '" + camera + "' for its editor is being recorded");
    } else {
        SendError(res, 502, error);
    }
    if (error.empty()) return;
    // Shown once: the next request records again.
    std::lock_guard<std::mutex> lock(mu_);
    if (const auto it = sessions_.find(camera); it != sessions_.end() && it->second == s) sessions_.erase(it);
}

}  // namespace tarvotool
