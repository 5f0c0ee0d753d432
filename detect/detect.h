// detect.h - the per-frame decision for every area.
#ifndef TARVOCOIL_DETECT_DETECT_H
#define TARVOCOIL_DETECT_DETECT_H

#include <cstdint>

#include "detect/engine.h"
#include "detect/sweep.h"

namespace tarvocoil {

// What a sweep over one area needs, with the planes as the slots hold them
// now (an earlier area's refresh may have exchanged them in this frame).
inline SweepInput SweepInputFor(const Engine& engine, const SurvArea& area) {
    return SweepInput{engine.greyLut,
                      &engine.inputFrame,
                      &area.spans,
                      engine.planes.current()->pixels,
                      engine.planes.previous()->pixels,
                      engine.planes.background()->pixels,
                      engine.planes.current()->stride};
}

// The per-frame operation on engine.inputFrame. Returns 0 when nothing was
// done (no areas, or a baseline frame that could not get its planes), 1
// otherwise. A baseline frame leaves results untouched; a detection frame
// writes one entry per area.
int16_t ProcessFrame(Engine& engine, int32_t* results);

// Makes the planes anew at the frame's size and takes every area's
// baseline. False, with the baseline still pending, when memory runs out.
bool TakeBaseline(Engine& engine);

// Decides every area in store order, writes results, exchanges the
// current and previous planes at the end.
void RunPresenceTest(Engine& engine, int32_t* results);

// Confirms a presence by a light blob. On return area.present is 1 only if
// a blob within the light limits was found, and result is 1 only if
// present is 1 and wasPresent 0. Writes the light mask into the previous
// plane.
void FrontLightTest(Engine& engine, SurvArea& area, int32_t& result);

}  // namespace tarvocoil

#endif
