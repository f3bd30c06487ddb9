// Noise model of an image: per-channel variance = gain * intensity + offset,
// and the operations that measure it and stabilise it.
#pragma once

#include <cstdint>
#include <vector>

#include "array/array.hpp"

namespace qv {

// One measured window: the median intensity and the robust noise variance.
struct calibration_point {
    double intensity = 0.0;
    double variance = 0.0;
};

struct noise_model {
    std::vector<float> gain = {0.0f};
    std::vector<float> offset;
    std::int32_t step = 3;

    // Each element minus the mean of its neighbours (channels never mixed),
    // rescaled so that white noise keeps its variance.
    [[nodiscard]] array pseudo_residuals(const array& image) const;

    // Median of the image's values; reorders the storage. NaN sorts after
    // every number.
    [[nodiscard]] double median(array& image) const;
    // (1.4826 * median absolute deviation)^2; reorders the storage.
    [[nodiscard]] double robust_variance(array& image) const;

    // Fits gain and offset per channel from the image alone.
    void calibrate(const array& image);
    // Iteratively reweighted refit of the line variance = slope*intensity +
    // intercept; points far from the line (in units of a) count less.
    void refine_fit(std::vector<calibration_point> points, double& intercept,
                    double& slope, double a) const;

    // Generalized Anscombe transform of every element, in place, per channel.
    void forward_transform(array& image) const;
    // Its algebraic inverse, in place.
    void inverse_transform(array& image) const;
};

// Gaussian noise standard deviation of an image (robust scale of its
// pseudo-residuals). The image is not changed.
[[nodiscard]] double estimate_gaussian_sigma(const array& image);

}  // namespace qv
