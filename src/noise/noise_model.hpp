// Noise model of an image: per-channel variance = gain * intensity + offset,
// and the operations that measure it and stabilise it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "array/array.hpp"

namespace qv {

// Ratio of the standard deviation to the median absolute deviation of
// Gaussian data.
inline constexpr double mad_to_sigma = 1.4826;

// One measured window: the median intensity and the robust noise variance.
struct calibration_point {
    double intensity = 0.0;
    double variance = 0.0;
};

// What the measuring pass of one channel yields: every measured window, and
// the least-squares sums over the windows whose two values are numbers.
struct plane_measurement {
    std::vector<calibration_point> points;
    double sw = 0.0;    // number of points in the sums
    double swx = 0.0;   // sum of intensities
    double swxx = 0.0;  // sum of squared intensities
    double swy = 0.0;   // sum of variances
    double swxy = 0.0;  // sum of intensity * variance
};

struct noise_model {
    std::vector<float> gain = {0.0f};
    std::vector<float> offset;
    std::int32_t step = 3;

    // Each element minus the mean of its neighbours (channels never mixed),
    // rescaled so that white noise keeps its variance.
    [[nodiscard]] array pseudo_residuals(const array& image) const;

    // Median of the image's values: the middle one for an odd count, the mean
    // of the two middle ones (summed in float) for an even count, 0 for an
    // empty image; NaN counts as greater than every number. Found by
    // selection: reorders the storage.
    [[nodiscard]] double median(array& image) const;
    // (1.4826 * median absolute deviation)^2, 0 for an empty image and the
    // value itself for a one-element image; reorders the storage.
    [[nodiscard]] double robust_variance(array& image) const;

    // Fits gain and offset per channel from the image alone. A channel whose
    // points do not determine a line prints a diagnostic and gets gain 1,
    // offset 0.
    void calibrate(const array& image);
    // calibrate, with the diagnostic of a channel whose points do not
    // determine a line handed to `singular` (the text calibrate prints)
    // instead of printed.
    void calibrate(const array& image,
                   const std::function<void(std::int32_t channel, const std::string&)>& singular);
    // Iteratively reweighted refit of the line variance = slope*intensity +
    // intercept, with Gaussian weights of width a times the rms residual of
    // the starting line.
    void refine_fit(std::vector<calibration_point> points, double& intercept, double& slope,
                    double a) const;
    // Windows of channel c on the grid of spacing `step`: median raw value
    // and robust variance of the residuals of each window, with the sums of
    // the least-squares line. Runs one OpenMP region over the grid's nodes;
    // points and sums come in node order, the same for any thread count.
    [[nodiscard]] plane_measurement measure_plane(const array& image, const array& residuals,
                                                  std::int32_t c) const;

    // Generalized Anscombe transform of every element, in place, per channel.
    void forward_transform(array& image) const;
    // Its algebraic inverse, in place.
    void inverse_transform(array& image) const;
};

// Median of a list of doubles by the rule of noise_model::median, with the
// even-count mean taken in double. Reorders the list.
[[nodiscard]] double median_in_place(std::vector<double>& values);

// Gaussian noise standard deviation of an image (robust scale of its
// pseudo-residuals). The image is not changed.
[[nodiscard]] double estimate_gaussian_sigma(const array& image);

// noise_model::pseudo_residuals' values, bit for bit, with `threads` OpenMP
// threads, row by row.
[[nodiscard]] array pseudo_residuals(const array& image, int threads);

// estimate_gaussian_sigma's value, bit for bit, with `threads` OpenMP threads
// (the same for any count) and each median selected among the values of the
// histogram bins that hold its ranks.
[[nodiscard]] double gaussian_sigma(const array& image, int threads);

}  // namespace qv
