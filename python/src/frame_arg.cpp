// frame_arg.cpp - checking, borrowing or copying a numpy frame.
#include "python/src/frame_arg.h"

#include <cstring>
#include <limits>
#include <string>

namespace tarvopy {

namespace {

const char* const kExpected = "expected a uint8 numpy array of shape (H, W, 3) (BGR pixels)";

std::string ShapeText(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.shape(i));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

[[noreturn]] void SizeError(const char* what, py::ssize_t value, int32_t lo, int32_t hi, const py::array& a) {
    throw py::value_error(std::string("frame: ") + what + " " + std::to_string(value) + " is outside " +
                          std::to_string(lo) + ".." + std::to_string(hi) + " (shape (H, W, 3) = " +
                          ShapeText(a) + ")");
}

}  // namespace

FrameArg::FrameArg(py::handle frame) {
    if (py::isinstance<py::array>(frame)) {
        array_ = py::reinterpret_borrow<py::array>(frame);
    } else {
        // Buffers and sequences numpy understands are taken as arrays too;
        // the dtype check below still applies to them.
        array_ = py::array::ensure(frame);
        if (!array_)
            throw py::type_error(std::string("frame: ") + kExpected + ", got " +
                                 std::string(py::str(py::type::handle_of(frame).attr("__name__"))));
    }
    const py::dtype dt = array_.dtype();
    if (dt.kind() != 'u' || dt.itemsize() != 1)
        throw py::type_error(std::string("frame: ") + kExpected + ", got dtype " + std::string(py::str(static_cast<py::handle>(dt))));
    if (array_.ndim() != 3 || array_.shape(2) != 3)
        throw py::value_error(std::string("frame: ") + kExpected + ", got shape " + ShapeText(array_));
    const py::ssize_t h = array_.shape(0), w = array_.shape(1);
    if (w < tarvocoil::kMinFrameWidth || w > tarvocoil::kMaxFrameWidth)
        SizeError("width W", w, tarvocoil::kMinFrameWidth, tarvocoil::kMaxFrameWidth, array_);
    if (h < tarvocoil::kMinFrameHeight || h > tarvocoil::kMaxFrameHeight)
        SizeError("height H", h, tarvocoil::kMinFrameHeight, tarvocoil::kMaxFrameHeight, array_);

    data_ = static_cast<const uint8_t*>(array_.data());
    for (int i = 0; i < 3; ++i) strides_[i] = static_cast<int64_t>(array_.strides(i));
    view_.width = static_cast<int32_t>(w);
    view_.height = static_cast<int32_t>(h);
    borrowed_ = strides_[2] == 1 && strides_[1] == 3 && strides_[0] >= 3 * static_cast<int64_t>(w) &&
                strides_[0] <= std::numeric_limits<int32_t>::max();
    if (borrowed_) {
        view_.pixels = data_;
        view_.stride = static_cast<int32_t>(strides_[0]);
    }
}

void FrameArg::materialise() {
    if (borrowed_ || view_.pixels) return;
    const int64_t w = view_.width, h = view_.height, row = 3 * w;
    copy_.resize(static_cast<std::size_t>(row * h));
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t* src = data_ + y * strides_[0];
        uint8_t* dst = copy_.data() + y * row;
        if (strides_[1] == 3 && strides_[2] == 1) {
            std::memcpy(dst, src, static_cast<std::size_t>(row));
            continue;
        }
        for (int64_t x = 0; x < w; ++x, src += strides_[1], dst += 3) {
            dst[0] = src[0];
            dst[1] = src[strides_[2]];
            dst[2] = src[2 * strides_[2]];
        }
    }
    view_.pixels = copy_.data();
    view_.stride = static_cast<int32_t>(row);
}

}  // namespace tarvopy
