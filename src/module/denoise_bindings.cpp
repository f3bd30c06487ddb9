#include <pybind11/pybind11.h>

#include "denoise/denoiser.hpp"
#include "denoise/transforms.hpp"
#include "module/bindings.hpp"
#include "noise/noise_model.hpp"

namespace qv::binding {

image_arg denoise_gaussian(image_arg image, float sigma, const std::vector<int>& patch_radius,
                           const std::vector<int>& search_axis, int max_iter, float pvalue,
                           int nthreads, float renoise) {
    set_thread_count(nthreads);
    array img = from_numpy(image);
    denoiser d = make_denoiser(img, patch_radius, search_axis, max_iter, pvalue, sigma, renoise);
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
                                   const std::vector<int>& search_axis, int max_iter, float pvalue,
                                   int nthreads, float renoise) {
    set_thread_count(nthreads);
    noise_model model;
    model.gain = gain;
    model.offset = offset;
    array img = from_numpy(image);
    // The model is checked before the transform, which would otherwise divide
    // by a zero gain or read past the end of a short list.
    check_transform_parameters(model, img.nc);
    model.forward_transform(img);
    denoiser d = make_denoiser(img, patch_radius, search_axis, max_iter, pvalue, sigma, renoise);
    {
        const pybind11::gil_scoped_release unlocked;
        d.run(img, sigma);
    }
    model.inverse_transform(img);
    write_back(image, img);
    return image;
}

}  // namespace qv::binding
