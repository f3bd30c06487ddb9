#include <pybind11/pybind11.h>

#include <stdexcept>

#include "denoise/denoiser.hpp"
#include "module/bindings.hpp"

namespace qv::binding {

image_arg denoise_gaussian(image_arg image, float sigma, const std::vector<int>& patch_radius,
                           const std::vector<int>& search_axis, int max_iter, float pvalue,
                           int nthreads, float renoise) {
    set_thread_count(nthreads);
    array img = from_numpy(image);
    denoiser d =
        make_denoiser(img, patch_radius, search_axis, max_iter, pvalue, sigma, renoise);
    {
        // The run touches no Python object.
        const pybind11::gil_scoped_release release;
        d.run(img, sigma);
    }
    write_back(image, img);
    return image;
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
