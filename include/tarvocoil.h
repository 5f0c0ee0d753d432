/*
 * tarvocoil.h - TarvoCoil video trigger library, C interface.
 *
 * A host draws survey areas ("coils"): quadrilaterals of the picture, each a
 * virtual induction loop. It hands the library every 24-bit BGR frame and
 * gets back one flag per area, set to 1 on the frame on which a moving
 * object's presence in that area begins.
 *
 * Typical use:
 *
 *     TRVCoilInit();
 *     TRVSetSurvAreas(n, quads, thresholds);   // next frame takes the baseline
 *     for (each frame)
 *         if (TRVGetSurvResults(bgr, w, h, 0, 3, flags))
 *             ... flags[i] == 1: area i triggered on this frame ...
 *     TRVCoilRelease();
 *
 * The eight functions drive one process-wide detector. Hosts that run one
 * detector per camera use the C++ interface in tarvocoil.hpp instead.
 *
 * Frame layout: 3 bytes per pixel in the order blue, green, red; every row
 * padded to a multiple of 4 bytes (row stride = (3 * width + 3) & ~3); row 0
 * first in memory. Coordinates of areas use the same system: x counts pixels
 * from the start of a row, y counts rows in memory order.
 */
#ifndef TARVOCOIL_H
#define TARVOCOIL_H

#include <stdint.h>

/* Calling convention: stdcall on 32-bit Windows (the callee removes its
 * arguments), the platform default everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#define TRV_CALL __stdcall
#else
#define TRV_CALL
#endif

/* Export/import decoration. Define TARVOCOIL_STATIC when linking the static
 * library on Windows; the library's own build defines TARVOCOIL_BUILD. */
#if defined(_WIN32)
#if defined(TARVOCOIL_STATIC)
#define TRV_API
#elif defined(TARVOCOIL_BUILD)
#define TRV_API __declspec(dllexport)
#else
#define TRV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TRV_API __attribute__((visibility("default")))
#else
#define TRV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One survey area: four vertices in pixel coordinates, joined in the order
 * 0-1, 1-2, 2-3, 3-0, clockwise or counter-clockwise. Convex or not, even
 * self-crossing: every row between the top and bottom vertex is covered
 * from its leftmost to its rightmost outline pixel. Coordinates may lie
 * outside the frame (they are clipped when sampled) but must lie within
 * -32768..32767. 32 bytes, little-endian, no padding. */
typedef struct AreaQuad {
    int32_t x0, y0;
    int32_t x1, y1;
    int32_t x2, y2;
    int32_t x3, y3;
} AreaQuad;

/* Ordinal 1. Sets the library up: grey table, empty area store. Call once
 * before anything but the setters. Always returns 1. Calling it again
 * without TRVCoilRelease starts afresh (all areas dropped). */
TRV_API int32_t TRV_CALL TRVCoilInit(void);

/* Ordinal 2. Frees everything the library holds. Afterwards only
 * TRVCoilInit and the setters do anything; after a new TRVCoilInit, install
 * areas again before expecting results. A second call does nothing. */
TRV_API void TRV_CALL TRVCoilRelease(void);

/* Ordinal 3. Replaces all survey areas. quads and sensitivities each hold
 * count entries; sensitivities[i] is area i's presence ratio: area i counts
 * as present when its summed grey difference from the background exceeds
 * that fraction of its brightness (typical values 0.05 .. 0.3).
 * Returns 1 when count > 0 areas were installed. Returns 0, leaving no
 * areas installed, for count <= 0, count > 32767, a null array with
 * count > 0, a vertex outside -32768..32767, or when memory runs out.
 * The next frame takes a new baseline. Safe to call from another thread
 * while TRVGetSurvResults runs: it waits for that frame to finish. */
TRV_API int32_t TRV_CALL TRVSetSurvAreas(int32_t count, const AreaQuad *quads,
                                          const float *sensitivities);

/* Ordinal 4. Processes one frame. Call once per frame with the same width
 * and height while the same areas are installed; bytesPerPixel is 3;
 * reserved is never read. results must have room for one int32_t per area.
 * Returns 1 when the frame was used:
 *   - the first frame after TRVSetSurvAreas (or after a change of frame
 *     size) takes the baseline and leaves results untouched;
 *   - every later frame writes results[i] = 1 when area i's presence began
 *     on this frame, else 0.
 * width and height keep their low 16 bits, read as signed (65856 is taken
 * as 320). While they equal the stored ones, the stored geometry (bytes per
 * pixel and stride) stays in force and bytesPerPixel is not looked at; a
 * frame of another size takes all of its declaration.
 * Returns 0 and leaves results untouched when no areas are installed, when
 * an area replacement is in progress on another thread, before
 * TRVCoilInit, or when the frame is refused: null pixels or results, or a
 * geometry taken as above with width < 1 or > 10921, height < 3 (so every
 * height of 32768 or more, which reads as negative) or bytes per pixel
 * other than 3. A refused frame changes nothing. */
TRV_API int16_t TRV_CALL TRVGetSurvResults(const uint8_t *pixels, int32_t width,
                                            int32_t height, int32_t reserved,
                                            int32_t bytesPerPixel, int32_t *results);

/* Ordinal 5. Number of consecutive still frames after which a still area's
 * background is refreshed (default 20; 0 refreshes on every disturbed
 * frame; a negative value never refreshes). Any time, also before
 * TRVCoilInit; kept across TRVCoilInit/TRVCoilRelease, like all setters. */
TRV_API void TRV_CALL TRVSetFrameCountThresh(int32_t frameCountThresh);

/* Ordinal 6. Largest frame-to-frame change, as a fraction of the area's
 * brightness, for an area to count as still (default 0.15). */
TRV_API void TRV_CALL TRVSetTwoFramesDisturbThresh(float twoFramesDisturbThresh);

/* Ordinal 7. 1 turns front-light (night) triggering on: a presence then
 * triggers only when the area also shows a light blob within the limits of
 * TRVSetLightParam. Any other value turns it off (default 0). */
TRV_API void TRV_CALL TRVUseFrontLightTrigger(int32_t useFrontLightTrigger);

/* Ordinal 8. Light blob limits (defaults 200, 20, 80, 20, 80). A pixel is
 * light when its grey (0..254) is at least lightThresh. A blob is accepted
 * when its box width and mean run width are at least minWidth, its width at
 * most maxWidth, its height within minHeight..maxHeight, and its area
 * measure below maxWidth * maxHeight. Each value keeps its low 16 bits,
 * and so does the area limit: maxWidth * maxHeight above 32767 wraps
 * (200 * 200 gives -25536, which accepts no blob). Until the first call the
 * area limit is 5000. */
TRV_API void TRV_CALL TRVSetLightParam(int32_t lightThresh, int32_t lightMinWidth,
                                       int32_t lightMaxWidth, int32_t lightMinHeight,
                                       int32_t lightMaxHeight);

#ifdef __cplusplus
}
#endif

#endif /* TARVOCOIL_H */
