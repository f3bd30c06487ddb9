// Images whose storage the engine owns and NumPy views: the package fills
// one, and the engine then denoises it in place without another copy.
#pragma once

#include <pybind11/numpy.h>

#include <vector>

#include "array/array.hpp"
#include "module/convert.hpp"

namespace qv::engine {

using float_array = pybind11::array_t<float, pybind11::array::c_style>;

// A new zero-filled float32 array of `numpy_shape` (1 to 5 axes) whose buffer
// is a qv::array kept alive by the NumPy array.
[[nodiscard]] float_array new_image(const std::vector<pybind11::ssize_t>& numpy_shape);

// A copy of `a` (shaped as from_numpy gives it) with room in its storage for
// the fast kernel's longer rows, which a run then uses instead of a copy.
[[nodiscard]] array work_copy(const image_arg& a);

// A NumPy view that keeps `img` (moved in) alive, with the NumPy shape of `like`.
[[nodiscard]] float_array adopt(array&& img, const pybind11::array& like);

// `a` as a C-contiguous float32 array (converted when it is not one): an
// image of 1 to 5 axes of real numbers. TypeError for other dtypes (complex,
// strings, objects, records), ValueError for another rank.
[[nodiscard]] image_arg checked_image(const pybind11::array& a);

// The qv::array behind `a` when `a` is the whole of an image from new_image
// (same buffer, same element count); null otherwise.
[[nodiscard]] array* owned_image(const pybind11::array& a);

}  // namespace qv::engine
