// A program built against an installed TarvoCoil: one coil, one car.
#include <cstdio>
#include <vector>

#ifdef USE_C_API
#include <tarvocoil.h>
#else
#include <tarvocoil.hpp>
#endif

int main() {
    const int w = 64, h = 48, stride = (w * 3 + 3) & ~3;
    std::vector<uint8_t> road(stride * h, 90), car = road;
    for (int y = 10; y < 40; ++y)
        for (int x = 0; x < 3 * 50; ++x) car[y * stride + x] = 230;
    const AreaQuad coil{5, 5, 55, 5, 55, 42, 5, 42};
    const float threshold = 0.1f;
    int32_t flag = -1;
#ifdef USE_C_API
    TRVCoilInit();
    TRVSetSurvAreas(1, &coil, &threshold);
    TRVGetSurvResults(road.data(), w, h, 0, 3, &flag);
    TRVGetSurvResults(car.data(), w, h, 0, 3, &flag);
    TRVCoilRelease();
#else
    tarvocoil::Detector detector;
    detector.setAreas({coil}, {threshold});
    detector.process(road.data(), w, h, 3, &flag);
    detector.process(car.data(), w, h, 3, &flag);
#endif
    std::printf("triggered %d\n", flag);
    return flag == 1 ? 0 : 1;
}
