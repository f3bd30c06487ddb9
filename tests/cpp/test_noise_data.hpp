// Synthetic images with known noise for the noise-estimation tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "array/array.hpp"

namespace qv_test {

// Smooth pattern in [0, 1]: a ramp along x with a gentle wave along y, so
// intensities spread nearly evenly and the signal leaves almost nothing in
// the pseudo-residuals.
inline double smooth_pattern(std::int32_t x, std::int32_t y, std::int32_t nx, std::int32_t ny) {
    const double u = static_cast<double>(x) / (nx - 1);
    const double v = static_cast<double>(y) / (ny - 1);
    return 0.8 * u + 0.2 * (0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * v));
}

struct noise_setting {
    double low = 50.0;  // signal range the pattern is mapped onto
    double high = 2000.0;
    double gain = 2.0;  // variance = gain * signal + offset
    double offset = 25.0;
};

// gain * Poisson(signal / gain) + Normal(0, sqrt(offset)) over the smooth
// pattern, one n x n plane.
inline qv::array poisson_gaussian_image(std::int32_t n, const noise_setting& s,
                                        std::uint32_t seed) {
    qv::array image;
    image.alloc(qv::shape{n, n, 1, 1, 1});
    std::mt19937 rng(seed);
    std::normal_distribution<double> read_noise(0.0, std::sqrt(s.offset));
    for (std::int32_t y = 0; y < n; ++y) {
        for (std::int32_t x = 0; x < n; ++x) {
            const double signal = s.low + (s.high - s.low) * smooth_pattern(x, y, n, n);
            std::poisson_distribution<int> photons(signal / s.gain);
            image.data[static_cast<std::size_t>(x + n * y)] =
                static_cast<float>(s.gain * photons(rng) + read_noise(rng));
        }
    }
    return image;
}

// A one-row image holding the given values.
inline qv::array row_image(const std::vector<float>& values) {
    return qv::array(values.data(), static_cast<std::int32_t>(values.size()), 1, 1, 1, 1);
}

}  // namespace qv_test
