#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <ostream>
#include <string>
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

TEST(NoiseMedian, SortsTheImageWithNanLast) {
    qv::array image = qv_test::row_image({nan_f, 3.0f, -1.0f, nan_f, 2.0f, 0.5f});
    (void)qv::noise_model{}.median(image);
    EXPECT_EQ(image.data[0], -1.0f);
    EXPECT_EQ(image.data[1], 0.5f);
    EXPECT_EQ(image.data[2], 2.0f);
    EXPECT_EQ(image.data[3], 3.0f);
    EXPECT_TRUE(std::isnan(image.data[4]));
    EXPECT_TRUE(std::isnan(image.data[5]));
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

INSTANTIATE_TEST_SUITE_P(
    Noise, NoiseGaussianSigma,
    ::testing::Values(
        sigma_case{"empty", qv::array{}, 0.0}, sigma_case{"one", qv_test::row_image({4.0f}), 0.0},
        // Pseudo-residuals -+0.70710677 (float), median 0.
        sigma_case{"pair", qv_test::row_image({0.0f, 1.0f}),
                   1.4826 * static_cast<double>(0.70710677f)},
        sigma_case{"ramp5", ramp(5), 0.0}, sigma_case{"ramp6", ramp(6), 0.0},
        sigma_case{"ramp40", ramp(40), 0.0}, sigma_case{"constant", constant_image(), 0.0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
