// demo_scene.cpp - rendering of the synthetic road scene and its scoring.
#include "tools/demo/demo_scene.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "tools/evidence/matching.h"

namespace tarvotool {

namespace {

// Camera: pinhole, 8 m above the road, optical axis level with the road's
// vanishing point at row kHorizon.
constexpr double kHorizon = 60.0;
constexpr double kFocal = 800.0;
constexpr double kCamHeight = 8.0;
constexpr double kCx = 360.0;
constexpr double kLaneWidth = 3.5;
constexpr double kRoadHalf = 1.5 * kLaneWidth;
// Coils 2 m long, 0.3 m inside the lane lines: a trap per lane, "in" 20..22 m
// and "out" 14..16 m from the camera.
constexpr double kInNear = 20.0, kInFar = 22.0, kOutNear = 14.0, kOutFar = 16.0, kCoilHalf = 1.45;
constexpr double kWetNear = 18.0, kWetFar = 22.0;
constexpr double kTrapMaxTime = 1.5;  // seconds: 6 m at 14 km/h
constexpr double kSpawnZ = 170.0;
constexpr double kPi = 3.14159265358979323846;
constexpr int kNoiseSize = 1 << 22;

double LaneCentre(int lane) { return (lane - 1) * kLaneWidth; }
double ProjectX(double X, double Z) { return kCx + kFocal * X / Z; }
double ProjectY(double Z) { return kHorizon + kFocal * kCamHeight / Z; }
double RowZ(double yCentre) { return kFocal * kCamHeight / (yCentre - kHorizon); }

class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double gauss() {
        const double u1 = std::max(uniform(), 1e-300), u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
    }
    template <std::size_t N>
    int pick(const double (&w)[N]) {
        double sum = 0.0;
        for (double x : w) sum += x;
        double r = uniform() * sum;
        for (std::size_t i = 0; i < N; ++i) {
            if (r < w[i]) return static_cast<int>(i);
            r -= w[i];
        }
        return static_cast<int>(N - 1);
    }

private:
    uint64_t s_;
};

// Static texture value in -1..1 for a pixel.
double Hash01(int x, int y, uint32_t salt) {
    uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u + salt * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return static_cast<double>(h & 0xFFFF) / 32767.5 - 1.0;
}

double Smoothstep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

const Color kBodyColours[] = {{228, 230, 230}, {180, 178, 175}, {125, 122, 120}, {38, 35, 35},
                              {25, 50, 110},   {35, 35, 170},   {40, 100, 50},   {40, 190, 220}};
const double kBodyWeights[] = {0.22, 0.20, 0.12, 0.18, 0.10, 0.10, 0.04, 0.04};

}  // namespace

namespace {

constexpr int kWidth = DemoScene::kWidth, kHeight = DemoScene::kHeight, kFps = DemoScene::kFps;

// Coils: two per lane, "in" and then "out" nearer the camera (vehicles
// drive towards it), paired as a speed trap with 6 m between their leading
// edges. Equal lengths, so that the part of each coil a vehicle must cover
// before the margin reaches 1 is about the same at both ends of the trap.
AreaSpec LaneCoil(int lane, const char* end, double zNear, double zFar) {
    const double xl = LaneCentre(lane) - kCoilHalf, xr = LaneCentre(lane) + kCoilHalf;
    auto px = [](double X, double Z) { return static_cast<int32_t>(std::lround(ProjectX(X, Z))); };
    auto py = [](double Z) { return static_cast<int32_t>(std::lround(ProjectY(Z))); };
    AreaSpec a;
    a.name = "lane " + std::to_string(lane + 1) + " " + end;
    a.quad = AreaQuad{px(xl, zFar), py(zFar), px(xr, zFar), py(zFar), px(xr, zNear), py(zNear), px(xl, zNear), py(zNear)};
    a.threshold = kDefaultThreshold;
    a.length = zFar - zNear;
    return a;
}

AreasConfig DemoCoils(bool night, bool wetRoad) {
    AreasConfig areas;
    // The wet road is a night setup scene, not a speed trap: one 4 m coil
    // per lane, where a headlight spans a few pixels and its reflection
    // arrives well ahead of it.
    for (int lane = 0; wetRoad && lane < 3; ++lane) {
        AreaSpec a = LaneCoil(lane, "", kWetNear, kWetFar);
        a.name = "lane " + std::to_string(lane + 1);
        a.length.reset();
        areas.areas.push_back(a);
    }
    for (int lane = 0; !wetRoad && lane < 3; ++lane) {
        areas.areas.push_back(LaneCoil(lane, "in", kInNear, kInFar));
        areas.areas.push_back(LaneCoil(lane, "out", kOutNear, kOutFar));
        PairSpec p;
        p.name = "lane " + std::to_string(lane + 1);
        p.from = areas.areas[areas.areas.size() - 2].name;
        p.to = areas.areas.back().name;
        p.fromArea = areas.areas.size() - 2;
        p.toArea = areas.areas.size() - 1;
        p.distance = kInFar - kOutFar;
        p.maxTime = kTrapMaxTime;
        areas.pairs.push_back(p);
    }
    if (night) areas.frontLight = true;
    return areas;
}

// What the detector reads of each coil: its rows (as the library
// rasterises them), widened by the one pixel its 3x3 median looks beyond
// them. Per pixel, bit i is set inside coil i.
std::vector<uint8_t> CoilMask(const AreasConfig& areas) {
    std::vector<uint8_t> mask(static_cast<std::size_t>(kWidth) * kHeight, 0);
    std::vector<uint8_t> rows(mask.size(), 0);
    {
        tarvocoil::Detector det;
        ApplyAreas(det, areas);
        for (std::size_t i = 0; i < areas.areas.size(); ++i)
            for (const tarvocoil::AreaRow& r : det.areaRows(static_cast<int32_t>(i))) {
                if (r.y < 0 || r.y >= kHeight) continue;
                for (int x = std::max(0, r.left); x <= std::min(kWidth - 1, r.right); ++x)
                    rows[static_cast<std::size_t>(r.y) * kWidth + x] |= uint8_t(1u << i);
            }
    }
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            uint8_t m = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && xx < kWidth && yy >= 0 && yy < kHeight) m |= rows[std::size_t(yy) * kWidth + xx];
                }
            mask[std::size_t(y) * kWidth + x] = m;
        }
    return mask;
}

// A vehicle of the lane's mix of kinds, speeds and colours; where and when
// it appears is left to the caller.
DemoVehicle RandomVehicle(Rng& rng, int lane) {
    const double speedLo[3] = {16.0, 12.0, 8.0}, speedHi[3] = {32.0, 24.0, 17.0};
    const double kindWeights[3][4] = {{0.75, 0.15, 0.0, 0.10}, {0.60, 0.20, 0.12, 0.08}, {0.45, 0.20, 0.30, 0.05}};
    DemoVehicle v;
    v.lane = lane;
    const int kind = rng.pick(kindWeights[lane]);
    v.speed = rng.range(speedLo[lane], speedHi[lane]);
    v.body = kBodyColours[rng.pick(kBodyWeights)];
    v.type = kind;
    switch (kind) {
        case 0: v.kind = "car"; v.length = rng.range(4.1, 4.8); v.width = rng.range(1.72, 1.86); break;
        case 1: v.kind = "van"; v.length = rng.range(4.8, 5.8); v.width = rng.range(1.9, 2.05); break;
        case 2:
            v.kind = "lorry";
            v.length = rng.range(9.5, 14.0);
            v.width = 2.5;
            v.speed = std::min(v.speed, rng.range(11.0, 14.0));
            v.cargo = kBodyColours[rng.pick(kBodyWeights)];
            break;
        default: v.kind = "motorbike"; v.length = 2.2; v.width = 0.8; break;
    }
    v.x = LaneCentre(lane) + rng.range(-0.25, 0.25);
    return v;
}

// Traffic: per lane, arrivals at random gaps; a faster vehicle starts
// late enough never to run into the one ahead while both are in view.
std::vector<DemoVehicle> DemoTraffic(const DemoOptions& opt) {
    std::vector<DemoVehicle> vehicles;
    Rng rng(opt.seed);
    const double endTime = static_cast<double>(opt.frames) / kFps;
    const double meanGap[3] = {5.0, 4.0, 5.5};
    for (int lane = 0; lane < 3; ++lane) {
        double t = -7.0;
        bool haveLeader = false;
        DemoVehicle leader;
        while (true) {
            t += 1.0 + (meanGap[lane] - 1.0) * -std::log(std::max(rng.uniform(), 1e-12));
            if (t > endTime) break;
            DemoVehicle v = RandomVehicle(rng, lane);
            double ts = t;
            if (haveLeader) {
                ts = std::max(ts, leader.spawnTime + (leader.length + 2.0) / leader.speed);
                if (v.speed > leader.speed) {
                    const double leaderGone = leader.spawnTime + (kSpawnZ - 10.0 + leader.length) / leader.speed;
                    ts = std::max(ts, leaderGone - (kSpawnZ - 12.0) / v.speed);
                }
            }
            v.spawnTime = ts;
            t = ts;
            leader = v;
            haveLeader = true;
            // Leave out vehicles near the coils on the first frame (it is the
            // detector's baseline) and those reaching them in the last 1.5 s.
            const double frontAtStart = kSpawnZ + v.speed * v.spawnTime;
            const double reachCoils = v.spawnTime + (kSpawnZ - 26.0) / v.speed;
            if (frontAtStart < 40.0 || reachCoils > endTime - 1.5) continue;
            vehicles.push_back(v);
        }
    }
    return vehicles;
}

}  // namespace

DemoScene::DemoScene(const DemoOptions& options) : opt_(options) {
    areas_ = DemoCoils(opt_.night, opt_.wetRoad);
    coilMask_ = CoilMask(areas_);
    vehicles_ = DemoTraffic(opt_);
    touched_.assign(vehicles_.size(), 0);
    buildBackground();

    noise_.resize(kNoiseSize);
    Rng nrng(opt_.seed ^ 0xA5A5A5A5ull);
    const double sigma = 3.0;
    for (int8_t& n : noise_) n = static_cast<int8_t>(std::clamp(std::lround(nrng.gauss() * sigma), -127L, 127L));
}

void DemoScene::buildBackground() {
    const std::size_t n = static_cast<std::size_t>(kWidth) * kHeight;
    albedoBase_.assign(n * 3, 0.0f);
    groundX_.assign(n, 0.0f);
    groundZ_.assign(n, 0.0f);
    for (int y = 0; y < kHeight; ++y) {
        const double yc = y + 0.5;
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = std::size_t(y) * kWidth + x;
            float* a = &albedoBase_[i * 3];
            if (yc <= kHorizon + 1.0) {  // sky
                const double s = 200.0 - 40.0 * yc / kHorizon;
                a[0] = float(s + 25);
                a[1] = float(s + 5);
                a[2] = float(s - 10);
                groundZ_[i] = -1.0f;
                continue;
            }
            const double Z = RowZ(yc), X = (x + 0.5 - kCx) * Z / kFocal;
            groundX_[i] = float(X);
            groundZ_[i] = float(Z);
            const double ax = std::fabs(X);
            double b, g, r;
            const double grain = Hash01(x, y, 7) * 6.0;
            const double patch = 5.0 * std::sin(X * 0.9 + Z * 0.21) * std::sin(Z * 0.13 + 1.7);
            if (ax <= kRoadHalf + 0.6) {
                const double v = 100.0 + grain + patch;
                b = v + 3;
                g = v + 1;
                r = v;
                const bool edgeLine = ax > kRoadHalf - 0.15 && ax <= kRoadHalf;
                const bool laneLine = std::fabs(ax - 0.5 * kLaneWidth) < 0.075 && std::fmod(Z, 12.0) < 3.0;
                if (edgeLine || laneLine) b = g = r = 215.0 + grain;
            } else {
                const double v = Hash01(x, y, 11) * 14.0 + 0.6 * patch;
                b = 62 + v;
                g = 118 + v;
                r = 78 + v;
            }
            // Distance haze.
            const double haze = 1.0 - std::exp(-Z / 450.0);
            a[0] = float(b + (190 - b) * haze);
            a[1] = float(g + (185 - g) * haze);
            a[2] = float(r + (175 - r) * haze);
        }
    }
}

void DemoScene::touch(int vehicleIndex, uint8_t bits, int frame) {
    const uint8_t fresh = bits & ~touched_[vehicleIndex];
    for (int c = 0; c < 8; ++c)
        if (fresh & (1u << c)) entries_.push_back(DemoEntry{vehicleIndex, c, frame});
    touched_[vehicleIndex] |= bits;
}

void DemoScene::drawVehicle(const DemoVehicle& v, double frontZ, int vi, int frame) {
    const double rearZ = frontZ + v.length;
    uint8_t bits = 0;
    auto rows = [&](double zNear, double zFar, double xl, double xr, auto&& fn) {
        const int y0 = std::max(0, static_cast<int>(std::floor(ProjectY(zFar))));
        const int y1 = std::min(kHeight - 1, static_cast<int>(std::ceil(ProjectY(std::max(zNear, 1.0)))));
        for (int y = y0; y <= y1; ++y) {
            const double yc = y + 0.5;
            if (yc <= kHorizon) continue;
            const double Z = RowZ(yc);
            if (Z < zNear || Z > zFar) continue;
            const double pl = ProjectX(xl, Z), pr = ProjectX(xr, Z);
            const int x0 = std::max(0, static_cast<int>(std::ceil(pl - 0.5)));
            const int x1 = std::min(kWidth - 1, static_cast<int>(std::floor(pr - 0.5)));
            for (int x = x0; x <= x1; ++x) {
                const std::size_t i = std::size_t(y) * kWidth + x;
                bits |= coilMask_[i];
                fn(i, (Z - frontZ) / v.length, x == x0 || x == x1);
            }
        }
    };
    if (!opt_.night) {  // shadow: sun from the left, slightly behind
        rows(frontZ - 0.1, rearZ + 0.4, v.x - v.width / 2 + 0.3, v.x + v.width / 2 + 0.4,
             [&](std::size_t i, double, bool) {
                 for (int c = 0; c < 3; ++c) albedo_[i * 3 + c] *= 0.5f;
             });
    }
    const Color glass{48, 42, 40};
    rows(frontZ, rearZ, v.x - v.width / 2, v.x + v.width / 2, [&](std::size_t i, double u, bool edge) {
        Color c = v.body;
        double shade = 1.0;
        if (v.type == 0) {
            if (u < 0.05) shade = 0.7;
            else if (u < 0.30) shade = 1.0;
            else if (u < 0.45) c = glass;
            else if (u < 0.80) shade = 1.06;
            else if (u < 0.90) c = glass;
        } else if (v.type == 1) {
            if (u < 0.04) shade = 0.7;
            else if (u >= 0.14 && u < 0.27) c = glass;
        } else if (v.type == 2) {
            if (u < 0.03) shade = 0.7;
            else if (u >= 0.04 && u < 0.11) c = glass;
            else if (u >= 0.2) c = v.cargo;
        } else {
            c = (u > 0.3 && u < 0.75) ? Color{45, 45, 50} : v.body;
        }
        if (edge) shade *= 0.8;
        float* a = &albedo_[i * 3];
        a[0] = float(std::min(255.0, c.b * shade));
        a[1] = float(std::min(255.0, c.g * shade));
        a[2] = float(std::min(255.0, c.r * shade));
    });
    if (opt_.night) {  // headlights facing the camera: saturated glare discs
        const double inset = v.type == 3 ? 0.0 : v.width / 2 - 0.3;
        const int lamps = v.type == 3 ? 1 : 2;
        for (int k = 0; k < lamps; ++k) {
            const double X = lamps == 1 ? v.x : v.x + (k == 0 ? -inset : inset);
            drawHeadlight(X, std::max(frontZ, 0.5), bits);
            if (opt_.wetRoad) drawReflection(X, frontZ);
        }
    }
    touch(vi, bits, frame);
}

void DemoScene::drawHeadlight(double X, double Z, uint8_t& bits) {
    const double cx = ProjectX(X, Z), cy = ProjectY(Z), r = kFocal * (opt_.wetRoad ? 0.1 : 0.4) / Z;
    const int x0 = std::max(0, int(std::floor(cx - 2 * r))), x1 = std::min(kWidth - 1, int(std::ceil(cx + 2 * r)));
    const int y0 = std::max(0, int(std::floor(cy - 2 * r))), y1 = std::min(kHeight - 1, int(std::ceil(cy + 2 * r)));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            if (d > 2 * r) continue;
            const double e = d <= r ? 255.0 : 230.0 * std::pow(1.0 - (d - r) / r, 2.0);
            if (e < 2.0) continue;
            const std::size_t i = std::size_t(y) * kWidth + x;
            emissive_[i] = std::max(emissive_[i], float(e));
            bits |= coilMask_[i];
        }
}

// A lamp's glare on wet asphalt: a bright streak on the road 4 to 8 m ahead
// of the vehicle, 0.7 m wide. It is light on the road, not the vehicle, so
// it touches no coil in the ground truth.
void DemoScene::drawReflection(double X, double frontZ) {
    const double nearZ = frontZ - 8.0, farZ = frontZ - 4.0;
    if (farZ <= 1.0) return;
    const int y0 = std::max(0, int(std::floor(ProjectY(farZ)))), y1 = std::min(kHeight - 1, int(std::ceil(ProjectY(std::max(nearZ, 1.0)))));
    for (int y = y0; y <= y1; ++y) {
        const double Z = RowZ(y + 0.5);
        if (Z < nearZ || Z > farZ) continue;
        const int x0 = std::max(0, int(std::lround(ProjectX(X - 0.35, Z)))), x1 = std::min(kWidth - 1, int(std::lround(ProjectX(X + 0.35, Z))));
        for (int x = x0; x <= x1; ++x) {
            const std::size_t i = std::size_t(y) * kWidth + x;
            emissive_[i] = std::max(emissive_[i], 235.0f);
        }
    }
}

void DemoScene::render(int index, BgrImage& out) {
    if (out.width != kWidth || out.height != kHeight) out.resize(kWidth, kHeight);
    const double t = static_cast<double>(index) / kFps;
    albedo_ = albedoBase_;
    emissive_.assign(static_cast<std::size_t>(kWidth) * kHeight, 0.0f);

    std::vector<std::pair<double, int>> order;
    for (std::size_t i = 0; i < vehicles_.size(); ++i) {
        const DemoVehicle& v = vehicles_[i];
        if (t < v.spawnTime) continue;
        const double front = kSpawnZ - v.speed * (t - v.spawnTime);
        if (front + v.length < 11.0) continue;
        order.emplace_back(front, static_cast<int>(i));
    }
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [front, i] : order) drawVehicle(vehicles_[i], front, i, index);

    // Light: slow drift of the whole picture; by day a cloud shadow drifts
    // across the road once, centred on the coils at 45% of the run.
    const double duration = static_cast<double>(opt_.frames) / kFps;
    const double gain = (opt_.night ? 0.17 : 1.0) * (1.0 + 0.08 * std::sin(2.0 * kPi * t / 70.0 + 0.3));
    const double cloudX = 6.0 * (t - 0.45 * duration), cloudZ = 25.0;
    const double cloudRx = 35.0, cloudRz = 30.0, cloudDepth = 0.45;
    const std::size_t offset = static_cast<std::size_t>((uint64_t(index) * 2654435761ull) %
                                                        uint64_t(kNoiseSize - kWidth * kHeight * 3));
    const int8_t* noise = noise_.data() + offset;
    const float skyLight = opt_.night ? 0.05f : static_cast<float>(gain);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = out.row(y);
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = std::size_t(y) * kWidth + x;
            float light = static_cast<float>(gain);
            if (groundZ_[i] < 0.0f) {
                light = skyLight;
            } else if (!opt_.night && std::fabs(groundX_[i] - cloudX) < cloudRx && std::fabs(groundZ_[i] - cloudZ) < cloudRz) {
                const double dx = (groundX_[i] - cloudX) / cloudRx, dz = (groundZ_[i] - cloudZ) / cloudRz;
                const double d = std::sqrt(dx * dx + dz * dz);
                if (d < 1.0) light *= static_cast<float>(1.0 - cloudDepth * (1.0 - Smoothstep(0.55, 1.0, d)));
            }
            const float e = emissive_[i];
            const float* a = &albedo_[i * 3];
            const int8_t* n = noise + i * 3;
            const float v0 = a[0] * light + e * 0.94f + n[0] + 0.5f;
            const float v1 = a[1] * light + e + n[1] + 0.5f;
            const float v2 = a[2] * light + e + n[2] + 0.5f;
            row[x * 3 + 0] = static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, v0)));
            row[x * 3 + 1] = static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, v1)));
            row[x * 3 + 2] = static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, v2)));
        }
    }
}

bool DemoSource::next(SourceFrame& out) {
    if (next_ >= frames_) return false;
    const auto t0 = std::chrono::steady_clock::now();
    scene_.render(next_, image_);
    renderSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    out.picture = image_.view();
    out.time = static_cast<double>(next_) / DemoScene::kFps;
    out.fileIndex = next_;
    ++next_;
    return true;
}

std::vector<CoilScore> ScoreTriggers(const std::vector<DemoEntry>& entries,
                                     const std::vector<std::vector<int>>& triggers, int frames, int window,
                                     const AreasConfig& areas, std::vector<int>* matched) {
    std::vector<CoilScore> out(areas.areas.size());
    if (matched) matched->assign(entries.size(), -1);
    for (std::size_t c = 0; c < out.size(); ++c) {
        std::vector<int64_t> trig;
        if (c < triggers.size()) trig.assign(triggers[c].begin(), triggers[c].end());
        std::sort(trig.begin(), trig.end());
        std::vector<std::size_t> idx;
        for (std::size_t k = 0; k < entries.size(); ++k)
            if (entries[k].coil == static_cast<int>(c)) idx.push_back(k);
        std::stable_sort(idx.begin(), idx.end(),
                         [&](std::size_t a, std::size_t b) { return entries[a].frame < entries[b].frame; });
        std::vector<int64_t> truth;
        for (std::size_t k : idx) truth.push_back(entries[k].frame);
        const AreaMatch m = MatchArea(truth, trig, MatchWindow{0, window}, frames - 1);
        CoilScore& s = out[c];
        s.name = areas.areas[c].name;
        s.vehicles = m.truths;
        s.triggers = m.triggers;
        s.hits = m.hits;
        s.misses = m.misses;
        s.falseTriggers = m.falses;
        s.latencySum = m.latencySum;
        if (matched)
            for (std::size_t i = 0; i < idx.size(); ++i) (*matched)[idx[i]] = static_cast<int>(m.matched[i]);
    }
    return out;
}

}  // namespace tarvotool
