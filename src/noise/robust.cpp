// Robust statistics: the median rule, the robust variance and the Gaussian
// noise level of an image.
#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "noise/noise_model.hpp"

namespace qv {

namespace {

// Value at position k of `values` in ascending order with every NaN after
// every number, given that [begin, numbers_end) holds all the numbers.
// Reorders the numbers only. Equal numbers are interchangeable, so the value
// is that of a full sort.
template <typename T>
T order_statistic(std::span<T> values, typename std::span<T>::iterator numbers_end, std::size_t k) {
    const auto count = static_cast<std::size_t>(numbers_end - values.begin());
    if (k >= count) {
        return values[k];  // a NaN: the numbers come first
    }
    const auto kth = values.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(values.begin(), kth, numbers_end);
    return *kth;
}

// The two middle values of `values` in that order (the same one twice for an
// odd count), by selection rather than a full sort. n >= 2.
template <typename T>
std::pair<T, T> middle_values(std::span<T> values) {
    const std::size_t n = values.size();
    // NaN values are moved out of the way first, so the selection only ever
    // sees numbers and `<` is a strict weak order on them.
    const auto numbers_end =
        std::partition(values.begin(), values.end(), [](T v) { return !std::isnan(v); });
    const std::size_t low = (n - 1) / 2;
    const T first = order_statistic(values, numbers_end, low);
    if (n % 2 == 1) {
        return {first, first};
    }
    // After the selection everything past `low` is >= it: the next order
    // statistic is the least of them (or a NaN when no number is left).
    const auto rest = values.begin() + static_cast<std::ptrdiff_t>(low + 1);
    const T second = rest < numbers_end ? *std::min_element(rest, numbers_end) : values[low + 1];
    return {first, second};
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
    const auto [first, second] = middle_values(std::span<float>(image.data));
    if (n % 2 == 1) {
        return first;
    }
    const float middle_sum = first + second;
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
    const auto [first, second] = middle_values(std::span<double>(values));
    if (n % 2 == 1) {
        return first;
    }
    return (first + second) / 2.0;
}

double estimate_gaussian_sigma(const array& image) {
    const noise_model model;
    array residuals = model.pseudo_residuals(image);
    return std::sqrt(model.robust_variance(residuals));
}

}  // namespace qv
