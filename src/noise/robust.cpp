// Robust statistics: the median rule, the robust variance and the Gaussian
// noise level of an image.
#include <algorithm>
#include <cmath>
#include <span>

#include "noise/noise_model.hpp"

namespace qv {

namespace {

// Ascending order with every NaN after every number. NaN values are moved
// out of the way first, so the comparison sort only ever sees numbers and
// `<` is a strict weak order on them.
template <typename T>
void sort_nan_last(std::span<T> values) {
    const auto numbers_end =
        std::partition(values.begin(), values.end(), [](T v) { return !std::isnan(v); });
    std::sort(values.begin(), numbers_end);
}

}  // namespace

double noise_model::median(array& image) const {
    const std::size_t n = image.data.size();
    if (n == 0) {
        return 0.0;
    }
    if (n == 1) {
        return image.data[0];
    }
    sort_nan_last(std::span<float>(image.data));
    if (n % 2 == 1) {
        return image.data[(n - 1) / 2];
    }
    const float middle_sum = image.data[n / 2 - 1] + image.data[n / 2];
    return static_cast<double>(middle_sum) / 2.0;
}

double noise_model::robust_variance(array& image) const {
    const std::size_t n = image.data.size();
    if (n == 0) {
        return 0.0;
    }
    if (n == 1) {
        return image.data[0];
    }
    const double m = median(image);
    array deviations;
    deviations.alloc(image);
    for (std::size_t i = 0; i < n; ++i) {
        deviations.data[i] = static_cast<float>(std::fabs(static_cast<double>(image.data[i]) - m));
    }
    const double scale = mad_to_sigma * median(deviations);
    return scale * scale;
}

double median_in_place(std::vector<double>& values) {
    const std::size_t n = values.size();
    if (n == 0) {
        return 0.0;
    }
    if (n == 1) {
        return values[0];
    }
    sort_nan_last(std::span<double>(values));
    if (n % 2 == 1) {
        return values[(n - 1) / 2];
    }
    return (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double estimate_gaussian_sigma(const array& image) {
    const noise_model model;
    array residuals = model.pseudo_residuals(image);
    return std::sqrt(model.robust_variance(residuals));
}

}  // namespace qv
