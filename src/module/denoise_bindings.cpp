#include <stdexcept>

#include "module/bindings.hpp"

namespace qv::binding {

image_arg denoise_gaussian(image_arg image, float sigma, const std::vector<int>& patch_radius,
                           const std::vector<int>& search_axis, int max_iter, float pvalue,
                           int nthreads, float renoise) {
    (void)image, (void)sigma, (void)patch_radius, (void)search_axis, (void)max_iter;
    (void)pvalue, (void)nthreads, (void)renoise;
    throw std::runtime_error("not implemented yet");
}

image_arg denoise_poisson_gaussian(image_arg image, float sigma, const std::vector<float>& gain,
                                   const std::vector<float>& offset,
                                   const std::vector<int>& patch_radius,
                                   const std::vector<int>& search_axis, int max_iter,
                                   float pvalue, int nthreads, float renoise) {
    (void)image, (void)sigma, (void)gain, (void)offset, (void)patch_radius;
    (void)search_axis, (void)max_iter, (void)pvalue, (void)nthreads, (void)renoise;
    throw std::runtime_error("not implemented yet");
}

}  // namespace qv::binding
