// frame_arg.h - a numpy frame as the detector takes it.
//
// A uint8 array of shape (H, W, 3) whose pixels lie as packed BGR triplets
// in each row (strides (S, 3, 1) with S >= 3 * W) is passed with its own
// row stride S, without copying: cv2 frames and rectangular slices of them.
// Any other layout (every other column, reversed rows, Fortran order,
// broadcast views) is copied once into packed rows.
#ifndef TARVOCOIL_PYTHON_FRAME_ARG_H
#define TARVOCOIL_PYTHON_FRAME_ARG_H

#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "tarvocoil.hpp"

namespace tarvopy {

namespace py = pybind11;

class FrameArg {
public:
    // Checks the object with the GIL held: TypeError for anything but a
    // uint8 array, ValueError for another shape or a size outside the
    // detector's limits, each naming the expected (H, W, 3).
    explicit FrameArg(py::handle frame);

    // Makes the packed copy where one is needed. Needs no GIL (the array
    // stays referenced by this object).
    void materialise();

    bool borrowed() const { return borrowed_; }
    // Valid after materialise().
    const tarvocoil::FrameView& view() const { return view_; }

private:
    py::array array_;
    const uint8_t* data_ = nullptr;
    int64_t strides_[3] = {0, 0, 0};
    bool borrowed_ = false;
    std::vector<uint8_t> copy_;
    tarvocoil::FrameView view_;
};

}  // namespace tarvopy

#endif
