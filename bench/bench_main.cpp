// bench_main.cpp - the per-frame cost of every kernel set against the
// literal reference and against the memory floor.
//
//   tarvocoil_bench [--quick] [--pool-mb=N] [Google Benchmark flags]
//
// Benchmarks (cpu time per iteration):
//   frame/<WxH>/<areas>/<fl-off|fl-on>/<kernels>  one detection frame
//   floor/<WxH>/<areas>                           reading the neighbourhood bytes once
//   baseline/<WxH>/<areas>/<kernels>              the first frame after new areas
//   setareas/<WxH>/<areas>                        TRVSetSurvAreas
//   measure/<WxH>/<areas>/<fl-off|fl-on>/<off|on> one detection frame on the
//                                                 fast set, measurement
//                                                 records off or on
//   traffic/<WxH>/pairs/<off|on>                  one detection frame with
//                                                 measurement records, four
//                                                 coil pairs, the traffic
//                                                 engine off or on; engine:
//                                                 the engine alone
// After the runs a summary in Markdown gives per case the literal and the
// fast (best) time, ns per sample, fast/literal, fast/floor and cameras
// per core at 25 fps, the cost of measurement records and of the traffic
// engine.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/context.h"
#include "host/traffic/traffic_engine.h"
#include "detect/sweep.h"
#include "bench/memory_floor.h"
#include "bench/scenes.h"
#include "tarvocoil.h"

namespace {

using tarvocoil::Context;
using tarvocoil::Kernels;

struct Size {
    int32_t w, h;
    std::string name() const { return std::to_string(w) + "x" + std::to_string(h); }
};
const Size kSizes[] = {{352, 288}, {720, 576}, {1920, 1080}};
const char* const kSets[] = {"lanes", "whole", "small32"};
const Size kHotSize{1920, 1080};
const char* const kHotSet = "lanes-hot";  // the lanes on one frame, read from cache

size_t gPoolBytes = size_t{96} << 20;
double gMinTime = 0;  // 0: Google Benchmark's own (or --benchmark_min_time)

benchmark::internal::Benchmark* withTime(benchmark::internal::Benchmark* b) { return gMinTime > 0 ? b->MinTime(gMinTime) : b; }

std::vector<const Kernels*> kernelSets() {
    const Kernels* all[8];
    const int n = tarvocoil::AvailableKernels(all, 8);
    return std::vector<const Kernels*>(all, all + n);
}

std::string label(const Kernels& k) { return &k == &tarvocoil::ReferenceKernels() ? "literal" : k.name; }

const bench::FramePool& pool(const Size& s, bool hot) {
    static std::map<std::string, std::unique_ptr<bench::FramePool>> pools;
    std::unique_ptr<bench::FramePool>& p = pools[s.name() + (hot ? "-hot" : "")];
    if (!p) p.reset(new bench::FramePool(bench::MakePool(s.w, s.h, hot ? 0 : gPoolBytes, hot ? 1 : 2)));
    return *p;
}

std::string setOf(const std::string& name) { return name == kHotSet ? "lanes" : name; }

// One detector on a pool of frames, baseline taken.
struct Rig {
    Context ctx;
    std::vector<int32_t> results;
    const bench::FramePool& frames;
    int32_t next = 0;

    Rig(const Kernels& k, const bench::AreaSet& set, const bench::FramePool& pool, bool frontLight,
        bool measuring = false)
        : frames(pool) {
        ctx.useKernels(k);
        ctx.setMeasuring(measuring);
        ctx.coilInit();
        ctx.useFrontLightTrigger(frontLight ? 1 : 0);
        const int32_t n = static_cast<int32_t>(set.quads.size());
        ctx.setSurvAreas(n, set.quads.data(), set.thresholds.data());
        results.assign(set.quads.size(), 0);
        process();  // the baseline
    }
    int16_t process() {
        const int16_t r = ctx.getSurvResults(frames.frame(next), frames.width, frames.height, 3, results.data());
        next = next + 1 == frames.count ? 0 : next + 1;
        return r;
    }
    int64_t samples() {
        int64_t n = 0;
        for (int32_t i = 0; i < ctx.engine().store.count(); ++i) n += ctx.engine().detection.area(i).sampleCount - 1;
        return n;
    }
};

void frameBench(benchmark::State& state, Size size, std::string setName, bool frontLight, const Kernels* k,
                bool measuring) {
    const bool hot = setName == kHotSet;
    const bench::FramePool& frames = pool(size, hot);
    const bench::AreaSet set = bench::MakeAreas(setOf(setName), size.w, size.h);
    Rig rig(*k, set, frames, frontLight, measuring);
    // One pass over the pool first: presence, still counts and refreshes
    // then repeat with the pool, so the timed frames do the same work
    // whatever their number.
    for (int32_t i = 1; i < frames.count; ++i) rig.process();
    int64_t triggers = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rig.process());
        for (int32_t r : rig.results) triggers += r;
    }
    const double samples = static_cast<double>(rig.samples());
    state.counters["samples"] = samples;
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["triggers"] = benchmark::Counter(static_cast<double>(triggers), benchmark::Counter::kAvgIterations);
    // Frames per second of cpu time over 25.
    state.counters["cams_25fps"] = benchmark::Counter(1.0 / 25, benchmark::Counter::kIsIterationInvariantRate);
}

// The traffic engine's areas for the "pairs" set: coil 2i to coil 2i+1 on
// lane i, 6 m apart, 2 m long.
tarvotool::AreasConfig PairsConfig(const bench::AreaSet& set) {
    tarvotool::AreasConfig cfg;
    for (std::size_t i = 0; i < set.quads.size(); ++i) {
        tarvotool::AreaSpec a;
        a.name = "coil " + std::to_string(i);
        a.quad = set.quads[i];
        a.threshold = set.thresholds[i];
        a.length = 2.0;
        a.holdoff = 0.5;
        cfg.areas.push_back(a);
    }
    for (std::size_t i = 0; i + 1 < set.quads.size(); i += 2) {
        tarvotool::PairSpec p;
        p.name = "lane " + std::to_string(i / 2);
        p.from = cfg.areas[i].name;
        p.to = cfg.areas[i + 1].name;
        p.fromArea = i;
        p.toArea = i + 1;
        p.distance = 6.0;
        cfg.pairs.push_back(p);
    }
    return cfg;
}

// A frame of the detector with measurement records on, and with `engine`
// also the traffic engine fed from its flags and records, as `run` does.
void trafficBench(benchmark::State& state, Size size, bool engine) {
    const bench::FramePool& frames = pool(size, false);
    const bench::AreaSet set = bench::MakeAreas("pairs", size.w, size.h);
    Rig rig(*kernelSets().back(), set, frames, false, true);
    for (int32_t i = 1; i < frames.count; ++i) rig.process();
    tarvotool::TrafficEngine traffic(PairsConfig(set));
    tarvotool::TrafficFrame f;
    int64_t index = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rig.process());
        if (engine) {
            f.index = ++index;
            f.time = static_cast<double>(index) / 25;
            f.triggers = rig.results.data();
            f.measurements = rig.ctx.measurements().data();
            benchmark::DoNotOptimize(traffic.frame(f).triggers.size());
        }
    }
}

// The engine alone on recorded frames of the same rig: its cost without
// the detector's, which at this size is below the noise of the pair above.
void trafficEngineBench(benchmark::State& state, Size size) {
    const bench::FramePool& frames = pool(size, false);
    const bench::AreaSet set = bench::MakeAreas("pairs", size.w, size.h);
    Rig rig(*kernelSets().back(), set, frames, false, true);
    const std::size_t n = set.quads.size();
    std::vector<int32_t> flags;
    std::vector<tarvocoil::AreaMeasurement> records;
    for (int32_t i = 1; i < frames.count; ++i) {
        rig.process();
        flags.insert(flags.end(), rig.results.begin(), rig.results.end());
        records.insert(records.end(), rig.ctx.measurements().begin(), rig.ctx.measurements().end());
    }
    const std::size_t recorded = flags.size() / n;
    tarvotool::TrafficEngine traffic(PairsConfig(set));
    tarvotool::TrafficFrame f;
    int64_t index = 0;
    for (auto _ : state) {
        const std::size_t k = static_cast<std::size_t>(index) % recorded;
        f.index = ++index;
        f.time = static_cast<double>(index) / 25;
        f.triggers = flags.data() + k * n;
        f.measurements = records.data() + k * n;
        benchmark::DoNotOptimize(traffic.frame(f).triggers.size());
    }
}

void floorBench(benchmark::State& state, Size size, std::string setName) {
    const bool hot = setName == kHotSet;
    const bench::FramePool& frames = pool(size, hot);
    const bench::AreaSet set = bench::MakeAreas(setOf(setName), size.w, size.h);
    const bench::ByteRuns runs = bench::NeighbourhoodRuns(set, size.w, size.h, frames.stride);
    int32_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench::ReadRuns(frames.frame(next), runs));
        next = next + 1 == frames.count ? 0 : next + 1;
    }
    state.counters["bytes"] = static_cast<double>(runs.bytes);
    state.counters["runs"] = static_cast<double>(runs.runs.size());
    state.counters["read"] = benchmark::Counter(static_cast<double>(runs.bytes), benchmark::Counter::kIsIterationInvariantRate,
                                                benchmark::Counter::kIs1024);
}

void baselineBench(benchmark::State& state, Size size, std::string setName, const Kernels* k) {
    const bench::FramePool& frames = pool(size, false);
    const bench::AreaSet set = bench::MakeAreas(setName, size.w, size.h);
    Rig rig(*k, set, frames, false);
    for (auto _ : state) {
        rig.ctx.engine().detection.baselineReady = 0;  // as after TRVSetSurvAreas
        benchmark::DoNotOptimize(rig.process());
    }
}

void setAreasBench(benchmark::State& state, std::vector<AreaQuad> quads) {
    TRVCoilInit();
    const std::vector<float> thresholds(quads.size(), 0.05f);
    for (auto _ : state)
        benchmark::DoNotOptimize(TRVSetSurvAreas(static_cast<int32_t>(quads.size()), quads.data(), thresholds.data()));
    TRVCoilRelease();
}

void registerAll() {
    const std::vector<const Kernels*> kernels = kernelSets();
    for (const Size& size : kSizes)
        for (const char* set : kSets) {
            for (int fl = 0; fl < 2; ++fl)
                for (const Kernels* k : kernels)
                    withTime(benchmark::RegisterBenchmark(
                        ("frame/" + size.name() + "/" + set + (fl ? "/fl-on/" : "/fl-off/") + label(*k)).c_str(), frameBench,
                        size, std::string(set), fl == 1, k, false));
            withTime(benchmark::RegisterBenchmark(("floor/" + size.name() + "/" + set).c_str(), floorBench, size,
                                                  std::string(set)));
        }
    for (const Kernels* k : {kernels.front(), kernels.back()})
        withTime(benchmark::RegisterBenchmark(("frame/" + kHotSize.name() + "/" + kHotSet + "/fl-off/" + label(*k)).c_str(),
                                              frameBench, kHotSize, std::string(kHotSet), false, k, false));
    withTime(benchmark::RegisterBenchmark(("floor/" + kHotSize.name() + "/" + kHotSet).c_str(), floorBench, kHotSize,
                                          std::string(kHotSet)));
    for (const Size& size : kSizes)
        for (const char* set : kSets)
            for (const Kernels* k : {kernels.front(), kernels.back()})
                withTime(benchmark::RegisterBenchmark(("baseline/" + size.name() + "/" + set + "/" + label(*k)).c_str(),
                                                      baselineBench, size, std::string(set), k));
    // Measurement records off and on, side by side (interleaved, so that a
    // change of machine load meets both alike).
    for (const Size& size : kSizes)
        for (const char* set : kSets)
            for (int fl = 0; fl < 2; ++fl)
                for (int on = 0; on < 2; ++on)
                    withTime(benchmark::RegisterBenchmark(("measure/" + size.name() + "/" + set + (fl ? "/fl-on/" : "/fl-off/") +
                                                           (on ? "on" : "off")).c_str(),
                                                          frameBench, size, std::string(set), fl == 1, kernels.back(), on == 1));
    for (int on = 0; on < 2; ++on)
        withTime(benchmark::RegisterBenchmark(("traffic/" + kHotSize.name() + "/pairs/" + (on ? "on" : "off")).c_str(),
                                              trafficBench, kHotSize, on == 1));
    withTime(benchmark::RegisterBenchmark(("traffic/" + kHotSize.name() + "/pairs/engine").c_str(), trafficEngineBench,
                                          kHotSize));
    for (const Size& size : kSizes)
        for (const char* set : {"lanes", "whole"})
            withTime(benchmark::RegisterBenchmark(("setareas/" + size.name() + "/" + set).c_str(), setAreasBench,
                                                  bench::MakeAreas(set, size.w, size.h).quads));
    // The largest area there can be: 65536 rows, far beyond any frame.
    withTime(benchmark::RegisterBenchmark(
        "setareas/any/65536-rows", setAreasBench,
        std::vector<AreaQuad>{AreaQuad{-32768, -32768, 32767, -32768, 32767, 32767, -32768, 32767}}));
}

// Collects cpu time per iteration (the median when repeated) by name.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;
    std::map<std::string, std::map<std::string, double>> counters;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            const std::string name = r.run_name.function_name;
            if (!median && medians_.count(name)) continue;
            if (median) medians_[name] = true;
            ns[name] = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
            for (const auto& c : r.counters) counters[name][c.first] = c.second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    std::map<std::string, bool> medians_;
};

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 10, "model name") == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    return "unknown";
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return in ? one + " " + five + " " + fifteen : "unknown";
}

std::string us(double ns) {
    char b[32];
    std::snprintf(b, sizeof b, ns >= 1e5 ? "%.0f" : ns >= 1e4 ? "%.1f" : "%.2f", ns / 1e3);
    return b;
}
std::string fmt(const char* f, double v) {
    char b[32];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

void summary(const Collector& c) {
    const std::vector<const Kernels*> kernels = kernelSets();
    const std::string best = label(*kernels.back());
    auto has = [&](const std::string& n) { return c.ns.count(n) != 0; };
    std::printf("\nCPU: %s; kernel sets: ", cpuModel().c_str());
    for (const Kernels* k : kernels) std::printf("%s ", label(*k).c_str());
    std::printf("(fast = %s); load average at the end: %s\n\n", best.c_str(), loadAverage().c_str());

    std::printf("| frame | areas | front light | samples | literal µs | fast µs | fast ns/sample | fast/literal | floor µs "
                "| fast/floor | cameras/core @25 fps (literal) |\n");
    std::printf("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<std::pair<Size, std::string>> cases;
    for (const Size& s : kSizes)
        for (const char* set : kSets) cases.push_back({s, set});
    cases.push_back({kHotSize, kHotSet});
    for (const auto& cs : cases)
        for (const char* fl : {"fl-off", "fl-on"}) {
            const std::string base = "frame/" + cs.first.name() + "/" + cs.second + "/" + fl + "/";
            if (!has(base + best)) continue;
            const double fast = c.ns.at(base + best);
            const double samples = c.counters.at(base + best).at("samples");
            const std::string lit = has(base + "literal") ? us(c.ns.at(base + "literal")) : "-";
            const std::string ratio = has(base + "literal") ? fmt("1/%.1f", c.ns.at(base + "literal") / fast) : "-";
            const std::string fl2 = "floor/" + cs.first.name() + "/" + cs.second;
            const std::string floorUs = has(fl2) ? us(c.ns.at(fl2)) : "-";
            const std::string floorRatio = has(fl2) ? fmt("%.2f", fast / c.ns.at(fl2)) : "-";
            const std::string camsLit = has(base + "literal") ? fmt("%.0f", 4e7 / c.ns.at(base + "literal")) : "-";
            std::printf("| %s | %s | %s | %.0f | %s | %s | %.2f | %s | %s | %s | %.0f (%s) |\n", cs.first.name().c_str(),
                        cs.second.c_str(), std::strcmp(fl, "fl-on") == 0 ? "on" : "off", samples, lit.c_str(), us(fast).c_str(),
                        fast / samples, ratio.c_str(), floorUs.c_str(), floorRatio.c_str(), 4e7 / fast, camsLit.c_str());
        }

    std::printf("\nEvery kernel set, µs per frame:\n\n| frame | areas | front light |");
    for (const Kernels* k : kernels) std::printf(" %s |", label(*k).c_str());
    std::printf("\n|---|---|---|");
    for (size_t i = 0; i < kernels.size(); ++i) std::printf("---:|");
    std::printf("\n");
    for (const auto& cs : cases)
        for (const char* fl : {"fl-off", "fl-on"}) {
            const std::string base = "frame/" + cs.first.name() + "/" + cs.second + "/" + fl + "/";
            bool any = false;
            for (const Kernels* k : kernels) any = any || has(base + label(*k));
            if (!any) continue;
            std::printf("| %s | %s | %s |", cs.first.name().c_str(), cs.second.c_str(), std::strcmp(fl, "fl-on") == 0 ? "on" : "off");
            for (const Kernels* k : kernels) std::printf(" %s |", has(base + label(*k)) ? us(c.ns.at(base + label(*k))).c_str() : "-");
            std::printf("\n");
        }

    std::printf("\nBaseline frame (planes made anew, every area sampled), µs:\n\n| frame | areas | literal | fast | fast/literal |\n|---|---|---:|---:|---:|\n");
    for (const Size& s : kSizes)
        for (const char* set : kSets) {
            const std::string base = "baseline/" + s.name() + "/" + set + "/";
            if (!has(base + "literal") || !has(base + best)) continue;
            std::printf("| %s | %s | %s | %s | 1/%.1f |\n", s.name().c_str(), set, us(c.ns.at(base + "literal")).c_str(),
                        us(c.ns.at(base + best)).c_str(), c.ns.at(base + "literal") / c.ns.at(base + best));
        }

    std::printf("\nMeasurement records (fast set), µs per frame:\n\n| frame | areas | front light | off | on | on/off |\n"
                "|---|---|---|---:|---:|---:|\n");
    for (const Size& s : kSizes)
        for (const char* set : kSets)
            for (const char* fl : {"fl-off", "fl-on"}) {
                const std::string base = "measure/" + s.name() + "/" + set + "/" + fl + "/";
                if (!has(base + "off") || !has(base + "on")) continue;
                const double off = c.ns.at(base + "off"), on = c.ns.at(base + "on");
                std::printf("| %s | %s | %s | %s | %s | %+.1f%% |\n", s.name().c_str(), set,
                            std::strcmp(fl, "fl-on") == 0 ? "on" : "off", us(off).c_str(), us(on).c_str(),
                            100.0 * (on / off - 1.0));
            }

    const std::string traffic = "traffic/" + kHotSize.name() + "/pairs/";
    if (has(traffic + "off") && has(traffic + "on")) {
        const double off = c.ns.at(traffic + "off"), on = c.ns.at(traffic + "on");
        std::printf("\nTraffic engine (four coil pairs, measurement records on in both), µs per frame:\n\n"
                    "| frame | areas | without | with | with/without |\n|---|---|---:|---:|---:|\n"
                    "| %s | pairs | %s | %s | %+.2f%% |\n",
                    kHotSize.name().c_str(), us(off).c_str(), us(on).c_str(), 100.0 * (on / off - 1.0));
        if (has(traffic + "engine"))
            std::printf("\nThe engine alone: %.2f µs per frame, %.2f%% of the frame without it.\n",
                        c.ns.at(traffic + "engine") / 1000.0, 100.0 * c.ns.at(traffic + "engine") / off);
    }

    std::printf("\nTRVSetSurvAreas, µs per call:\n\n| areas | µs |\n|---|---:|\n");
    for (const auto& kv : c.ns)
        if (kv.first.compare(0, 9, "setareas/") == 0) std::printf("| %s | %s |\n", kv.first.substr(9).c_str(), us(kv.second).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            gMinTime = 0.05;
            gPoolBytes = size_t{48} << 20;
        } else if (std::strncmp(argv[i], "--pool-mb=", 10) == 0) {
            gPoolBytes = static_cast<size_t>(std::atol(argv[i] + 10)) << 20;
        } else {
            args.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    benchmark::AddCustomContext("cpu_model", cpuModel());
    benchmark::AddCustomContext("fast_kernels", tarvocoil::BestKernels().name);
    benchmark::AddCustomContext("frame_pool_mb", std::to_string(gPoolBytes >> 20));
    benchmark::AddCustomContext("load_average", loadAverage());
    registerAll();
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    summary(collector);
    benchmark::Shutdown();
    return 0;
}
