// The six module functions, as the module table binds them.
#pragma once

#include <pybind11/numpy.h>

#include <vector>

#include "module/convert.hpp"

namespace qv::binding {

[[nodiscard]] double calibrate_gaussian(image_arg image);
[[nodiscard]] std::vector<std::vector<float>> calibrate_poisson_gaussian(image_arg image);
[[nodiscard]] image_arg denoise_gaussian(image_arg image, float sigma,
                                         const std::vector<int>& patch_radius,
                                         const std::vector<int>& search_axis, int max_iter,
                                         float pvalue, int nthreads, float renoise);
[[nodiscard]] image_arg denoise_poisson_gaussian(image_arg image, float sigma,
                                                 const std::vector<float>& gain,
                                                 const std::vector<float>& offset,
                                                 const std::vector<int>& patch_radius,
                                                 const std::vector<int>& search_axis, int max_iter,
                                                 float pvalue, int nthreads, float renoise);
[[nodiscard]] image_arg self_test(image_arg image);
void pseudoresiduals(image_arg& image);

// An image argument that receives its result in place and so must already be
// a C-contiguous float32 NumPy array: a converted copy would take the result
// and the caller would get nothing.
struct inplace_image {
    image_arg array;
};

}  // namespace qv::binding

namespace pybind11::detail {

template <>
struct type_caster<qv::binding::inplace_image> {
    PYBIND11_TYPE_CASTER(qv::binding::inplace_image, handle_type_name<qv::image_arg>::name);

    bool load(handle src, bool /*convert*/) {
        if (!qv::image_arg::check_(src)) {
            throw type_error(
                "the result is written in place into the argument, so it must be a "
                "C-contiguous float32 NumPy array");
        }
        value.array = reinterpret_borrow<qv::image_arg>(src);
        return true;
    }

    static handle cast(const qv::binding::inplace_image& src, return_value_policy, handle) {
        return src.array.inc_ref();
    }
};

}  // namespace pybind11::detail
