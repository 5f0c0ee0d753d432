// demo_scene.h - the built-in synthetic traffic scene.
//
// A camera 8 m above a straight three-lane road looks down the road; two
// coils 2 m long are painted across each lane, "in" 20..22 m and "out"
// 14..16 m from the camera, paired as a speed trap. Cars, vans, lorries and
// motorbikes of varied size, colour and speed (8..32 m/s) drive towards the
// camera. The picture has sensor noise, a slow brightness drift and, by
// day, a passing cloud shadow. By night the scene is dark and vehicles show
// headlight pairs. The generator records the ground truth: the frame on
// which each vehicle first touches each coil, and each vehicle's speed and
// length.
#ifndef TARVOCOIL_TOOLS_DEMO_DEMO_SCENE_H
#define TARVOCOIL_TOOLS_DEMO_DEMO_SCENE_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/canvas.h"
#include "tools/loop/frame_loop.h"

namespace tarvotool {

struct DemoOptions {
    bool night = false;
    // Night only: headlights a quarter of their usual size (well below the
    // detector's default light limits) that cast long bright reflections
    // on a wet road ahead of the vehicle, reaching the coils first. A scene
    // that only the light settings, not a threshold, can sort out.
    bool wetRoad = false;
    int frames = 2250;  // 90 s at 25 fps
    uint64_t seed = 1;
};

struct DemoVehicle {
    int lane = 0;
    std::string kind;
    int type = 0;  // 0 car, 1 van, 2 lorry, 3 motorbike
    double length = 4.5, width = 1.8;  // metres
    double x = 0.0;                    // lateral centre, metres
    double spawnTime = 0.0;            // seconds; front at kSpawnZ then
    double speed = 15.0;               // metres per second
    Color body{}, cargo{};
};

struct DemoEntry {
    int vehicle = 0;
    int coil = 0;  // area index: 2 * lane ("in"), 2 * lane + 1 ("out")
    int frame = 0;
};

class DemoScene {
public:
    static constexpr int kWidth = 720;
    static constexpr int kHeight = 576;
    static constexpr int kFps = 25;

    explicit DemoScene(const DemoOptions& options);

    // The coils as an areas configuration: per lane "lane N in" and "lane N
    // out" (each with its length) and the pair "lane N" over them, presence
    // threshold kDefaultThreshold, and by night front-light triggering on
    // with the library's light limits.
    const AreasConfig& areas() const { return areas_; }
    const std::vector<DemoVehicle>& vehicles() const { return vehicles_; }

    // Renders frame `index`. Frames must be rendered in order, each once:
    // the ground truth is gathered while drawing.
    void render(int index, BgrImage& out);

    // First touch of each (vehicle, coil), in the order they happened.
    const std::vector<DemoEntry>& entries() const { return entries_; }

private:
    void buildBackground();
    void drawVehicle(const DemoVehicle& v, double frontZ, int vehicleIndex, int frame);
    void drawHeadlight(double X, double Z, uint8_t& bits);
    void drawReflection(double X, double frontZ);
    void touch(int vehicleIndex, uint8_t coilBits, int frame);

    DemoOptions opt_;
    AreasConfig areas_;
    std::vector<DemoVehicle> vehicles_;
    std::vector<DemoEntry> entries_;
    std::vector<uint8_t> touched_;     // per vehicle: coils touched so far
    std::vector<uint8_t> coilMask_;    // per pixel: bit i set inside coil i (what the detector reads)
    std::vector<float> albedoBase_;    // per pixel and channel
    std::vector<float> albedo_;        // this frame, vehicles drawn
    std::vector<float> emissive_;      // this frame, light sources (one channel)
    std::vector<float> groundX_, groundZ_;
    std::vector<int8_t> noise_;
    uint8_t frameTouch_ = 0;
};

// The scene as the frame loop's source: frames 0..frames-1 at kFps.
class DemoSource : public FrameSource {
public:
    DemoSource(DemoScene& scene, int frames) : scene_(scene), frames_(frames) {}
    bool next(SourceFrame& out) override;
    // Time spent rendering, in seconds.
    double renderSeconds() const { return renderSeconds_; }

private:
    DemoScene& scene_;
    int frames_;
    int next_ = 0;
    BgrImage image_;
    double renderSeconds_ = 0.0;
};

// Scoring of triggers against the ground truth, per coil.
struct CoilScore {
    std::string name;
    int vehicles = 0;
    int triggers = 0;
    int hits = 0;
    int misses = 0;
    int falseTriggers = 0;
    double latencySum = 0.0;  // frames, over hits
};

// The matching rule of matching.h with a window of [entry, entry + window]:
// a trigger counts as a hit when it comes at most `window` frames after a
// vehicle first touched the coil; each entry takes the first free one.
// Entries in the last `window` frames of the run are left out, with any
// trigger they took, because the run ends before their window does.
// matched[k] receives, for each entry k, the frame of its trigger or -1.
std::vector<CoilScore> ScoreTriggers(const std::vector<DemoEntry>& entries,
                                     const std::vector<std::vector<int>>& triggers, int frames, int window,
                                     const AreasConfig& areas, std::vector<int>* matched = nullptr);

}  // namespace tarvotool

#endif
