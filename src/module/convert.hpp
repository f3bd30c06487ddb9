// The steps every module function shares: converting the image argument,
// copying a result back into it, and the thread-count rule.
#pragma once

#include <pybind11/numpy.h>

#include "array/array.hpp"

namespace qv {

// The image argument as every binding takes it: float32, C-contiguous,
// converted by NumPy when it is not already.
using image_arg = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;

// A new qv::array holding a copy of the argument's elements; the NumPy axes
// fill x, y, z, c, t in reverse order.
[[nodiscard]] array from_numpy(const image_arg& a);

// Copies img into the argument's buffer after checking that it is writeable.
void write_back(image_arg& a, const array& img);

// n > 0: n threads; n <= 0: the current maximum + n, at least 1. Either is
// clamped to max_thread_count(), so that no request can exhaust the runtime.
void set_thread_count(int n);

// The qv::shape that from_numpy gives a NumPy shape, or std::length_error
// when an axis or the element count does not fit the image type.
[[nodiscard]] shape shape_from_extents(const pybind11::ssize_t* extents, pybind11::ssize_t rank);

}  // namespace qv
