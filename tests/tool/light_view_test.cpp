// light_view_test.cpp - the light view: the grey rule the light pixels are
// judged by, the regions and their sizes, and the commands that draw it.
#include <gtest/gtest.h>

#include "host/light_view.h"
#include "tests/tool/tool_test_util.h"

using namespace tooltest;
using tarvotool::BgrImage;

namespace {

void Fill(BgrImage& img, int x, int y, int w, int h, uint8_t grey) {
    for (int r = y; r < y + h; ++r)
        for (int c = x; c < x + w; ++c)
            for (int k = 0; k < 3; ++k) img.row(r)[3 * c + k] = grey;
}

uint8_t Grey(uint8_t b, uint8_t g, uint8_t r) {
    const uint8_t px[3] = {b, g, r};
    return tarvotool::LightGrey(px);
}

}  // namespace

// The detector's table: low bits dropped, float weights (so (8, 0, 12)
// gives 4, where exact decimal weights would give 5).
TEST(LightView, GreyIsTheDetectorsRule) {
    EXPECT_EQ(Grey(0, 0, 0), 0);
    EXPECT_EQ(Grey(255, 255, 255), 254);
    EXPECT_EQ(Grey(0, 0, 255), 76);
    EXPECT_EQ(Grey(0, 255, 0), 149);
    EXPECT_EQ(Grey(255, 0, 0), 29);
    EXPECT_EQ(Grey(201, 201, 201), 200);
    EXPECT_EQ(Grey(8, 0, 12), 4);
    EXPECT_EQ(Grey(10, 2, 14), 6);
}

// Regions are the light pixels inside the rows (the last column of a row
// is not read, as in the detector), largest first, with their sizes.
TEST(LightView, RegionsAreTheLightPixelsInsideTheRowsWithTheirSizes) {
    BgrImage img;
    img.resize(100, 60);
    Fill(img, 0, 0, 100, 60, 40);
    Fill(img, 10, 10, 8, 6, 250);   // a headlight: 8x6
    Fill(img, 30, 12, 3, 2, 220);   // a small reflection
    Fill(img, 50, 10, 5, 5, 199);   // just below the threshold
    Fill(img, 70, 10, 6, 6, 250);   // half outside the rows (columns 70..72 inside)
    std::vector<tarvocoil::AreaRow> rows;
    for (int y = 5; y < 40; ++y) rows.push_back({y, 5, 73});
    const auto regions = tarvotool::LightRegions(img.view(), rows, 200, 10);
    ASSERT_EQ(regions.size(), 3u);
    EXPECT_EQ(regions[0].x, 10);
    EXPECT_EQ(regions[0].width, 8);
    EXPECT_EQ(regions[0].height, 6);
    EXPECT_EQ(regions[1].x, 70);
    EXPECT_EQ(regions[1].width, 3) << "columns 70, 71, 72: the row's right end is not read";
    EXPECT_EQ(regions[2].width, 3);
    EXPECT_EQ(regions[2].height, 2);
    EXPECT_EQ(tarvotool::LightRegions(img.view(), rows, 200, 1).size(), 1u);

    // The painter writes the sizes and the limits, and paints the light
    // pixels; the light is judged on the frame, not on what the canvas
    // carries (here a dark fill over the whole picture).
    tarvocoil::Settings s;
    s.lightMinWidth = 4;
    s.lightMaxWidth = 12;
    BgrImage canvas = img;
    Fill(canvas, 0, 0, 100, 60, 0);
    const auto notes = tarvotool::PaintLightView(canvas, img.view(), {{rows, nullptr}}, s);
    std::vector<std::string> texts;
    for (const auto& n : notes) texts.push_back(n.text);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "8x6"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "max 12x80"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "min 4x20"), texts.end());
    const uint8_t* lit = canvas.row(12) + 3 * 12;
    EXPECT_LT(lit[0], 100) << "light pixels are yellow";
    EXPECT_GT(lit[2], 150);
}

TEST(LightView, FrameAndReviewDrawTheLightView) {
    const std::string areas = Scratch("light-areas.json");
    WriteFile(areas, ClipAreasJson());
    const CliResult frame = RunCli({"frame", ClipPath(), "--at", "1", "--areas", areas, "--light", "--out",
                                    Scratch("light.png")});
    EXPECT_EQ(frame.status, 0) << frame.err;
    const CliResult plain = RunCli({"frame", ClipPath(), "--at", "1", "--light", "--out", Scratch("light2.png")});
    EXPECT_EQ(plain.status, 2) << "--light needs --areas";
    const CliResult noReview = RunCli({"run", ClipPath(), "--areas", areas, "--review-light"});
    EXPECT_EQ(noReview.status, 2) << "--review-light needs --review";
    const CliResult review = RunCli({"run", ClipPath(), "--areas", areas, "--review", Scratch("light.mp4"),
                                     "--review-light", "--duration", "1"});
    EXPECT_EQ(review.status, 0) << review.err;
    EXPECT_GE(DecodeAll(Scratch("light.mp4")).size(), 20u);
}
