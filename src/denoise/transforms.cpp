// Generalized Anscombe transform of the Poisson-Gaussian noise model and its
// algebraic inverse, channel by channel, in place.
#include "denoise/transforms.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "noise/noise_model.hpp"

namespace qv {

namespace {

// Applies op to every element of channel c, the t indices shared statically
// among the threads.
template <typename Op>
void for_each_in_channel(array& image, std::int32_t c, const Op& op) {
    const std::int64_t plane = static_cast<std::int64_t>(image.nx) * image.ny * image.nz;
    float* const data = image.data.data();
    const std::int32_t nt = image.nt;
#pragma omp parallel for schedule(static)
    for (std::int32_t t = 0; t < nt; ++t) {
        float* const block = data + (static_cast<std::int64_t>(t) * image.nc + c) * plane;
        for (std::int64_t i = 0; i < plane; ++i) {
            block[i] = op(block[i]);
        }
    }
}

}  // namespace

void check_transform_parameters(const noise_model& model, std::int32_t nc) {
    const auto channels = static_cast<std::size_t>(std::max(nc, 0));
    if (model.gain.size() < channels || model.offset.size() < channels) {
        throw std::invalid_argument("gain and offset must have one entry per channel");
    }
    for (std::size_t c = 0; c < channels; ++c) {
        const float g = model.gain[c];
        if (!(std::isfinite(g) && g > 0.0f) || !std::isfinite(model.offset[c])) {
            throw std::invalid_argument("gain must be > 0 and offset finite");
        }
    }
}

void noise_model::forward_transform(array& image) const {
    for (std::int32_t c = 0; c < image.nc; ++c) {
        const float g = gain[static_cast<std::size_t>(c)];
        const float o = offset[static_cast<std::size_t>(c)];
        const float tc = (g * 0.375f) * g + o;
        const float scale = 2.0f / g;
        for_each_in_channel(image, c, [g, tc, scale](float v) {
            const float s = g * v + tc;
            // A NaN sum compares false and so maps to 0, like a negative one.
            const float clipped = s > 0.0f ? s : 0.0f;
            return std::sqrt(clipped) * scale;
        });
    }
}

void noise_model::inverse_transform(array& image) const {
    for (std::int32_t c = 0; c < image.nc; ++c) {
        const float g = gain[static_cast<std::size_t>(c)];
        const float o = offset[static_cast<std::size_t>(c)];
        const float uc = 0.25f - o / g;
        const float quarter_gain = g * 0.25f;
        for_each_in_channel(
            image, c, [quarter_gain, uc](float y) { return quarter_gain * (y * y - 1.5f) + uc; });
    }
}

}  // namespace qv
