// camera_editor.h - the coil editor for a camera of the site, served by the
// service itself under /cameras/NAME/edit/ (the same port, credentials and
// request checks as the rest of it), on a clip recorded from the camera's
// running stream: the camera's decoding thread hands its packets over, so
// the source sees no second connection.
//
// The first request for a camera's editor starts the recording and shows
// how far it is until the clip is complete; from then on the editor is
// `tarvocoil edit` on that clip and the camera's areas file, and its
// Record button records again the same way. A save writes the areas file
// (atomically, as the editor does) and restarts that camera alone. Clips
// live in a temporary folder of the service; a camera's editor that nobody
// used for kIdle is closed and its clip removed (closeIdle, which the
// service calls every minute, and before opening an editor), and all of
// them at exit.
#ifndef TARVOCOIL_TOOLS_SERVE_CAMERA_EDITOR_H
#define TARVOCOIL_TOOLS_SERVE_CAMERA_EDITOR_H

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tools/serve/site.h"

namespace httplib {
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace tarvotool {

class CameraEditors {
public:
    static constexpr double kDefaultRecordSeconds = 60.0;
    static constexpr double kMaxRecordSeconds = 600.0;
    static constexpr std::chrono::minutes kIdle{15};

    // Creates the folder for the clips; throws ToolError when it cannot.
    explicit CameraEditors(Site& site);
    ~CameraEditors();  // stops recordings, closes the editors, removes the clips
    CameraEditors(const CameraEditors&) = delete;
    CameraEditors& operator=(const CameraEditors&) = delete;

    // A request for `path` ("/", "/api/info", ...) of the camera's editor.
    // The first one records the clip (?seconds=S sets its length, default
    // kDefaultRecordSeconds); until it is complete the page says how far
    // the recording is, and the API answers 503. reader: null without a body.
    void handle(const std::string& camera, const std::string& path, const httplib::Request& req,
                httplib::Response& res, const httplib::ContentReader* reader);
    // Closes the editors nobody used for kIdle and removes their clips.
    void closeIdle();

private:
    struct Session;
    std::shared_ptr<Session> open(const std::string& camera, const httplib::Request& req, httplib::Response& res);
    void waitingPage(Session& s, httplib::Response& res);

    Site& site_;
    std::string dir_;  // the clips
    std::mutex mu_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
};

}  // namespace tarvotool

#endif
