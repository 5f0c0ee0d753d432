// row_conversion_test.cpp - converting only the rows the detector reads
// gives the bytes, events and trace of whole-frame conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "tests/tool/tool_test_util.h"
#include "tools/media/video_reader.h"

using namespace tooltest;
using tarvotool::RowBand;

namespace {

// testsrc2 (moving, coloured) in the given pixel format, without loss.
std::string Clip(const std::string& name, const std::string& size, const std::string& pixFmt,
                 const std::string& codec, int frames) {
    const std::string path = Scratch(name);
    EXPECT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=25", "-frames:v", std::to_string(frames),
                        "-pix_fmt", pixFmt, "-c:v", codec, path}));
    return path;
}

// Random bands, sorted and apart, and always the first and last rows.
std::vector<RowBand> RandomBands(std::mt19937& rng, int height) {
    std::vector<RowBand> bands{{0, 1}};
    int y = 2;
    while (y < height - 3) {
        const int begin = y + static_cast<int>(rng() % 9), end = begin + 1 + static_cast<int>(rng() % 4);
        if (end >= height - 2) break;
        bands.push_back({begin, end});
        y = end + 1 + static_cast<int>(rng() % 6);
    }
    bands.push_back({height - 1, height});
    return bands;
}

}  // namespace

// Every pixel format family the converter treats differently: 4:2:0 and
// 4:2:2 (chroma shared between rows or not), semi-planar, full range,
// 10 bits, and RGB. Odd heights end in a band that is not a whole chroma
// pair.
TEST(ReaderRows, BandsHoldTheBytesOfWholeFrames) {
    struct Case {
        const char* pixFmt;
        const char* codec;
        const char* size;
    };
    const Case cases[] = {{"yuv420p", "ffv1", "157x93"},  {"yuvj420p", "ffv1", "96x64"},
                          {"yuv422p", "ffv1", "157x93"},  {"yuv444p", "ffv1", "64x47"},
                          {"nv12", "rawvideo", "96x66"},  {"yuv420p10le", "ffv1", "96x71"},
                          {"bgr0", "ffv1", "157x93"},     {"gray", "ffv1", "64x41"}};
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pixFmt);
        const std::string path = Clip(std::string("rows-") + c.pixFmt + ".nut", c.size, c.pixFmt, c.codec, 6);
        tarvotool::VideoReader whole(path);
        std::vector<RowBand> bands;
        tarvotool::VideoReaderOptions o;
        o.rows = [&](int, int height) {
            bands = RandomBands(rng, height);
            return bands;
        };
        tarvotool::VideoReader limited(path, o);
        tarvotool::VideoFrame a, b;
        int frames = 0;
        while (whole.next(a)) {
            ASSERT_TRUE(limited.next(b));
            ASSERT_EQ(a.picture.width, b.picture.width);
            ASSERT_EQ(a.picture.height, b.picture.height);
            ASSERT_GT(bands.size(), 2u);
            for (const RowBand& band : bands)
                for (int y = band.begin; y < band.end; ++y)
                    ASSERT_EQ(0, std::memcmp(a.picture.pixels + static_cast<ptrdiff_t>(y) * a.picture.stride,
                                             b.picture.pixels + static_cast<ptrdiff_t>(y) * b.picture.stride,
                                             3 * static_cast<size_t>(a.picture.width)))
                        << "frame " << frames << " row " << y;
            ++frames;
        }
        EXPECT_FALSE(limited.next(b));
        EXPECT_EQ(frames, 6);
    }
}

// `run` converts only the detector's rows unless a review video or
// snapshots need whole pictures: with a coil wholly above the frame (its
// rows clamped into it), one across the bottom edge, one across the
// middle, and
// front-light triggering on, both runs must agree to the byte.
TEST(ReaderRows, RunOnDetectorRowsMatchesWholeFrames) {
    const std::string clip = Clip("rows-run.mp4", "320x180", "yuv420p", "libx264", 100);
    const std::string areas = Scratch("rows-areas.json");
    WriteFile(areas, R"({"areas": [
  {"name": "above", "vertices": [[160, -20], [300, -20], [300, -3], [160, -3]], "threshold": 0.05},
  {"name": "bottom", "vertices": [[170, 171], [310, 171], [310, 186], [170, 186]], "threshold": 0.05},
  {"name": "middle", "vertices": [[0, 60], [319, 64], [319, 120], [0, 110]], "threshold": 0.05}
 ],
 "settings": {"front_light": true, "frame_count": 5,
              "light": {"threshold": 120, "min_width": 2, "max_width": 200, "min_height": 2, "max_height": 150}}})");
    std::string events[2], traces[2];
    for (int whole = 0; whole < 2; ++whole) {
        const std::string ev = Scratch("rows-events" + std::to_string(whole) + ".csv");
        const std::string tr = Scratch("rows-trace" + std::to_string(whole) + ".jsonl");
        std::vector<std::string> args{"run", clip, "--areas", areas, "--events", ev, "--trace", tr, "-q"};
        if (whole) args.insert(args.end(), {"--review", Scratch("rows-review.mp4")});
        const CliResult r = RunCli(args);
        ASSERT_EQ(r.status, 0) << r.err;  // (warns about the coils outside)
        events[whole] = ReadFile(ev);
        traces[whole] = ReadFile(tr);
    }
    EXPECT_GT(Lines(events[0]).size(), 3u);
    EXPECT_NE(traces[0].find("\"blob\":{"), std::string::npos);  // a light blob was measured
    EXPECT_EQ(events[0], events[1]);
    EXPECT_EQ(traces[0], traces[1]);
}

// A reader that shares its pictures must never convert into a buffer a
// consumer still holds (the detector thread of `serve` reads it while the
// decoding thread goes on), and must come back to the same few buffers
// once they are let go.
TEST(ReaderRows, SharedPicturesStayIntactWhileHeldAndBuffersReturn) {
    const std::string path = Clip("rows-shared.nut", "96x66", "yuv420p", "ffv1", 12);
    std::vector<std::vector<uint8_t>> expected;
    {
        tarvotool::VideoReader whole(path);
        tarvotool::VideoFrame f;
        while (whole.next(f)) {
            std::vector<uint8_t> rows;
            for (int y = 0; y < f.picture.height; ++y) {
                const uint8_t* p = f.picture.pixels + static_cast<ptrdiff_t>(y) * f.picture.stride;
                rows.insert(rows.end(), p, p + 3 * f.picture.width);
            }
            expected.push_back(std::move(rows));
        }
    }
    ASSERT_EQ(expected.size(), 12u);
    tarvotool::VideoReaderOptions o;
    o.sharePictures = true;
    tarvotool::VideoReader shared(path, o);
    std::vector<tarvotool::VideoFrame> held(5);
    for (auto& f : held) {
        ASSERT_TRUE(shared.next(f));
        ASSERT_TRUE(f.keep);
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        const auto& p = held[i].picture;
        for (int y = 0; y < p.height; ++y)
            ASSERT_EQ(0, std::memcmp(p.pixels + static_cast<ptrdiff_t>(y) * p.stride,
                                     expected[i].data() + static_cast<size_t>(y) * 3 * p.width, 3 * p.width))
                << "held frame " << i << " row " << y << " was written over";
    }
    held.clear();
    // Each frame let go before the next: one buffer in turn, or two.
    std::vector<const uint8_t*> buffers;
    tarvotool::VideoFrame f;
    for (int i = 5; shared.next(f); ++i) {
        ASSERT_EQ(0, std::memcmp(f.picture.pixels, expected[i].data(), 3 * f.picture.width)) << "frame " << i;
        if (std::find(buffers.begin(), buffers.end(), f.picture.pixels) == buffers.end())
            buffers.push_back(f.picture.pixels);
        f.keep.reset();
    }
    EXPECT_LE(buffers.size(), 2u);
}
