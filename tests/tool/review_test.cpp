// review_test.cpp - review video, snapshots and single frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "host/areas_file.h"
#include "tarvocoil.hpp"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;

namespace {

std::string AreasFile() {
    static const std::string p = [] {
        const std::string path = Scratch("review-areas.json");
        WriteFile(path, ClipAreasJson());
        return path;
    }();
    return p;
}

const uint8_t* Pixel(const tarvotool::BgrImage& img, int x, int y) { return img.row(y) + x * 3; }

}  // namespace

TEST(Review, VideoAndSnapshotsAreWrittenAndDecodable) {
    const std::string video = Scratch("review.mp4"), snaps = Scratch("snaps");
    const CliResult r =
        RunCli({"run", ClipPath(), "--areas", AreasFile(), "--review", video, "--snapshots", snaps});
    ASSERT_EQ(r.status, 0) << r.err;

    const auto frames = DecodeAll(video);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(kClipFrames));
    // H.264 in 4:2:0 needs even sizes: the odd width gains a column.
    EXPECT_EQ(frames[0].width, kClipWidth + 1);
    EXPECT_EQ(frames[0].height, kClipHeight);

    std::set<int> triggerFrames;
    for (std::size_t i = 1; i < Lines(r.out).size(); ++i) triggerFrames.insert(std::stoi(Lines(r.out)[i]));
    ASSERT_FALSE(triggerFrames.empty());
    std::set<int> written;
    for (const auto& e : std::filesystem::directory_iterator(snaps)) {
        const std::string name = e.path().filename().string();
        ASSERT_EQ(name.rfind("frame-", 0), 0u) << name;
        written.insert(std::stoi(name.substr(6)));
        const auto png = DecodeAll(e.path().string());
        ASSERT_EQ(png.size(), 1u);
        EXPECT_EQ(png[0].width, kClipWidth);
        EXPECT_EQ(png[0].height, kClipHeight);
    }
    EXPECT_EQ(written, triggerFrames);

    // In a snapshot the triggering area is outlined red, the others green.
    const std::vector<std::string> first = Lines(r.out);
    const int frame = std::stoi(first[1]);
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06d.png", frame);
    const auto shot = DecodeAll((std::filesystem::path(snaps) / name).string());
    const int lefts[] = {20, 95, 60}, middles[] = {50, 50, 95};
    for (int a = 0; a < 3; ++a) {
        const uint8_t* p = Pixel(shot.at(0), lefts[a], middles[a]);
        const bool hit = std::any_of(first.begin() + 1, first.end(), [&](const std::string& l) {
            return std::stoi(l) == frame && std::stoi(l.substr(l.find(',', l.find(',') + 1) + 1)) == a;
        });
        SCOPED_TRACE("area " + std::to_string(a) + (hit ? " triggered" : " idle"));
        if (hit) {
            EXPECT_EQ(p[2], 255);  // red
            EXPECT_EQ(p[1], 40);
        } else {
            EXPECT_EQ(p[1], 220);  // green
            EXPECT_EQ(p[2], 40);
        }
    }
}

TEST(Review, FrameShowsThePictureOnScreenAtThatTime) {
    const auto clip = MakeClip();
    for (const char* at : {"1.0", "1.03"}) {  // frame 25 is on screen from 1.00 to 1.04 s
        SCOPED_TRACE(at);
        const std::string out = Scratch(std::string("frame-") + at + ".png");
        const CliResult r = RunCli({"frame", ClipPath(), "--at", at, "--areas", AreasFile(), "--out", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto png = DecodeAll(out);
        ASSERT_EQ(png.size(), 1u);
        ASSERT_EQ(png[0].width, kClipWidth);
        ASSERT_EQ(png[0].height, kClipHeight);
        // Away from areas and text the picture is frame 25 itself.
        for (int y : {75, 115})
            for (int x : {5, 150})
                EXPECT_TRUE(std::equal(Pixel(png[0], x, y), Pixel(png[0], x, y) + 3, Pixel(clip[25], x, y)))
                    << x << "," << y;
        const uint8_t* edge = Pixel(png[0], 20, 50);  // left edge of area 0
        EXPECT_EQ(edge[0], 40);
        EXPECT_EQ(edge[1], 220);
        EXPECT_EQ(edge[2], 40);
    }
    const CliResult late = RunCli({"frame", ClipPath(), "--at", "30", "--out", Scratch("late.png")});
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(late.err.find("ends before 30"), std::string::npos) << late.err;
    EXPECT_FALSE(std::filesystem::exists(Scratch("late.png")));
}

TEST(Review, UnwritableOutputsFailBeforeAnyEvent) {
    const std::string dir = Scratch("outdir");
    std::filesystem::create_directories(dir);
    const struct {
        std::vector<std::string> extra;
        std::string message;
    } cases[] = {
        {{"--review", Scratch("review.xyz")},
         "tarvocoil: cannot write '" + Scratch("review.xyz") + "': unknown video format (use a name ending in .mp4 or .mkv)\n"},
        {{"--review", Scratch("no/such/dir/r.mp4")},
         "tarvocoil: cannot write '" + Scratch("no/such/dir/r.mp4") + "': No such file or directory\n"},
        {{"--events", dir}, "tarvocoil: cannot write events file '" + dir + "': Is a directory\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"run", ClipPath(), "--areas", AreasFile()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

// Outlines follow the rows the detector covers, not a drawing of their own.
TEST(Review, OutlinesAreTheDetectorsOwnRows) {
    const std::string areas = Scratch("slanted.json");
    WriteFile(areas, R"([{"name": "s", "vertices": [[31, 52], [140, 61], [121, 113], [12, 97]]}])");
    const std::string out = Scratch("slanted.png");
    const CliResult r = RunCli({"frame", ClipPath(), "--at", "0", "--areas", areas, "--out", out});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto png = DecodeAll(out);
    ASSERT_EQ(png.size(), 1u);
    tarvocoil::Detector det;
    tarvotool::ApplyAreas(det, tarvotool::LoadAreasFile(areas));
    const auto rows = det.areaRows(0);
    ASSERT_GT(rows.size(), 40u);
    for (const tarvocoil::AreaRow& row : rows)
        for (int x : {row.left, row.right}) {
            const uint8_t* p = Pixel(png[0], x, row.y);
            EXPECT_TRUE(p[0] == 40 && p[1] == 220 && p[2] == 40) << x << "," << row.y;
        }
    // Inside, away from the edges, the picture is untouched.
    const auto clip = MakeClip();
    const tarvocoil::AreaRow& mid = rows[rows.size() / 2];
    const int x = (mid.left + mid.right) / 2;
    EXPECT_TRUE(std::equal(Pixel(png[0], x, mid.y), Pixel(png[0], x, mid.y) + 3, Pixel(clip[0], x, mid.y)));
}
