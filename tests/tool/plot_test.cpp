// plot_test.cpp - `tarvocoil plot`: a known trace, drawn, read back pixel by pixel.
#include <gtest/gtest.h>

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/evidence/plot.h"
#include "tests/tool/tool_test_util.h"
#include "tools/evidence/trace.h"

using namespace tooltest;
using namespace tarvotool;
using tarvocoil::AreaMeasurement;

namespace {

// Two areas, 250 frames at 25 fps. Area 0: the presence ratio is 0.5, and
// 1.5 over frames 40..60 and 120..130 with triggers on 40 and 120; the
// background is copied on frame 80 and the refresh refused on 160. Area 1
// triggers on 200.
std::string KnownTrace() {
    std::string out;
    for (int f = 0; f < 250; ++f)
        for (int a = 0; a < 2; ++a) {
            nlohmann::ordered_json j;
            j["frame"] = f;
            j["time"] = f / 25.0;
            j["area"] = a;
            j["name"] = a == 0 ? "lane 1" : "lane 2";
            if (f == 0) {
                j["kind"] = "baseline";
                j["greySum"] = 100001;
                j["mean"] = 100;
                j["sampleCount"] = 1000;
            } else {
                const bool high = a == 0 && ((f >= 40 && f <= 60) || (f >= 120 && f <= 130));
                j["kind"] = "detect";
                j["referenceGrey"] = 100;
                j["sampleCount"] = 1000;
                j["bgDiffSum"] = high ? 1500 : 500;
                j["presenceLimit"] = 1000;
                j["prevDiffSum"] = 200;
                j["stillLimit"] = 1000;
                j["refresh"] = a == 0 && f == 80 ? "copy" : a == 0 && f == 160 ? "exchange" : "none";
                j["present"] = high;
                j["result"] = (a == 0 && (f == 40 || f == 120)) || (a == 1 && f == 200) ? 1 : 0;
            }
            out += j.dump() + "\n";
        }
    return out;
}

struct Png {
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> s{nullptr, &cairo_surface_destroy};
    int width() const { return cairo_image_surface_get_width(s.get()); }
    int height() const { return cairo_image_surface_get_height(s.get()); }
    uint32_t at(double x, double y) const {
        const int xi = static_cast<int>(std::floor(x)), yi = static_cast<int>(std::floor(y));
        const unsigned char* row = cairo_image_surface_get_data(s.get()) + yi * cairo_image_surface_get_stride(s.get());
        return reinterpret_cast<const uint32_t*>(row)[xi] & 0xffffff;
    }
};

Png ReadPng(const std::string& path) {
    Png p;
    p.s.reset(cairo_image_surface_create_from_png(path.c_str()));
    EXPECT_EQ(cairo_surface_status(p.s.get()), CAIRO_STATUS_SUCCESS) << path;
    cairo_surface_flush(p.s.get());
    return p;
}

int Blueness(uint32_t rgb) { return static_cast<int>(rgb & 255) - static_cast<int>(rgb >> 16); }

}  // namespace

TEST(Plot, MarksLieWhereTheFramesSay) {
    const std::string trace = Scratch("known.jsonl"), truth = Scratch("known-truth.csv"), png = Scratch("known.png");
    WriteFile(trace, KnownTrace());
    WriteFile(truth, "frame,area\n38,lane 1\n100,0\n198,lane 2\n");
    const CliResult r = RunCli({"plot", trace, "--truth", truth, "--out", png, "--width", "1000", "--height", "600"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Png img = ReadPng(png);
    ASSERT_EQ(img.width(), 1000);
    ASSERT_EQ(img.height(), 600);

    PlotOptions o;
    o.width = 1000;
    o.height = 600;
    const PlotLayout L = LayoutPlot(ReadTrace(trace), o);
    ASSERT_EQ(L.panels.size(), 2u);
    const PlotLayout::Panel& p0 = L.panels[0];
    const PlotLayout::Panel& p1 = L.panels[1];
    auto x = [&](int frame) { return L.x(frame / 25.0); };
    EXPECT_EQ(img.at(x(40), p0.triggerRow), kPlotHit);      // took passage 38
    EXPECT_EQ(img.at(x(120), p0.triggerRow), kPlotFalse);   // took nothing
    EXPECT_EQ(img.at(x(200), p1.triggerRow), kPlotHit);
    EXPECT_EQ(img.at(x(80), p0.refreshRow), kPlotCopy);
    EXPECT_EQ(img.at(x(160), p0.refreshRow), kPlotExchange);
    EXPECT_EQ(img.at(x(38), p0.truthRow), kPlotHit);
    EXPECT_EQ(img.at(x(100), p0.truthRow), kPlotMiss);      // nothing within 97..110
    EXPECT_EQ(img.at(x(198), p1.truthRow), kPlotHit);
    for (int frame : {20, 80, 160, 230}) EXPECT_EQ(img.at(x(frame), p0.triggerRow), 0xffffffu) << frame;
    for (int frame : {40, 120, 200}) EXPECT_EQ(img.at(x(frame), p1.refreshRow), 0xffffffu) << frame;

    // The presence curve: 1.5 inside the passages, 0.5 outside.
    auto curveNear = [&](int frame, double ratio, const PlotLayout::Panel& p) {
        int best = -255;
        for (int dy = -1; dy <= 1; ++dy) best = std::max(best, Blueness(img.at(x(frame), L.y(p, ratio) + dy)));
        return best;
    };
    EXPECT_GT(curveNear(50, 1.5, p0), 60);
    EXPECT_GT(curveNear(90, 0.5, p0), 60);
    EXPECT_LT(curveNear(90, 1.5, p0), 20);
    EXPECT_GT(curveNear(50, 0.5, p1), 60);
}

TEST(Plot, WithoutTruthTriggersAreGreyAndSvgWorks) {
    const std::string trace = Scratch("plain.jsonl"), png = Scratch("plain.png"), svg = Scratch("plain.svg");
    WriteFile(trace, KnownTrace());
    ASSERT_EQ(RunCli({"plot", trace, "--out", png}).status, 0);
    const Png img = ReadPng(png);
    EXPECT_EQ(img.width(), 1600);
    EXPECT_EQ(img.height(), 90 + 2 * 250);
    const PlotLayout L = LayoutPlot(ReadTrace(trace), PlotOptions{});
    EXPECT_EQ(img.at(L.x(120 / 25.0), L.panels[0].triggerRow), kPlotTrigger);
    EXPECT_EQ(img.at(L.x(100 / 25.0), L.panels[0].truthRow), 0xffffffu);

    const CliResult r = RunCli({"plot", trace, "--out", svg, "--width", "800"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = ReadFile(svg);
    EXPECT_NE(text.find("<svg"), std::string::npos);
    EXPECT_NE(text.find("width=\"800"), std::string::npos);
}

TEST(Plot, BadTracesAndOptionsFailWithTheLine) {
    const std::string trace = Scratch("bad.jsonl");
    std::string text = KnownTrace();
    text.insert(text.find('\n') + 1, "{\"frame\": 1, \"area\": 0}\n");
    WriteFile(trace, text);
    CliResult r = RunCli({"plot", trace, "--out", Scratch("bad.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.jsonl:2: missing key \"time\""), std::string::npos) << r.err;
    WriteFile(trace, "{\"frame\": 0, \"time\": 0, \"area\": 0}\nnot json\n");
    r = RunCli({"plot", trace, "--out", Scratch("bad.png")});
    EXPECT_NE(r.err.find("bad.jsonl:2: not a JSON object"), std::string::npos) << r.err;
    WriteFile(trace, "\n");
    r = RunCli({"plot", trace, "--out", Scratch("bad.png")});
    EXPECT_NE(r.err.find("holds no trace rows"), std::string::npos) << r.err;
    WriteFile(trace, KnownTrace());
    r = RunCli({"plot", trace, "--out", Scratch("bad.jpg")});
    EXPECT_NE(r.err.find("expected a .png or .svg file"), std::string::npos) << r.err;
    r = RunCli({"plot", trace, "--out", Scratch("small.png"), "--height", "100"});
    EXPECT_NE(r.err.find("plot height: expected"), std::string::npos) << r.err;
    r = RunCli({"plot", trace, "--out", Scratch("no-such-dir/x.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write plot"), std::string::npos) << r.err;
}

TEST(Plot, RethresholdRecomputesLimitsAndEdges) {
    PlotData d;
    AreaMeasurement base;
    d.add(0, "a", 0, 0.0, base);
    const int64_t sums[] = {15000, 25000, 25000, 15000, 25000};
    for (int f = 1; f <= 5; ++f) {
        AreaMeasurement m;
        m.kind = AreaMeasurement::Kind::Detect;
        m.referenceGrey = 100;
        m.sampleCount = 1000;
        m.bgDiffSum = sums[f - 1];
        d.add(0, "a", f, f / 25.0, m);
    }
    Rethreshold(d, {0.2f});
    std::vector<int> results;
    for (const PlotFrame& f : d.areas[0].frames) results.push_back(f.m.result);
    EXPECT_EQ(results, (std::vector<int>{0, 0, 1, 0, 0, 1}));
    EXPECT_EQ(d.areas[0].frames[1].m.presenceLimit.value, static_cast<int64_t>(100000.0 * double(0.2f)));
    EXPECT_EQ(d.areas[0].note, "threshold 0.2");
}

TEST(Plot, TraceLimitsThatAreNoNumberSayWhy) {
    const std::string trace = Scratch("limits.jsonl");
    WriteFile(trace,
              "{\"frame\":0,\"time\":0,\"area\":0,\"kind\":\"baseline\",\"sampleCount\":9}\n"
              "{\"frame\":1,\"time\":0.04,\"area\":0,\"kind\":\"detect\",\"bgDiffSum\":5,\"presenceLimit\":{\"state\":\"value\",\"value\":500},\"stillLimit\":\"NaN\",\"refresh\":\"Copy\"}\n"
              "{\"frame\":2,\"time\":0.08,\"area\":0,\"kind\":\"detect\",\"bgDiffSum\":5,\"presenceLimit\":\"saturated high\",\"stillLimit\":{\"state\":\"saturatedLow\"}}\n"
              "{\"frame\":3,\"time\":0.12,\"area\":0,\"kind\":\"detect\",\"bgDiffSum\":5,\"presenceLimit\":null,\"stillLimit\":-1e300}\n");
    const PlotData d = ReadTrace(trace);
    ASSERT_EQ(d.areas.size(), 1u);
    const auto& f = d.areas[0].frames;
    ASSERT_EQ(f.size(), 4u);
    using S = tarvocoil::LimitValue::State;
    EXPECT_EQ(f[0].m.kind, AreaMeasurement::Kind::Baseline);
    EXPECT_EQ(f[1].m.presenceLimit.state, S::Value);
    EXPECT_EQ(f[1].m.presenceLimit.value, 500);
    EXPECT_EQ(f[1].m.stillLimit.state, S::NotANumber);
    EXPECT_EQ(f[1].m.refresh, AreaMeasurement::Refresh::Copy);
    EXPECT_EQ(f[2].m.presenceLimit.state, S::SaturatedHigh);
    EXPECT_EQ(f[2].m.stillLimit.state, S::SaturatedLow);
    EXPECT_EQ(f[3].m.presenceLimit.state, S::NotANumber);
    EXPECT_EQ(f[3].m.stillLimit.state, S::SaturatedLow);
    EXPECT_EQ(d.areas[0].name, "area 0");
    ASSERT_EQ(RunCli({"plot", trace, "--out", Scratch("limits.png")}).status, 0);
}

namespace {

// Trigger events of a run's CSV output: (frame, time, area).
struct Trigger {
    long long frame;
    double time;
    int area;
};
std::vector<Trigger> EventsOf(const std::string& csv) {
    std::vector<Trigger> out;
    const std::vector<std::string> lines = Lines(csv);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        Trigger t{};
        EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lld,%lf,%d,", &t.frame, &t.time, &t.area), 3) << lines[i];
        out.push_back(t);
    }
    return out;
}

}  // namespace

// run --plot: the picture decodes at its size and the trigger marks stand
// on the frames run reported, in the panel of their area, and nowhere else.
TEST(Plot, RunPlotMarksTheTriggersOfTheRun) {
    const std::string areas = Scratch("runplot-areas.json"), trace = Scratch("runplot.jsonl");
    const std::string png = Scratch("runplot.png"), svg = Scratch("runplot.svg");
    WriteFile(areas, ClipAreasJson());
    const CliResult r = RunCli({"run", ClipPath(), "--areas", areas, "--trace", trace, "--plot", png, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Trigger> triggers = EventsOf(r.out);
    ASSERT_GE(triggers.size(), 3u) << r.out;
    const Png img = ReadPng(png);
    ASSERT_EQ(img.width(), 1600);
    ASSERT_EQ(img.height(), 90 + 3 * 250);
    const PlotLayout L = LayoutPlot(ReadTrace(trace), PlotOptions{});
    ASSERT_EQ(L.panels.size(), 3u);
    for (const Trigger& t : triggers)
        EXPECT_EQ(img.at(L.x(t.time), L.panels[t.area].triggerRow), kPlotTrigger) << "frame " << t.frame;
    // Columns a few frames from every trigger of an area carry no mark.
    for (int area = 0; area < 3; ++area)
        for (int frame = 1; frame < kClipFrames; frame += 9) {
            const bool near = std::any_of(triggers.begin(), triggers.end(), [&](const Trigger& t) {
                return t.area == area && std::abs(t.frame - frame) <= 2;
            });
            if (!near) {
                EXPECT_EQ(img.at(L.x(frame / 25.0), L.panels[area].triggerRow), 0xffffffu) << area << "/" << frame;
            }
        }

    ASSERT_EQ(RunCli({"run", ClipPath(), "--areas", areas, "--plot", svg, "-q"}).status, 0);
    EXPECT_NE(ReadFile(svg).find("<svg"), std::string::npos);
    // A bad name fails before the run writes anything.
    const CliResult bad = RunCli({"run", ClipPath(), "--areas", areas, "--plot", Scratch("runplot.gif")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("--plot: expected a .png or .svg file"), std::string::npos) << bad.err;
}

// The CSV trace carries what the JSON Lines trace does: read back, every
// area's every frame is the same, with front-light triggering off and on
// (its extra columns), and a name that needs quoting.
TEST(Plot, CsvTraceReadsBackAsTheJsonLinesTrace) {
    std::string light = ClipAreasJson();
    light.insert(light.rfind('}'), ",\"settings\": {\"front_light\": true}\n");
    int config = 0;
    for (const std::string& json : {std::string(ClipAreasJson()), light}) {
        SCOPED_TRACE(config);
        const std::string areas = Scratch("csv-areas" + std::to_string(config) + ".json");
        const std::string jsonl = Scratch("csv" + std::to_string(config) + ".jsonl");
        const std::string csv = Scratch("csv" + std::to_string(config) + ".csv");
        ++config;
        WriteFile(areas, json);
        ASSERT_EQ(RunCli({"run", ClipPath(), "--areas", areas, "--trace", jsonl, "-q"}).status, 0);
        ASSERT_EQ(RunCli({"run", ClipPath(), "--areas", areas, "--trace", csv, "--trace-format", "csv", "-q"}).status, 0);
        const PlotData a = ReadTrace(jsonl), b = ReadTrace(csv);
        ASSERT_EQ(a.areas.size(), 3u);
        ASSERT_EQ(b.areas.size(), 3u);
        EXPECT_EQ(b.areas[0].name, "left, \"A\"");
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(a.areas[i].name, b.areas[i].name);
            ASSERT_EQ(a.areas[i].frames.size(), static_cast<std::size_t>(kClipFrames));
            ASSERT_EQ(a.areas[i].frames.size(), b.areas[i].frames.size());
            for (std::size_t k = 0; k < a.areas[i].frames.size(); ++k) {
                const PlotFrame &x = a.areas[i].frames[k], &y = b.areas[i].frames[k];
                SCOPED_TRACE("area " + std::to_string(i) + " frame " + std::to_string(x.frame));
                EXPECT_EQ(x.frame, y.frame);
                EXPECT_EQ(x.time, y.time);
                EXPECT_EQ(x.m.kind, y.m.kind);
                EXPECT_EQ(x.m.greySum, y.m.greySum);
                EXPECT_EQ(x.m.mean, y.m.mean);
                EXPECT_EQ(x.m.referenceGrey, y.m.referenceGrey);
                EXPECT_EQ(x.m.sampleCount, y.m.sampleCount);
                EXPECT_EQ(x.m.bgDiffSum, y.m.bgDiffSum);
                EXPECT_TRUE(x.m.presenceLimit.state == y.m.presenceLimit.state &&
                            x.m.presenceLimit.value == y.m.presenceLimit.value);
                EXPECT_EQ(x.m.prevDiffSum, y.m.prevDiffSum);
                EXPECT_TRUE(x.m.stillLimit.state == y.m.stillLimit.state &&
                            x.m.stillLimit.value == y.m.stillLimit.value);
                EXPECT_EQ(x.m.stillCount, y.m.stillCount);
                EXPECT_EQ(x.m.refresh, y.m.refresh);
                EXPECT_EQ(x.m.present, y.m.present);
                EXPECT_EQ(x.m.result, y.m.result);
            }
        }
        EXPECT_EQ(RunCli({"plot", csv, "--out", Scratch("csv.png")}).status, 0);
    }
}

TEST(Plot, CsvTraceErrorsNameTheLine) {
    const std::string header = TraceSink::CsvHeader();
    const std::string row = "1,0.04,0,a,detect,,5,5,100,9,5,50,0,9,1,none,false,0,,,,,,,,\n";
    const std::string path = Scratch("bad.csv");
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"frame,area\n" + row, "bad.csv:1: expected a JSON object or the header of a CSV trace"},
        {header + row + "1,0.04,0\n", "bad.csv:3: expected 26 fields as the header names, got 3"},
        {header + "x" + row, "bad.csv:2: \"frame\": expected an integer"},
        {header + row + "2,0.08,0,\"a\n", "bad.csv:3: unterminated quote"},
        // A quoted name may span lines; the count goes on after it.
        {header + "1,0.04,0,\"two\nlines\",detect,,5,5,100,9,5,50,0,9,1,none,false,0,,,,,,,,\n" + row + "2,zero,0" +
             row.substr(row.find(",a,")),
         "bad.csv:5: missing key \"time\""},
    };
    for (const Case& c : cases) {
        WriteFile(path, c.text);
        const CliResult r = RunCli({"plot", path, "--out", Scratch("bad-csv.png")});
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    WriteFile(path, header + "1,0.04,0,\"two\nlines\",detect,,5,5,100,9,5,50,0,9,1,none,false,0,,,,,,,,\n");
    EXPECT_EQ(ReadTrace(path).areas.at(0).name, "two\nlines");
}
