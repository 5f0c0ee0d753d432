// detect.h - the per-frame decision for every area.
#ifndef TARVOCOIL_DETECT_DETECT_H
#define TARVOCOIL_DETECT_DETECT_H

#include <cstdint>

#include "detect/engine.h"
#include "detect/sweep.h"

namespace tarvocoil {

// What a sweep over one area needs, with the planes as the slots hold them
// now (an earlier area's refresh may have exchanged them in this frame).
inline SweepInput SweepInputFor(const Engine& engine, const FrameRef& frame, const SurvArea& area) {
    return SweepInput{engine.greyLut,
                      &frame,
                      &area.spans,
                      engine.planes.current()->pixels,
                      engine.planes.previous()->pixels,
                      engine.planes.background()->pixels,
                      engine.planes.current()->stride};
}

// The one rule for which frames are processed, for the padded frames of
// the C calls and for frame views alike: pixels and results given, and a
// geometry (as the frame takes it) of 1..10921 pixels per row, at least 3
// rows, 3 bytes per pixel, rows at least 3 * width bytes apart and a whole
// frame whose byte offsets fit in ptrdiff_t.
bool AcceptFrame(const ImagePlane& geometry, const FrameRef& frame, const int32_t* results);

// The per-frame operation on an accepted frame, whose geometry is already
// in engine.inputFrame. Returns 0 when nothing was done (no areas, or a
// baseline frame that could not get its planes), 1 otherwise. A baseline
// frame leaves results untouched; a detection frame writes one entry per
// area. Nothing keeps the frame after the call.
int16_t ProcessFrame(Engine& engine, const FrameRef& frame, int32_t* results);

// Makes the planes anew at the frame's size and takes every area's
// baseline. False, with the baseline still pending, when memory runs out.
bool TakeBaseline(Engine& engine, const FrameRef& frame);

// Decides every area in store order, writes results, exchanges the
// current and previous planes at the end.
void RunPresenceTest(Engine& engine, const FrameRef& frame, int32_t* results);

// Confirms a presence by a light blob. On return area.present is 1 only if
// a blob within the light limits was found, and result is 1 only if
// present is 1 and wasPresent 0. Writes the light mask into the previous
// plane. With a record m, notes that the test ran and the first blob it
// accepted.
void FrontLightTest(Engine& engine, const FrameRef& frame, SurvArea& area, int32_t& result, AreaMeasurement* m);

}  // namespace tarvocoil

#endif
