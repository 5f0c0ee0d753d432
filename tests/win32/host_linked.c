/*
 * host_linked.c - runs the scenarios through the library linked at build
 * time: natively against libtarvocoil.so, on Windows through one of
 * TarvoCoil.dll's import libraries (TarvoCoil.dll.a or TarvoCoil.lib).
 * The declarations come from tarvocoil.h exactly as a host sees them.
 *
 *     trv_host_linked <transcript-file>
 */
#include <stdio.h>

#include "scenarios.h"
#include "tarvocoil.h"

static int32_t coil_init(void) { return TRVCoilInit(); }
static void coil_release(void) { TRVCoilRelease(); }
static int32_t set_surv_areas(int32_t count, const AreaQuad* quads, const float* sensitivities) {
    return TRVSetSurvAreas(count, quads, sensitivities);
}
static int16_t get_surv_results(const uint8_t* pixels, int32_t width, int32_t height, int32_t reserved,
                                int32_t bytesPerPixel, int32_t* results) {
    return TRVGetSurvResults(pixels, width, height, reserved, bytesPerPixel, results);
}
static void set_frame_count_thresh(int32_t v) { TRVSetFrameCountThresh(v); }
static void set_two_frames_disturb_thresh(float v) { TRVSetTwoFramesDisturbThresh(v); }
static void use_front_light_trigger(int32_t v) { TRVUseFrontLightTrigger(v); }
static void set_light_param(int32_t t, int32_t minW, int32_t maxW, int32_t minH, int32_t maxH) {
    TRVSetLightParam(t, minW, maxW, minH, maxH);
}

int main(int argc, char** argv) {
    static const TrvApi api = {coil_init,
                               coil_release,
                               set_surv_areas,
                               get_surv_results,
                               set_frame_count_thresh,
                               set_two_frames_disturb_thresh,
                               use_front_light_trigger,
                               set_light_param};
    if (argc != 2) {
        fprintf(stderr, "usage: %s <transcript-file>\n", argv[0]);
        return 2;
    }
    FILE* out = fopen(argv[1], "wb");
    if (!out) {
        fprintf(stderr, "cannot write %s\n", argv[1]);
        return 2;
    }
    const int failed = trv_run_scenarios(&api, out);
    if (fclose(out) != 0 || failed) {
        fprintf(stderr, "scenarios did not complete\n");
        return 1;
    }
    return 0;
}
