// edit_server.h - `tarvocoil edit`: the coil editor's local web server.
//
// Serves the editor page and a JSON API over one video and one areas file:
//   GET  /api/info            video size, rate, duration, frame count, files
//   GET  /api/frame?t=S       the frame on screen at S seconds, as PNG
//   GET  /api/areas           the areas file as it is on disk, and its version
//   PUT  /api/areas           save an areas document (validated; atomic; FILE.bak)
//   POST /api/rows            the rows the detector covers for a document's areas
//   POST /api/test            run the detector over the clip or a range
//   POST /api/tune            recommended thresholds (with a truth file or marks)
//   GET  /api/frames          the time of each of `run`'s frames
//   GET  /api/truth           the truth file's rows
//   PUT  /api/truth           save the page's marks as the truth file
//   POST /api/light           a frame with the light view over it, as PNG
//   POST /api/record          record a fresh clip of the live source
//   GET  /api/record          how that recording goes
//   POST /api/search, GET /api/search, POST /api/search/cancel
//                             the settings search in the background (edit_search.h)
// Requests whose Host header is not this server's address (or that carry
// two), bodies over 1 MiB however they are sent (413), JSON nested deeper
// than kMaxJsonDepth (400), cross-site writes and anything else are
// refused; a client that has not sent its request (head, and a body of
// declared length) within 10 s is dropped (408), and each client address may hold 32 connections at once
// (see edit_http.h). /api/info follows the video file when it is replaced.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_SERVER_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_SERVER_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "tools/media/stream_record.h"

namespace httplib {
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace tarvotool {

struct EditCommand {
    std::string video;
    std::string areas;  // empty: DefaultAreasPath(video)
    std::string truth;  // optional; created on the first save of marks
    std::string host = "127.0.0.1";
    int port = 8765;    // 0: any free port
    // A live source (rtsp://, udp://, /dev/video0, ...): RunEditor records
    // a clip of it first and edits on that; the page may record again.
    bool live = false;
    double recordSeconds = 60.0;
    std::string recordTo;  // the clip; empty: a temporary file removed at exit
    bool overwrite = false;  // record over an existing --record-to file
    double stallSeconds = 10.0;
    // Set by RunEditor for the server: the live source `video` was recorded from.
    std::string liveSource;
    // Set by a host that serves the editor on its own server (`serve`):
    // records a fresh clip of liveSource in place of RecordStream (which
    // opens the source again), and is told of each save of the areas file
    // (its answer goes back to the page as "applied").
    std::function<StreamRecording(const StreamRecordOptions&)> record;
    std::function<std::string()> saved;
};

constexpr std::size_t kMaxRequestBody = 1 << 20;

// road.mp4 -> road.areas.json, beside the video.
std::string DefaultAreasPath(const std::string& video);

class EditServer {
public:
    // Opens the video and the truth file; throws ToolError.
    explicit EditServer(const EditCommand& cmd);
    ~EditServer();
    EditServer(const EditServer&) = delete;
    EditServer& operator=(const EditServer&) = delete;

    // Binds the address; returns the port. Throws ToolError when it cannot.
    int bind();
    // Serves until stop() (from any thread).
    void serve();
    void stop();
    std::string url() const;
    const std::string& areasPath() const;

    // Answers a request for one of the editor's own paths ("/", "/api/info",
    // ...) that came to a host's server under a prefix of its own. The
    // host's guard checks the address, the origin, the content type and
    // the body limits as this server's does (TakesBody says which requests
    // carry a body; none larger than kMaxRequestBody); reader is null for
    // requests without one. False when the editor has no such path.
    bool handle(const std::string& path, const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader* reader);
    static bool TakesBody(const std::string& method, const std::string& path);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The whole command: prints the URL, serves until SIGINT or SIGTERM.
int RunEditor(const EditCommand& cmd);

}  // namespace tarvotool

#endif
