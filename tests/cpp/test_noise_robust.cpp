#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "noise/noise_model.hpp"
#include "test_noise_data.hpp"

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

struct median_case {
    std::string name;
    std::vector<float> values;
    double expected;  // NaN: the median must be NaN
};

void PrintTo(const median_case& c, std::ostream* os) { *os << c.name; }

class NoiseMedianRule : public ::testing::TestWithParam<median_case> {};

void expect_median(double actual, double expected) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
    } else {
        EXPECT_EQ(actual, expected);
    }
}

// The same rule for an image (float storage) and for a window list (double).
TEST_P(NoiseMedianRule, ImageAndListAgree) {
    const median_case& mc = GetParam();
    qv::array image = qv_test::row_image(mc.values);
    const qv::noise_model model;
    expect_median(model.median(image), mc.expected);

    std::vector<double> list(mc.values.begin(), mc.values.end());
    expect_median(qv::median_in_place(list), mc.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Noise, NoiseMedianRule,
    ::testing::Values(median_case{"empty", {}, 0.0}, median_case{"one", {7.5f}, 7.5},
                      median_case{"odd", {3.0f, 1.0f, 2.0f}, 2.0},
                      median_case{"even", {4.0f, 1.0f, 3.0f, 2.0f}, 2.5},
                      median_case{"negative_even", {-1.0f, -4.0f}, -2.5},
                      median_case{"nan_sorts_last_odd", {nan_f, 1.0f, 2.0f}, 2.0},
                      median_case{"nan_sorts_last_even", {5.0f, nan_f, 1.0f, 3.0f}, 4.0},
                      median_case{"mostly_nan", {nan_f, 1.0f, nan_f}, std::nan("")},
                      median_case{"one_nan", {nan_f}, std::nan("")}),
    [](const auto& info) { return info.param.name; });

TEST(NoiseMedian, EvenCountOfAnImageSumsInFloat) {
    // 1e8 + 1 is not a float: the float sum drops the 1 before halving.
    qv::array image = qv_test::row_image({1.0e8f, 1.0f});
    EXPECT_EQ(qv::noise_model{}.median(image), 5.0e7);
    std::vector<double> list = {1.0e8, 1.0};
    EXPECT_EQ(qv::median_in_place(list), 50000000.5);
}

// The median by a full sort with NaN last, for comparison with the selection.
template <typename T>
double sorted_median(std::vector<T> v, bool sum_in_t) {
    const auto numbers_end = std::partition(v.begin(), v.end(), [](T x) { return !std::isnan(x); });
    std::sort(v.begin(), numbers_end);
    const std::size_t n = v.size();
    if (n % 2 == 1) {
        return v[(n - 1) / 2];
    }
    return sum_in_t ? static_cast<double>(static_cast<T>(v[n / 2 - 1] + v[n / 2])) / 2.0
                    : (static_cast<double>(v[n / 2 - 1]) + v[n / 2]) / 2.0;
}

// Random lists of every small length, odd and even, with many ties (values
// from a few levels) and NaN in some: the selection gives the bits of the
// sort and leaves a permutation of the values.
TEST(NoiseMedian, SelectionGivesTheSortedMedian) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 2 + static_cast<std::size_t>(trial % 37);
        const int levels = 1 + trial % 9;
        const double nan_share = (trial % 4) * 0.2;
        std::uniform_int_distribution<int> level(-levels, levels);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<float> values(n);
        for (float& v : values) {
            v = u(rng) < nan_share ? nan_f : static_cast<float>(level(rng)) * 0.37f + 1.0f;
        }
        qv::array image = qv_test::row_image(values);
        const double expected_image = sorted_median(values, true);
        const double got_image = qv::noise_model{}.median(image);
        std::vector<double> list(values.begin(), values.end());
        const double expected_list = sorted_median(list, false);
        const double got_list = qv::median_in_place(list);
        for (const auto& [got, expected] :
             {std::pair{got_image, expected_image}, std::pair{got_list, expected_list}}) {
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(got)) << "trial " << trial;
            } else {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected))
                    << "trial " << trial << ": " << got << " vs " << expected;
            }
        }
        const auto order = [](float a, float b) {
            return std::isnan(b) ? !std::isnan(a) : (!std::isnan(a) && a < b);
        };
        std::vector<float> before = values;
        std::sort(before.begin(), before.end(), order);
        std::sort(image.data.begin(), image.data.end(), order);
        EXPECT_TRUE(
            std::equal(before.begin(), before.end(), image.data.begin(),
                       [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }))
            << "trial " << trial;
    }
}

struct variance_case {
    std::string name;
    std::vector<float> values;
    double expected;
};

void PrintTo(const variance_case& c, std::ostream* os) { *os << c.name; }

class NoiseRobustVariance : public ::testing::TestWithParam<variance_case> {};

TEST_P(NoiseRobustVariance, Value) {
    qv::array image = qv_test::row_image(GetParam().values);
    EXPECT_DOUBLE_EQ(qv::noise_model{}.robust_variance(image), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Noise, NoiseRobustVariance,
    ::testing::Values(variance_case{"empty", {}, 0.0},
                      // A single value is returned as it is.
                      variance_case{"one", {5.0f}, 5.0},
                      variance_case{"constant", {3.0f, 3.0f, 3.0f, 3.0f}, 0.0},
                      variance_case{"pair", {0.0f, 1.0f}, (1.4826 * 0.5) * (1.4826 * 0.5)},
                      // Deviations {2, 1, 0, 1, 97} from the median 3: the outlier
                      // does not move the median deviation 1.
                      variance_case{"outlier", {1.0f, 2.0f, 3.0f, 4.0f, 100.0f}, 1.4826 * 1.4826}),
    [](const auto& info) { return info.param.name; });

struct sigma_case {
    std::string name;
    qv::array image;
    double expected;
};

void PrintTo(const sigma_case& c, std::ostream* os) { *os << c.name; }

class NoiseGaussianSigma : public ::testing::TestWithParam<sigma_case> {};

TEST_P(NoiseGaussianSigma, Example) {
    EXPECT_NEAR(qv::estimate_gaussian_sigma(GetParam().image), GetParam().expected, 1e-12);
}

qv::array ramp(std::int32_t n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), 0.0f);
    return qv_test::row_image(v);
}

qv::array constant_image() {
    qv::array a;
    a.alloc(qv::shape{7, 5, 3, 1, 1}).fill(5.0f);
    return a;
}

INSTANTIATE_TEST_SUITE_P(Noise, NoiseGaussianSigma,
                         ::testing::Values(sigma_case{"empty", qv::array{}, 0.0},
                                           sigma_case{"one", qv_test::row_image({4.0f}), 0.0},
                                           // Pseudo-residuals -+0.70710677 (float), median 0.
                                           sigma_case{"pair", qv_test::row_image({0.0f, 1.0f}),
                                                      1.4826 * static_cast<double>(0.70710677f)},
                                           sigma_case{"ramp5", ramp(5), 0.0},
                                           sigma_case{"ramp6", ramp(6), 0.0},
                                           sigma_case{"ramp40", ramp(40), 0.0},
                                           sigma_case{"constant", constant_image(), 0.0}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
