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

// Images of shape nx, ny, nz, nc, nt with `make(rng)` values.
template <typename Make>
qv::array random_image(qv::shape s, std::uint32_t seed, Make make) {
    qv::array a;
    a.alloc(s);
    std::mt19937 rng(seed);
    for (float& v : a.data) {
        v = make(rng);
    }
    return a;
}

struct threaded_case {
    std::string name;
    qv::array image;
};

void PrintTo(const threaded_case& c, std::ostream* os) { *os << c.name; }

class NoiseGaussianSigmaThreaded : public ::testing::TestWithParam<threaded_case> {};

// The engine's threaded estimate is the core's, bit for bit, for any thread count:
// rows at the image's edges, ties, both medians' even-count rule, NaN last.
TEST_P(NoiseGaussianSigmaThreaded, EqualsCoreEstimate) {
    const qv::array& image = GetParam().image;
    const qv::array residuals = qv::noise_model{}.pseudo_residuals(image);
    const double expected = qv::estimate_gaussian_sigma(image);
    for (const int threads : {1, 3}) {
        const qv::array rows = qv::pseudo_residuals(image, threads);
        ASSERT_EQ(rows.data.size(), residuals.data.size());
        for (std::size_t i = 0; i < rows.data.size(); ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(rows.data[i]),
                      std::bit_cast<std::uint32_t>(residuals.data[i]))
                << "residual " << i << ", " << threads << " threads";
        }
        const double actual = qv::gaussian_sigma(image, threads);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(actual)) << threads << " threads: " << actual;
        } else {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(actual), std::bit_cast<std::uint64_t>(expected))
                << threads << " threads: " << actual << " != " << expected;
        }
    }
}

float gaussian(std::mt19937& rng) { return std::normal_distribution<float>(100.0f, 7.0f)(rng); }

float counts(std::mt19937& rng) {
    return static_cast<float>(std::poisson_distribution<int>(3.0)(rng));
}

// Values over many orders of magnitude, both signs: the medians' bins far apart.
float spread(std::mt19937& rng) {
    const float v = std::pow(10.0f, std::uniform_real_distribution<float>(-30.0f, 30.0f)(rng));
    return rng() % 2 == 0 ? v : -v;
}

float some_nan(std::mt19937& rng) {
    const unsigned pick = rng() % 64;
    return pick == 0 ? nan_f : pick == 1 ? std::numeric_limits<float>::infinity() : gaussian(rng);
}

float mostly_nan(std::mt19937& rng) { return rng() % 4 == 0 ? gaussian(rng) : nan_f; }

// Noise 1000 times stronger in every fourth row (y = 0, 4, ...) than in the others.
qv::array striped_image(std::int32_t n, std::uint32_t seed) {
    qv::array a = random_image({n, n, 1, 1, 1}, seed, gaussian);
    for (std::int32_t y = 0; y < n; y += 4) {
        for (std::int32_t x = 0; x < n; ++x) {
            float& v = a.data[static_cast<std::size_t>(x + n * y)];
            v = 1000.0f * (v - 100.0f);
        }
    }
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Noise, NoiseGaussianSigmaThreaded,
    ::testing::Values(threaded_case{"plane_even", random_image({64, 48, 1, 1, 1}, 1, gaussian)},
                      threaded_case{"volume_odd", random_image({7, 5, 3, 1, 1}, 2, gaussian)},
                      threaded_case{"time_channels", random_image({9, 6, 3, 2, 4}, 3, gaussian)},
                      threaded_case{"column", random_image({1, 33, 2, 1, 1}, 4, gaussian)},
                      threaded_case{"two_columns", random_image({2, 17, 1, 1, 3}, 5, gaussian)},
                      threaded_case{"ties", random_image({40, 41, 1, 1, 1}, 6, counts)},
                      threaded_case{"spread", random_image({31, 20, 1, 1, 1}, 7, spread)},
                      threaded_case{"some_nan", random_image({30, 30, 1, 1, 1}, 8, some_nan)},
                      threaded_case{"mostly_nan", random_image({12, 10, 1, 1, 1}, 9, mostly_nan)},
                      // Large enough for the medians' brackets, and (striped) one that the
                      // sampled rows (every fourth) mislead, so that the median of all is taken.
                      threaded_case{"large_nan", random_image({512, 512, 1, 1, 1}, 11, some_nan)},
                      threaded_case{"large_ties", random_image({520, 260, 2, 1, 1}, 12, counts)},
                      threaded_case{"striped", striped_image(512, 13)},
                      threaded_case{"channels_only", random_image({1, 1, 1, 4, 1}, 10, gaussian)},
                      threaded_case{"constant", constant_image()}),
    [](const auto& info) { return info.param.name; });

}  // namespace
