// serve_http.h - the service's web server: the page, its JSON API and the
// metrics.
//
//   GET  /                         the page (web/serve/, compiled in)
//   GET  /api/status               every camera's state, counts and coils
//   GET  /api/cameras/NAME/picture the camera's latest frame with its coils
//                                  drawn, PNG (404 until there is one);
//                                  asking is what makes the camera paint
//   POST /api/reload               reads the site and areas files again
//   /cameras/NAME/edit/...         the coil editor for that camera, on a
//                                  clip of its running stream (camera_editor.h):
//                                  the editor's page and API under that prefix
//   GET  /metrics                  Prometheus text format
// As the editor's server: requests whose Host header is not this server's
// address are refused (DNS rebinding), POSTs from another site's page too;
// slow clients are dropped by the request gate (tools/edit/edit_http.h);
// bodies are taken only by the routes that read one, up to 64 KiB (the
// editor's, 1 MiB).
// With a password file every request needs HTTP Basic credentials
// (401 without, 429 while a failed client address must wait).
#ifndef TARVOCOIL_TOOLS_SERVE_SERVE_HTTP_H
#define TARVOCOIL_TOOLS_SERVE_SERVE_HTTP_H

#include <memory>
#include <string>

#include "tools/serve/http_auth.h"
#include "tools/serve/site.h"

namespace tarvotool {

class ServeHttp {
public:
    // auth: null when no credentials are asked for; not owned.
    ServeHttp(Site& site, std::string host, int port, BasicAuth* auth = nullptr);
    ~ServeHttp();
    ServeHttp(const ServeHttp&) = delete;
    ServeHttp& operator=(const ServeHttp&) = delete;

    // Binds; returns the port. Throws ToolError when it cannot.
    int bind();
    // Serves until stop() (from any thread).
    void serve();
    void stop();
    std::string url() const;
    // The camera editors nobody used for a while: closed, their clips removed.
    void closeIdleEditors();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvotool

#endif
