// trace_test.cpp - `run --trace`: the detector's own numbers, frame by frame.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "tests/tool/tool_test_util.h"
#include "tools/evidence/trace.h"

using namespace tooltest;
using tarvocoil::AreaMeasurement;
using tarvocoil::LimitValue;

namespace {

std::vector<std::string> Keys(const nlohmann::ordered_json& j) {
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    return keys;
}

nlohmann::json Limit(const LimitValue& v) {
    if (v.state == LimitValue::State::Value) return v.value;
    return tarvotool::TraceSink::LimitText(v);
}

}  // namespace

TEST(Trace, RecordsAreTheKeysInOrderWithLimitStatesAndLight) {
    int32_t flags[2] = {0, 1};
    tarvotool::ProcessedFrame f;
    f.index = 7;
    f.time = 0.28;
    f.flags = flags;
    f.areaCount = 2;
    f.baseline = true;
    f.baselineCause = tarvotool::BaselineCause::SizeChange;
    AreaMeasurement base;
    base.greySum = 1001;
    base.mean = 10;
    base.sampleCount = 101;
    const auto b = nlohmann::ordered_json::parse(tarvotool::TraceSink::Jsonl(f, 0, "a", base, true));
    EXPECT_EQ(Keys(b), (std::vector<std::string>{"frame", "time", "area", "name", "kind", "reason", "greySum",
                                                 "mean", "sampleCount"}));
    EXPECT_EQ(b["kind"], "baseline");
    EXPECT_EQ(b["reason"], "size-change");
    const std::string baseCsv = tarvotool::TraceSink::Csv(f, 0, "a", base);
    f.baseline = false;
    f.baselineCause = tarvotool::BaselineCause::None;

    AreaMeasurement m = base;
    m.kind = AreaMeasurement::Kind::Detect;
    m.referenceGrey = 9;
    m.bgDiffSum = 500;
    m.presenceLimit.state = LimitValue::State::NotANumber;
    m.stillLimit.state = LimitValue::State::SaturatedHigh;
    m.stillLimit.value = INT64_MAX;
    m.refresh = AreaMeasurement::Refresh::Exchange;
    m.present = true;
    m.result = 1;
    m.lightTested = true;
    m.blobFound = true;
    m.blob = {3, 4, 30, 25, 700, 28};
    const auto d = nlohmann::ordered_json::parse(tarvotool::TraceSink::Jsonl(f, 1, "b \"q\"", m, true));
    EXPECT_EQ(Keys(d), (std::vector<std::string>{"frame", "time", "area", "name", "kind", "greySum", "mean",
                                                 "referenceGrey", "sampleCount", "bgDiffSum", "presenceLimit",
                                                 "prevDiffSum", "stillLimit", "stillCount", "refresh", "present",
                                                 "result", "light"}));
    EXPECT_EQ(d["frame"], 7);
    EXPECT_EQ(d["name"], "b \"q\"");
    EXPECT_EQ(d["presenceLimit"], "nan");
    EXPECT_EQ(d["stillLimit"], "saturated-high");
    EXPECT_EQ(d["refresh"], "exchange");
    EXPECT_EQ(d["light"].dump(), R"({"tested":true,"blob":{"x":3,"y":4,"width":30,"height":25,"total":700,"meanRun":28}})");
    m.blobFound = false;
    EXPECT_EQ(nlohmann::json::parse(tarvotool::TraceSink::Jsonl(f, 1, "b", m, true))["light"]["blob"], nullptr);
    EXPECT_FALSE(nlohmann::json::parse(tarvotool::TraceSink::Jsonl(f, 1, "b", m, false)).contains("light"));

    const std::string csv = tarvotool::TraceSink::Csv(f, 1, "b,c", m);
    EXPECT_EQ(csv, "7,0.280000,1,\"b,c\",detect,,1001,10,9,101,500,nan,0,saturated-high,0,exchange,true,1,true,,,,,,,\n");
    EXPECT_EQ(baseCsv, "7,0.280000,0,a,baseline,size-change,1001,10,,101,,,,,,,,,,,,,,,,\n");
    // A trigger held back by holdoff: marked in both forms, nothing else changes.
    const std::string held = tarvotool::TraceSink::Csv(f, 1, "b,c", m, true);
    EXPECT_EQ(held, csv.substr(0, csv.size() - 1) + "true\n");
    const auto heldJson = nlohmann::ordered_json::parse(tarvotool::TraceSink::Jsonl(f, 1, "b", m, true, true));
    EXPECT_EQ(heldJson["suppressed"], true);
    EXPECT_FALSE(nlohmann::json::parse(tarvotool::TraceSink::Jsonl(f, 1, "b", m, true)).contains("suppressed"));
}

// Compares the trace of a run with the measurement record of a detector
// driven frame by frame in this process. Needs the detector's measurement
// record: it fails while Detector::measurements() stays empty.
TEST(Trace, RunTraceIsTheDetectorsMeasurementRecordFrameByFrame) {
    const std::string areasPath = Scratch("trace-areas.json");
    WriteFile(areasPath, ClipAreasJson());
    const tarvotool::AreasConfig areas = tarvotool::LoadAreasFile(areasPath);
    const std::string trace = Scratch("trace.jsonl"), csv = Scratch("trace.csv");
    const CliResult r = RunCli({"run", ClipPath(), "--areas", areasPath, "--trace", trace, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const CliResult c = RunCli({"run", ClipPath(), "--areas", areasPath, "--trace", csv, "--trace-format", "csv", "-q"});
    ASSERT_EQ(c.status, 0) << c.err;

    const auto frames = MakeClip();
    tarvocoil::Detector det;
    tarvotool::ApplyAreas(det, areas);
    det.setMeasuring(true);
    std::vector<int32_t> flags(areas.areas.size());
    const std::vector<std::string> lines = Lines(ReadFile(trace));
    const std::vector<std::string> csvLines = Lines(ReadFile(csv));
    ASSERT_EQ(csvLines.at(0) + "\n", tarvotool::TraceSink::CsvHeader());
    std::size_t line = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::fill(flags.begin(), flags.end(), 0);
        ASSERT_TRUE(det.process(frames[i].view(), flags.data()));
        const auto& ms = det.measurements();
        ASSERT_EQ(ms.size(), areas.areas.size()) << "frame " << i << ": the detector recorded no measurements";
        for (std::size_t a = 0; a < ms.size(); ++a, ++line) {
            SCOPED_TRACE("frame " + std::to_string(i) + " area " + std::to_string(a));
            ASSERT_LT(line, lines.size());
            const auto j = nlohmann::json::parse(lines[line]);
            const AreaMeasurement& m = ms[a];
            EXPECT_EQ(j["frame"], i);
            EXPECT_NEAR(j["time"].get<double>(), i / 25.0, 1e-6);
            EXPECT_EQ(j["area"], a);
            EXPECT_EQ(j["name"], areas.areas[a].name);
            EXPECT_EQ(j["kind"], i == 0 ? "baseline" : "detect");
            EXPECT_EQ(j.value("reason", ""), i == 0 ? "start" : "");
            EXPECT_EQ(j["greySum"], m.greySum);
            EXPECT_EQ(j["mean"], m.mean);
            EXPECT_EQ(j["sampleCount"], m.sampleCount);
            if (i > 0) {
                EXPECT_EQ(j["referenceGrey"], m.referenceGrey);
                EXPECT_EQ(j["bgDiffSum"], m.bgDiffSum);
                EXPECT_EQ(j["presenceLimit"], Limit(m.presenceLimit));
                EXPECT_EQ(j["prevDiffSum"], m.prevDiffSum);
                EXPECT_EQ(j["stillLimit"], Limit(m.stillLimit));
                EXPECT_EQ(j["stillCount"], m.stillCount);
                EXPECT_EQ(j["present"], m.present);
                EXPECT_EQ(j["result"], flags[a]);
                EXPECT_EQ(m.result, flags[a]);
            }
            ASSERT_LT(line + 1, csvLines.size());
            tarvotool::ProcessedFrame f;
            f.index = static_cast<int64_t>(i);
            f.time = i / 25.0;
            f.baseline = i == 0;
            f.baselineCause = i == 0 ? tarvotool::BaselineCause::Start : tarvotool::BaselineCause::None;
            EXPECT_EQ(csvLines[line + 1] + "\n", tarvotool::TraceSink::Csv(f, a, areas.areas[a].name, m));
        }
    }
    EXPECT_EQ(line, lines.size());
    EXPECT_EQ(line + 1, csvLines.size());
}
