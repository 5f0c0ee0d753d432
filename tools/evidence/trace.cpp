// trace.cpp - trace records written as JSON Lines or CSV (read back by
// trace_reader.cpp).
#include "tools/evidence/trace.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/events/events.h"
#include "tools/loop/paths.h"

namespace tarvotool {

namespace {

using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

const char* KindText(AreaMeasurement::Kind k) { return k == AreaMeasurement::Kind::Baseline ? "baseline" : "detect"; }

const char* RefreshText(AreaMeasurement::Refresh r) {
    switch (r) {
        case AreaMeasurement::Refresh::Copy: return "copy";
        case AreaMeasurement::Refresh::Exchange: return "exchange";
        default: return "none";
    }
}

nlohmann::ordered_json LimitJson(const LimitValue& v) {
    if (v.state == LimitValue::State::Value) return v.value;
    return TraceSink::LimitText(v);
}

std::string TimeText(double t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", t);
    return buf;
}

}  // namespace

std::string TraceSink::LimitText(const LimitValue& v) {
    switch (v.state) {
        case LimitValue::State::NotANumber: return "nan";
        case LimitValue::State::SaturatedHigh: return "saturated-high";
        case LimitValue::State::SaturatedLow: return "saturated-low";
        default: return std::to_string(v.value);
    }
}

TraceSink::TraceSink(const std::string& path, TraceFormat format, std::vector<std::string> names, bool frontLight)
    : path_(path), format_(format), names_(std::move(names)), frontLight_(frontLight) {
    out_ = std::fopen(path.c_str(), "w");
    if (!out_) throw ToolError("cannot write trace file '" + path + "': " + std::strerror(errno));
    if (format_ == TraceFormat::Csv) std::fputs(CsvHeader(), out_);
}

TraceSink::~TraceSink() {
    if (out_) std::fclose(out_);
}

const char* TraceSink::CsvHeader() {
    return "frame,time,area,name,kind,reason,greySum,mean,referenceGrey,sampleCount,bgDiffSum,presenceLimit,prevDiffSum,"
           "stillLimit,stillCount,refresh,present,result,lightTested,blobX,blobY,blobWidth,blobHeight,blobTotal,"
           "blobMeanRun,suppressed\n";
}

std::string TraceSink::Jsonl(const ProcessedFrame& f, std::size_t area, const std::string& name,
                             const AreaMeasurement& m, bool frontLight, bool suppressed) {
    nlohmann::ordered_json j;
    j["area"] = area;
    j["name"] = name;
    j["kind"] = KindText(m.kind);
    if (m.kind == AreaMeasurement::Kind::Baseline && f.baselineCause != BaselineCause::None)
        j["reason"] = BaselineCauseText(f.baselineCause);
    j["greySum"] = m.greySum;
    j["mean"] = m.mean;
    if (m.kind == AreaMeasurement::Kind::Detect) j["referenceGrey"] = m.referenceGrey;
    j["sampleCount"] = m.sampleCount;
    if (m.kind == AreaMeasurement::Kind::Detect) {
        j["bgDiffSum"] = m.bgDiffSum;
        j["presenceLimit"] = LimitJson(m.presenceLimit);
        j["prevDiffSum"] = m.prevDiffSum;
        j["stillLimit"] = LimitJson(m.stillLimit);
        j["stillCount"] = m.stillCount;
        j["refresh"] = RefreshText(m.refresh);
        j["present"] = m.present;
        j["result"] = m.result;
        if (suppressed) j["suppressed"] = true;
        if (frontLight) {
            nlohmann::ordered_json light;
            light["tested"] = m.lightTested;
            if (m.blobFound) {
                light["blob"] = {{"x", m.blob.x},         {"y", m.blob.y},         {"width", m.blob.width},
                                 {"height", m.blob.height}, {"total", m.blob.total}, {"meanRun", m.blob.meanRun}};
            } else {
                light["blob"] = nullptr;
            }
            j["light"] = light;
        }
    }
    return JsonLine().add("frame", f.index).addSeconds("time", f.time).addAll(j).str() + "\n";
}

std::string TraceSink::Csv(const ProcessedFrame& f, std::size_t area, const std::string& name,
                           const AreaMeasurement& m, bool suppressed) {
    const bool detect = m.kind == AreaMeasurement::Kind::Detect;
    auto opt = [detect](const std::string& v) { return detect ? v : std::string(); };
    std::string s = std::to_string(f.index) + "," + TimeText(f.time) + "," + std::to_string(area) + "," +
                    EventWriter::CsvField(name) + "," + KindText(m.kind) + "," +
                    (detect ? "" : BaselineCauseText(f.baselineCause)) + "," + std::to_string(m.greySum) + "," +
                    std::to_string(m.mean) + "," + opt(std::to_string(m.referenceGrey)) + "," +
                    std::to_string(m.sampleCount) + "," + opt(std::to_string(m.bgDiffSum)) + "," +
                    opt(LimitText(m.presenceLimit)) + "," + opt(std::to_string(m.prevDiffSum)) + "," +
                    opt(LimitText(m.stillLimit)) + "," + opt(std::to_string(m.stillCount)) + "," +
                    opt(RefreshText(m.refresh)) + "," + opt(m.present ? "true" : "false") + "," +
                    opt(std::to_string(m.result)) + ",";
    if (detect && m.lightTested) {
        s += "true,";
        if (m.blobFound)
            s += std::to_string(m.blob.x) + "," + std::to_string(m.blob.y) + "," + std::to_string(m.blob.width) + "," +
                 std::to_string(m.blob.height) + "," + std::to_string(m.blob.total) + "," +
                 std::to_string(m.blob.meanRun);
        else
            s += ",,,,,";
    } else {
        s += (detect ? "false" : "") + std::string(",,,,,,");
    }
    return s + (suppressed ? ",true\n" : ",\n");
}

void TraceSink::frame(const ProcessedFrame& f) {
    ++frames_;
    if (!f.measurements) return;
    const auto& ms = *f.measurements;
    std::string text;
    for (std::size_t a = 0; a < ms.size(); ++a) {
        const std::string& name = a < names_.size() ? names_[a] : std::string();
        const bool held = suppressed_ && a < suppressed_->size() && (*suppressed_)[a] != 0;
        text += format_ == TraceFormat::Csv ? Csv(f, a, name, ms[a], held) : Jsonl(f, a, name, ms[a], frontLight_, held);
    }
    records_ += static_cast<int64_t>(ms.size());
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out_) != text.size())
        throw ToolError("cannot write trace file '" + path_ + "': " + std::strerror(errno));
}

void TraceSink::finish() {
    if (!out_) return;
    CloseOutput(out_, path_, "trace file");
    if (frames_ > 0 && records_ == 0) Warn("trace '" + path_ + "': the detector recorded no measurements");
}

}  // namespace tarvotool
