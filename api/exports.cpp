// exports.cpp - the eight exported functions over the process-wide Context.
//
// No exception crosses into a host: nothing below throws (allocation
// failures are handled through the Allocator), and every call returns.
#include "api/context.h"
#include "tarvocoil.h"

using tarvocoil::ProcessContext;

extern "C" {

TRV_API int32_t TRV_CALL TRVCoilInit(void) { return ProcessContext().coilInit(); }

TRV_API void TRV_CALL TRVCoilRelease(void) { ProcessContext().coilRelease(); }

TRV_API int32_t TRV_CALL TRVSetSurvAreas(int32_t count, const AreaQuad* quads, const float* sensitivities) {
    return ProcessContext().setSurvAreas(count, quads, sensitivities);
}

TRV_API int16_t TRV_CALL TRVGetSurvResults(const uint8_t* pixels, int32_t width, int32_t height, int32_t reserved,
                                           int32_t bytesPerPixel, int32_t* results) {
    (void)reserved;  // part of the interface, never read
    return ProcessContext().getSurvResults(pixels, width, height, bytesPerPixel, results);
}

TRV_API void TRV_CALL TRVSetFrameCountThresh(int32_t frameCountThresh) {
    ProcessContext().setFrameCountThresh(frameCountThresh);
}

TRV_API void TRV_CALL TRVSetTwoFramesDisturbThresh(float twoFramesDisturbThresh) {
    ProcessContext().setTwoFramesDisturbThresh(twoFramesDisturbThresh);
}

TRV_API void TRV_CALL TRVUseFrontLightTrigger(int32_t useFrontLightTrigger) {
    ProcessContext().useFrontLightTrigger(useFrontLightTrigger);
}

TRV_API void TRV_CALL TRVSetLightParam(int32_t lightThresh, int32_t lightMinWidth, int32_t lightMaxWidth,
                                       int32_t lightMinHeight, int32_t lightMaxHeight) {
    ProcessContext().setLightParam(lightThresh, lightMinWidth, lightMaxWidth, lightMinHeight, lightMaxHeight);
}

}  // extern "C"
