/*
 * scenarios.h - frame-by-frame scenarios driven through the eight exported
 * functions, printing a transcript of every return value and result array.
 *
 * The same source runs in three hosts: natively against libtarvocoil.so, on
 * Windows through TarvoCoil.dll's import libraries, and on Windows through
 * LoadLibrary/GetProcAddress with every call made by an assembly thunk that
 * checks the stdcall contract. The transcripts must be identical byte for
 * byte, so everything here is deterministic: frames come from a fixed
 * xorshift generator and the output holds integers only.
 */
#ifndef TARVOCOIL_TESTS_WIN32_SCENARIOS_H
#define TARVOCOIL_TESTS_WIN32_SCENARIOS_H

#include <stdint.h>
#include <stdio.h>

#include "tarvocoil.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The exported functions as the host reaches them. Plain C calling
 * convention: each host adapts this to how it calls the library. */
typedef struct TrvApi {
    int32_t (*coilInit)(void);
    void (*coilRelease)(void);
    int32_t (*setSurvAreas)(int32_t count, const AreaQuad* quads, const float* sensitivities);
    int16_t (*getSurvResults)(const uint8_t* pixels, int32_t width, int32_t height, int32_t reserved,
                              int32_t bytesPerPixel, int32_t* results);
    void (*setFrameCountThresh)(int32_t value);
    void (*setTwoFramesDisturbThresh)(float value);
    void (*useFrontLightTrigger)(int32_t value);
    void (*setLightParam)(int32_t thresh, int32_t minW, int32_t maxW, int32_t minH, int32_t maxH);
} TrvApi;

/* Runs every scenario in a fresh process (the library must not have been
 * called before), writing the transcript to out. Returns 0, or 1 when the
 * scenarios could not run (out of memory). */
int trv_run_scenarios(const TrvApi* api, FILE* out);

#ifdef __cplusplus
}
#endif

#endif
