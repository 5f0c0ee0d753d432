// video_source.cpp - the time window over a video reader.
#include "tools/media/video_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/errors.h"

namespace tarvotool {

std::string Secs(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", s);
    return buf;
}

void ToSourceFrame(const VideoFrame& f, SourceFrame& out) {
    out.picture = f.picture;
    out.time = f.time;
    out.fileIndex = f.index;
    out.decodedWidth = f.decodedWidth;
    out.decodedHeight = f.decodedHeight;
    out.keep = f.keep;
}

VideoSource::VideoSource(VideoReader& reader, const std::string& name, double start, std::optional<double> duration,
                         bool strict)
    : reader_(reader), name_(name), start_(start), end_(duration ? start + *duration : INFINITY), strict_(strict) {
    reader_.seek(start);
}

bool VideoSource::read(VideoFrame& f) {
    const int64_t errorsBefore = reader_.decodeErrors();
    const bool got = reader_.next(f);
    if (strict_ && reader_.decodeErrors() > errorsBefore)
        throw ToolError("'" + name_ + "': decoding error after " + std::to_string(delivered_) +
                        " processed frames (--strict makes it fatal)");
    if (!got) {
        if (strict_ && reader_.lostFrames() > 0)
            throw ToolError("'" + name_ + "': " + std::to_string(reader_.lostFrames()) +
                            " frames lost to damage (--strict makes it fatal)");
        if (strict_ && !truncation().empty()) throw ToolError(truncation() + " (--strict makes it fatal)");
        ended_ = true;
        return false;
    }
    if (f.time >= end_ - 1e-9) {
        beyond_ = true;
        beyondTime_ = f.time;
        ended_ = true;
        return false;
    }
    return true;
}

bool VideoSource::prime() {
    if (!havePrimed_ && !ended_ && delivered_ == 0) havePrimed_ = read(primed_);
    return havePrimed_;
}

bool VideoSource::next(SourceFrame& out) {
    VideoFrame f;
    if (havePrimed_) {
        f = primed_;
        havePrimed_ = false;
    } else if (ended_ || !read(f)) {
        return false;
    }
    ToSourceFrame(f, out);
    std::string change = sizes_.change(out);
    if (!change.empty()) {
        out.newBaseline = BaselineCause::SizeChange;
        out.baselineNote = std::move(change);
    }
    ++delivered_;
    return true;
}

int64_t VideoSource::expectedFrames() const {
    const double length = reader_.containerDuration();
    if (length <= 0) return -1;
    const double span = std::min(length, end_) - start_;
    return span > 0 ? static_cast<int64_t>(std::ceil(span * reader_.frameRate() - 1e-6)) : -1;
}

void VideoSource::warnAboutInput(bool streamChosen) const {
    if (reader_.videoStreams() > 1 && !streamChosen)
        Warn("'" + name_ + "' has " + std::to_string(reader_.videoStreams()) + " video streams; using stream " +
             std::to_string(reader_.streamIndex()) + " (choose another with --stream N)");
    if (reader_.rotation() != 0)
        Warn("'" + name_ + "' carries a display rotation of " + std::to_string(reader_.rotation()) +
             " degrees, which players apply; the tool does not: area coordinates and pictures refer to the frames as "
             "stored");
}

void VideoSource::checkEnd(const LoopStats& stats) const {
    if (!stats.stopped && stats.processed < 2) throw ToolError(emptyReason());
    if (reader_.decodeErrors() > 0 || reader_.lostFrames() > 0)
        Warn("'" + name_ + "' is damaged: " + std::to_string(reader_.decodeErrors()) + " decoding errors, " +
             std::to_string(reader_.lostFrames()) +
             " frames lost; frame indices after the damage count the frames that could be decoded");
    if (!truncation().empty()) Warn(truncation());
}

std::string VideoSource::truncation() const {
    const double stated = reader_.statedLength();
    const double frame = 1.0 / std::max(1.0, reader_.frameRate());
    if (!reader_.atEnd() || stated <= 0.0 || reader_.lastDecodedTime() < 0.0 ||
        reader_.lastDecodedTime() + 2.0 * frame >= stated)
        return "";
    return "'" + name_ + "' ends at " + Secs(reader_.lastDecodedTime()) + " s, before the length its header states (" +
           Secs(stated) + " s): the file was cut short";
}

std::string VideoSource::emptyReason() const {
    if (delivered_ == 1)
        return "'" + name_ + "' gave only one frame" + (start_ > 0 || std::isfinite(end_) ? " in the range asked for" : "") +
               "; the detector needs at least two (the first one takes its baseline)";
    if (reader_.decodedFrames() == 0) return "cannot decode any frame of '" + name_ + "'";
    const std::string range = std::isfinite(end_) ? "between " + Secs(start_) + " s and " + Secs(end_) + " s"
                                                  : "at or after " + Secs(start_) + " s";
    if (beyond_)
        return "'" + name_ + "' has no frames " + range + " (the next frame is at " + Secs(beyondTime_) + " s)";
    return "'" + name_ + "' ends before " + Secs(start_) + " s (its last frame is at " +
           Secs(reader_.lastDecodedTime()) + " s)";
}

}  // namespace tarvotool
