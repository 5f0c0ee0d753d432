// camera_events.cpp - per-camera daily event files and delivery.
#include "tools/serve/camera_events.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include "host/errors.h"

namespace tarvotool {

namespace fs = std::filesystem;

void CheckEventsDir(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw ToolError("events folder '" + dir + "': cannot create it (" + ec.message() + ")");
    if (!fs::is_directory(dir, ec)) throw ToolError("events folder '" + dir + "' is not a folder");
    std::string probe = (fs::path(dir) / ".tarvocoil-write-check-XXXXXX").string();
    const int fd = mkstemp(probe.data());
    if (fd < 0) throw ToolError("events folder '" + dir + "': cannot write in it (" + std::strerror(errno) + ")");
    close(fd);
    unlink(probe.c_str());
}

std::string DailyEventsFile(const std::string& camera, std::chrono::system_clock::time_point t) {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char day[32];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return camera + "-" + day + ".jsonl";
}

CameraEvents::CameraEvents(std::string dir, std::string camera, Delivery* delivery, WarnFn warn)
    : dir_(std::move(dir)), camera_(std::move(camera)), delivery_(delivery), warn_(std::move(warn)) {}

CameraEvents::~CameraEvents() { close(); }

bool CameraEvents::openFor(std::chrono::system_clock::time_point t) {
    const std::string name = DailyEventsFile(camera_, t);
    if (file_ && name == fileName_) return true;
    if (file_) std::fclose(file_);
    fileName_ = name;
    const std::string path = (fs::path(dir_) / name).string();
    file_ = std::fopen(path.c_str(), "ae");
    if (!file_ && !failing_) {
        failing_ = true;
        if (warn_) warn_("camera '" + camera_ + "': cannot open '" + path + "' (" + std::strerror(errno) +
                         "); its events still go to the receivers");
    }
    return file_ != nullptr;
}

void CameraEvents::write(EventRecord e) {
    e.camera = camera_;
    const SerializedEvent event(std::move(e));
    const std::string& line = event.json();
    std::lock_guard<std::mutex> lock(mu_);
    if (!dir_.empty() && openFor(event.record().wallTime)) {
        const bool ok = std::fputs((line + "\n").c_str(), file_) >= 0 && std::fflush(file_) == 0;
        if (!ok && !failing_) {
            failing_ = true;
            if (warn_) warn_("camera '" + camera_ + "': cannot write to '" + fileName_ + "' in '" + dir_ + "' (" +
                             std::strerror(errno) + "); its events still go to the receivers");
        } else if (ok && failing_) {
            failing_ = false;
            if (warn_) warn_("camera '" + camera_ + "': writing events to '" + fileName_ + "' again");
        }
        if (!ok) {  // opened again on the next event
            std::fclose(file_);
            file_ = nullptr;
        }
    }
    if (delivery_) delivery_->deliver(event);
    ++written_;
}

void CameraEvents::close() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

uint64_t CameraEvents::written() const {
    std::lock_guard<std::mutex> lock(mu_);
    return written_;
}

}  // namespace tarvotool
