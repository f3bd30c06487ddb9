#include "module/bindings.hpp"
#include "noise/noise_model.hpp"

namespace qv::binding {

double calibrate_gaussian(image_arg image) {
    const array img = from_numpy(image);
    return estimate_gaussian_sigma(img);
}

std::vector<std::vector<float>> calibrate_poisson_gaussian(image_arg image) {
    noise_model model;
    const array img = from_numpy(image);
    model.calibrate(img);
    return {model.gain, model.offset};
}

void pseudoresiduals(image_arg& image) {
    const array img = from_numpy(image);
    const noise_model model;
    const array residuals = model.pseudo_residuals(img);
    write_back(image, residuals);
}

}  // namespace qv::binding
