// box_clip.cpp - rendering of the box clip.
#include "tests/tool/box_clip.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tooltest {

namespace {

// The road runs along x; 24 pixels per metre, 30 m in view.
constexpr double kPxPerM = 24.0;
constexpr int kWidth = 720, kHeight = 96;
constexpr double kInEdge = 8.0, kOutEdge = 16.0, kCoilLength = 2.0;
constexpr double kBoxTop = 26.0, kBoxBottom = 70.0;  // rows: 1.8 m wide

uint32_t Hash(uint32_t a, uint32_t b, uint32_t salt) {
    uint32_t h = a * 374761393u + b * 668265263u + salt * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// -1..1
double Texture(int cellX, int cellY, uint32_t salt) {
    return static_cast<double>(Hash(static_cast<uint32_t>(cellX), static_cast<uint32_t>(cellY), salt) & 0xFFFF) /
               32767.5 - 1.0;
}

tarvotool::AreaSpec Coil(const char* name, double edge) {
    const int32_t x0 = static_cast<int32_t>(std::lround(edge * kPxPerM));
    const int32_t x1 = static_cast<int32_t>(std::lround((edge + kCoilLength) * kPxPerM)) - 1;
    tarvotool::AreaSpec a;
    a.name = name;
    a.quad = ::AreaQuad{x0, 30, x1, 30, x1, 66, x0, 66};
    a.length = kCoilLength;
    return a;
}

struct Box {
    BoxVehicle v;
    double grey = 0;  // body brightness
    uint32_t salt = 0;
};

// Grey of the box at box coordinates (u along from its front, metres; row y).
double BoxGrey(const Box& b, double u, int y) {
    const int cx = static_cast<int>(std::floor(u / 0.25)), cy = (y - static_cast<int>(kBoxTop)) / 6;
    return b.grey + 30.0 * Texture(cx, cy, b.salt);
}

void Render(const std::vector<Box>& boxes, double t, int frame, const std::vector<float>& road,
            tarvotool::BgrImage& img) {
    img.resize(kWidth, kHeight);
    std::vector<double> grey(road.begin(), road.end());
    for (const Box& b : boxes) {
        const double front = kInEdge + b.v.speedMps * (t - b.v.inTime), rear = front - b.v.lengthM;
        if (front <= 0 || rear >= kWidth / kPxPerM) continue;
        const int x0 = std::max(0, static_cast<int>(std::floor(rear * kPxPerM)));
        const int x1 = std::min(kWidth - 1, static_cast<int>(std::ceil(front * kPxPerM)));
        for (int x = x0; x <= x1; ++x) {
            // The share of the pixel the box covers: edges between pixels
            // blend as a camera's would.
            const double cover = std::clamp(std::min(front * kPxPerM, x + 1.0) - std::max(rear * kPxPerM, double(x)),
                                            0.0, 1.0);
            if (cover <= 0) continue;
            const double u = front - (x + 0.5) / kPxPerM;
            for (int y = static_cast<int>(kBoxTop); y < static_cast<int>(kBoxBottom); ++y) {
                double& g = grey[static_cast<std::size_t>(y) * kWidth + x];
                g = (1 - cover) * g + cover * BoxGrey(b, u, y);
            }
        }
    }
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = img.row(y);
        for (int x = 0; x < kWidth; ++x) {
            const double noise = 3.0 * Texture(x, y, 1000u + static_cast<uint32_t>(frame));
            const int v = static_cast<int>(std::lround(std::clamp(grey[std::size_t(y) * kWidth + x] + noise, 0.0, 255.0)));
            row[x * 3 + 0] = row[x * 3 + 1] = row[x * 3 + 2] = static_cast<uint8_t>(v);
        }
    }
}

}  // namespace

BoxClip MakeBoxClip(int count, double loKmh, double hiKmh) {
    BoxClip clip;
    clip.areas.areas = {Coil("in", kInEdge), Coil("out", kOutEdge)};
    tarvotool::PairSpec pair;
    pair.name = "lane";
    pair.from = "in";
    pair.to = "out";
    pair.fromArea = 0;
    pair.toArea = 1;
    pair.distance = kOutEdge - kInEdge;
    pair.maxTime = 2.0;
    clip.areas.pairs.push_back(pair);

    std::vector<Box> boxes;
    double t = 1.2;  // the slowest box is still out of view on the first frame
    for (int i = 0; i < count; ++i) {
        // Every 7th speed in turn (7 and count share no factor for the
        // counts used here): fast and slow boxes alternate.
        const int k = (i * 7) % count;
        Box b;
        b.v.speedMps = (loKmh + (hiKmh - loKmh) * k / std::max(1, count - 1)) / 3.6;
        b.v.lengthM = 3.5 + 8.5 * ((i * 5) % count) / std::max(1, count - 1);
        b.v.inTime = t;
        b.v.outTime = t + (kOutEdge - kInEdge) / b.v.speedMps;
        b.grey = i % 2 ? 190.0 : 45.0;  // lighter and darker than the road
        b.salt = static_cast<uint32_t>(i + 1);
        boxes.push_back(b);
        clip.vehicles.push_back(b.v);
        // The next one reaches the trap after this one's rear has left it.
        t += (kOutEdge + kCoilLength - kInEdge + b.v.lengthM) / b.v.speedMps + 0.4;
    }
    std::vector<float> road(static_cast<std::size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) road[std::size_t(y) * kWidth + x] = float(110.0 + 12.0 * Texture(x, y, 7u));
    const int frames = static_cast<int>(std::ceil((t + 0.5) * clip.fps));
    clip.frames.resize(static_cast<std::size_t>(frames));
    for (int f = 0; f < frames; ++f) Render(boxes, static_cast<double>(f) / clip.fps, f, road, clip.frames[f]);
    return clip;
}

}  // namespace tooltest
