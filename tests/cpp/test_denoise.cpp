// The denoiser's parameters, window schedule, update pass and driver.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------- checks

struct rejected_arguments {
    const char* name;
    qv::shape s;
    std::vector<std::int32_t> radius;
    std::vector<std::int32_t> search;
    std::int32_t max_iter;
    float pvalue;
    float sigma;
    float renoise;
    const char* message;
};

class MakeDenoiserRejects : public ::testing::TestWithParam<rejected_arguments> {};

TEST_P(MakeDenoiserRejects, WithTheFirstFailingCheck) {
    const rejected_arguments& c = GetParam();
    try {
        (void)qv::make_denoiser(c.s, c.radius, c.search, c.max_iter, c.pvalue, c.sigma, c.renoise);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), c.message);
    }
}

const qv::shape image_2d{16, 16, 1, 1, 1};
const qv::shape volume{16, 16, 8, 1, 1};
const qv::shape sequence{16, 16, 1, 1, 6};
const std::vector<std::int32_t> radius_ok{3, 3, 0, 0, 0};
const std::vector<std::int32_t> search_ok{1, 1, 1, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Checks, MakeDenoiserRejects,
    ::testing::Values(
        // Each row fails several checks at once: only the first counts.
        rejected_arguments{"short_radius_list",
                           image_2d,
                           {3, 3, 0, 0},
                           {1, 1},
                           0,
                           2.0f,
                           inf_f,
                           -1.0f,
                           "patch_radius must have 5 entries"},
        rejected_arguments{"short_search_list",
                           image_2d,
                           radius_ok,
                           {1, 1, 1, 0},
                           0,
                           2.0f,
                           inf_f,
                           -1.0f,
                           "search_axis must have 5 entries"},
        rejected_arguments{"max_iter_zero",
                           volume,
                           {-1, -1, -1, 0, -1},
                           search_ok,
                           0,
                           2.0f,
                           inf_f,
                           -1.0f,
                           "max_iter must be > 0"},
        rejected_arguments{"max_iter_negative", image_2d, radius_ok, search_ok, -3, 0.01f, 1.0f,
                           0.0f, "max_iter must be > 0"},
        rejected_arguments{"negative_x",
                           image_2d,
                           {-1, 100, 0, 0, 0},
                           search_ok,
                           1,
                           2.0f,
                           inf_f,
                           -1.0f,
                           "patch radius cannot be negative"},
        rejected_arguments{"negative_y",
                           image_2d,
                           {1, -2, 0, 0, 0},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius cannot be negative"},
        rejected_arguments{"negative_z_of_volume",
                           volume,
                           {1, 1, -1, 0, 0},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius cannot be negative"},
        rejected_arguments{"negative_t_of_sequence",
                           sequence,
                           {1, 1, 0, 0, -1},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius cannot be negative"},
        rejected_arguments{"x_too_large",
                           {6, 16, 1, 1, 1},
                           {3, 3, 0, 0, 0},
                           search_ok,
                           1,
                           2.0f,
                           inf_f,
                           -1.0f,
                           "patch radius too large for image"},
        rejected_arguments{"y_too_large",
                           {16, 2, 1, 1, 1},
                           {0, 1, 0, 0, 0},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius too large for image"},
        rejected_arguments{"z_too_large",
                           {16, 16, 4, 1, 1},
                           {1, 1, 2, 0, 0},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius too large for image"},
        rejected_arguments{"t_too_large",
                           {16, 16, 1, 1, 2},
                           {1, 1, 0, 0, 1},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius too large for image"},
        rejected_arguments{"huge_radius",
                           image_2d,
                           {1, 2147483647, 0, 0, 0},
                           search_ok,
                           1,
                           0.01f,
                           1.0f,
                           0.0f,
                           "patch radius too large for image"},
        rejected_arguments{"pvalue_above_one", image_2d, radius_ok, search_ok, 1, 1.0001f, inf_f,
                           -1.0f, "pvalue must be in range [0, 1]"},
        rejected_arguments{"pvalue_negative", image_2d, radius_ok, search_ok, 1, -1e-6f, 1.0f, 0.0f,
                           "pvalue must be in range [0, 1]"},
        rejected_arguments{"pvalue_nan", image_2d, radius_ok, search_ok, 1, nan_f, inf_f, nan_f,
                           "pvalue must be in range [0, 1]"},
        rejected_arguments{"renoise_negative", image_2d, radius_ok, search_ok, 1, 0.01f, inf_f,
                           -0.5f, "renoise factor must be >= 0"},
        rejected_arguments{"renoise_nan", image_2d, radius_ok, search_ok, 1, 0.01f, nan_f, nan_f,
                           "renoise factor must be >= 0"},
        rejected_arguments{"sigma_infinite", image_2d, radius_ok, search_ok, 1, 0.01f, -inf_f, 0.0f,
                           "sigma must be finite"},
        rejected_arguments{"sigma_nan", image_2d, radius_ok, search_ok, 1, 0.01f, nan_f, 1.0f,
                           "sigma must be finite"}),
    [](const auto& info) { return std::string(info.param.name); });

struct accepted_arguments {
    const char* name;
    qv::shape s;
    std::vector<std::int32_t> radius;
    std::vector<std::int32_t> search;
    qv::axis5 patch_radius;
    qv::axis5 search_axis;
};

class MakeDenoiserStores : public ::testing::TestWithParam<accepted_arguments> {};

TEST_P(MakeDenoiserStores, RadiiAndFlagsOfTheAxesThatExist) {
    const accepted_arguments& c = GetParam();
    const qv::denoiser d = qv::make_denoiser(c.s, c.radius, c.search, 3, 0.05f, 2.0f, 0.5f);
    EXPECT_EQ(d.params.patch_radius, c.patch_radius);
    EXPECT_EQ(d.params.search_axis, c.search_axis);
    EXPECT_EQ(d.params.max_iter, 3);
    EXPECT_EQ(d.params.pvalue, 0.05f);
    EXPECT_EQ(d.params.renoise_factor, 0.5f);
    EXPECT_FLOAT_EQ(d.params.quantile, 1.6434212f);
    EXPECT_TRUE(d.iteration_callbacks.empty());
    EXPECT_EQ(d.params.variance_floor, 1e-8f);
    EXPECT_EQ(d.params.min_weight_factor, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(
    Axes, MakeDenoiserStores,
    ::testing::Values(
        // z and t entries of axes of size 1 are ignored; entry 3 is never read.
        accepted_arguments{"image_2d",
                           image_2d,
                           {3, 3, -1, 7, -5},
                           {0, 0, 5, 1, 5},
                           {3, 3, 0, 0, 0},
                           {1, 1, 0, 0, 0}},
        accepted_arguments{
            "volume", volume, {1, 2, 3, 9, 9}, {0, 0, 5, 1, 1}, {1, 2, 3, 0, 0}, {1, 1, 1, 0, 0}},
        accepted_arguments{"volume_no_z_search",
                           volume,
                           {1, 2, 3, 9, 9},
                           {1, 1, 0, 1, 1},
                           {1, 2, 3, 0, 0},
                           {1, 1, 0, 0, 0}},
        accepted_arguments{"sequence",
                           sequence,
                           {2, 2, -4, 0, 2},
                           {1, 1, 1, 1, -1},
                           {2, 2, 0, 0, 2},
                           {1, 1, 0, 0, 1}},
        accepted_arguments{"row",
                           {16, 1, 1, 1, 1},
                           {3, 3, 3, 3, 3},
                           {1, 1, 1, 1, 1},
                           {3, 0, 0, 0, 0},
                           {1, 1, 0, 0, 0}},
        accepted_arguments{"column",
                           {1, 16, 1, 1, 1},
                           {-2, 3, 0, 0, 0},
                           {1, 1, 1, 1, 1},
                           {0, 3, 0, 0, 0},
                           {1, 1, 0, 0, 0}},
        accepted_arguments{"patch_as_large_as_image",
                           {7, 5, 3, 2, 9},
                           {3, 2, 1, 0, 4},
                           {1, 1, 1, 0, 1},
                           {3, 2, 1, 0, 4},
                           {1, 1, 1, 0, 1}},
        accepted_arguments{"longer_lists",
                           image_2d,
                           {1, 1, 0, 0, 0, 8},
                           {1, 1, 1, 0, 1, 1},
                           {1, 1, 0, 0, 0},
                           {1, 1, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MakeDenoiser, AcceptsTheBoundsOfPvalueAndAnySigmaThatIsFinite) {
    EXPECT_EQ(
        qv::make_denoiser(image_2d, radius_ok, search_ok, 1, 0.0f, 0.0f, 0.0f).params.quantile,
        inf_f);
    EXPECT_EQ(
        qv::make_denoiser(image_2d, radius_ok, search_ok, 1, 1.0f, -3.0f, 0.0f).params.quantile,
        -inf_f);
}

// ---------------------------------------------------------------- quantiles

struct quantile_case {
    float pvalue;
    float quantile;
};

class Quantile : public ::testing::TestWithParam<quantile_case> {};

TEST_P(Quantile, OfTheTestThreshold) {
    const quantile_case& c = GetParam();
    EXPECT_FLOAT_EQ(qv::quantile_from_pvalue(c.pvalue), c.quantile);
    EXPECT_NEAR(qv::normal_quantile(c.pvalue), c.quantile, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(PValues, Quantile,
                         ::testing::Values(quantile_case{0.01f, 2.3213677f},
                                           quantile_case{0.05f, 1.6434212f},
                                           quantile_case{0.1f, 1.2810534f},
                                           quantile_case{0.5f, 0.0f}));

TEST(Quantile, IsInfiniteAtTheBounds) {
    EXPECT_EQ(qv::quantile_from_pvalue(0.0f), inf_f);
    EXPECT_EQ(qv::quantile_from_pvalue(1.0f), -inf_f);
    EXPECT_EQ(qv::normal_quantile(0.0), std::numeric_limits<double>::infinity());
    // The kernel clamps its p-value to [0, 1].
    EXPECT_EQ(qv::normal_quantile(-0.5), qv::normal_quantile(0.0));
    EXPECT_EQ(qv::normal_quantile(1.5), qv::normal_quantile(1.0));
}

TEST(InverseErf, IsOddWithNegativeZeroAtZero) {
    EXPECT_EQ(qv::inverse_erf(0.0), 0.0);
    EXPECT_TRUE(std::signbit(qv::inverse_erf(0.0)));
    for (const double x : {0.1, 0.5, 0.9, 0.999}) {
        EXPECT_EQ(qv::inverse_erf(-x), -qv::inverse_erf(x)) << x;
    }
}

TEST(InverseErf, InvertsErfToTheApproximationsAccuracy) {
    for (double x = -0.99; x < 1.0; x += 0.03) {
        EXPECT_NEAR(std::erf(qv::inverse_erf(x)), x, 2e-3) << x;
    }
}

// ---------------------------------------------------------------- windows

class SearchWindow : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(SearchWindow, GrowsWithTheIteration) {
    const std::int32_t k = GetParam();
    const qv::shape s{100, 100, 8, 3, 8};
    const qv::axis5 expected_all = {1 << k, 1 << k, k, 0, k > 2 ? k - 2 : 0};
    EXPECT_EQ(qv::search_window(s, {1, 1, 1, 0, 1}, k), expected_all);
    // A flag of 0 or an axis of size 1 keeps the half-size 0; c never grows.
    EXPECT_EQ(qv::search_window(s, {1, 1, 0, 1, 0}, k), (qv::axis5{1 << k, 1 << k, 0, 0, 0}));
    EXPECT_EQ(qv::search_window({100, 1, 1, 3, 1}, {1, 1, 1, 1, 1}, k),
              (qv::axis5{1 << k, 0, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Iterations, SearchWindow, ::testing::Range(0, 6));

TEST(SearchWindow, KeepsDoublingPastTheImageWhileItFitsAnInt) {
    EXPECT_EQ(qv::search_window({10, 20, 1, 1, 1}, {1, 1, 1, 0, 1}, 30),
              (qv::axis5{1 << 30, 1 << 30, 0, 0, 0}));
}

TEST(SearchWindow, IsClampedToTheAxisOnceTwoToTheKOverflows) {
    for (const std::int32_t k : {31, 32, 100, 2147483646}) {
        EXPECT_EQ(qv::search_window({10, 20, 5, 1, 7}, {1, 1, 1, 0, 1}, k),
                  (qv::axis5{10, 20, k, 0, k - 2}))
            << k;
    }
}

// ---------------------------------------------------------------- update pass

struct update_case {
    const char* name;
    float n, P, Q, Y, sum_e, sum_v;
    float renoise_variance;
    float min_weight_sum;
    float estimate, variance;  // expected
    float tolerance;           // relative; 0 means bit-exact
};

class UpdatePass : public ::testing::TestWithParam<update_case> {};

TEST_P(UpdatePass, OnePixel) {
    const update_case& c = GetParam();
    const qv::shape s{1, 1, 1, 1, 1};
    qv::array noisy, prev_e, prev_v, sum_e, sum_v, count;
    noisy.alloc(s).fill(c.Y);
    prev_e.alloc(s).fill(c.P);
    prev_v.alloc(s).fill(c.Q);
    sum_e.alloc(s).fill(c.sum_e);
    sum_v.alloc(s).fill(c.sum_v);
    count.alloc(s).fill(c.n);
    qv::denoise_params params;
    params.min_weight_sum = c.min_weight_sum;
    qv::update_pass(noisy, c.renoise_variance, prev_e, prev_v, sum_e, sum_v, count, params);
    if (c.tolerance == 0.0f) {
        EXPECT_EQ(sum_e.data[0], c.estimate);
        EXPECT_EQ(sum_v.data[0], c.variance);
    } else {
        EXPECT_NEAR(sum_e.data[0], c.estimate, c.tolerance * std::abs(c.estimate));
        EXPECT_NEAR(sum_v.data[0], c.variance, c.tolerance * std::abs(c.variance));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Branches, UpdatePass,
    ::testing::Values(
        // No contribution: the previous values, whatever the sums hold.
        update_case{"count_zero", 0.0f, 1.5f, 0.25f, 9.0f, 123.0f, 456.0f, 0.0f, 1e-6f, 1.5f, 0.25f,
                    0.0f},
        update_case{"count_nan", nan_f, 1.5f, 0.25f, 9.0f, 123.0f, 456.0f, 4.0f, 1e-6f, 1.5f, 0.25f,
                    0.0f},
        update_case{"count_at_threshold", 0.5f, 1.5f, 0.25f, 9.0f, 123.0f, 456.0f, 0.0f, 0.5f, 1.5f,
                    0.25f, 0.0f},
        // Two-way: weights Q/(v+Q) for e and v/(v+Q) for P; variance 1.5 vQ/(v+Q).
        update_case{"two_way_equal", 2.0f, 1.0f, 4.0f, 9.0f, 6.0f, 8.0f, 0.0f, 1e-6f, 2.0f, 3.0f,
                    0.0f},
        update_case{"two_way", 2.0f, 0.0f, 1.0f, 9.0f, 4.0f, 4.0f, 0.0f, 1e-6f, 2.0f / 3.0f, 1.0f,
                    1e-6f},
        // Three-way: inverse-variance weights of P, e and Y; variance gvQ/m.
        update_case{"three_way_equal", 2.0f, 1.0f, 4.0f, 5.0f, 6.0f, 8.0f, 4.0f, 1e-6f, 3.0f,
                    4.0f / 3.0f, 1e-6f},
        update_case{"three_way", 2.0f, 0.0f, 1.0f, 8.0f, 4.0f, 4.0f, 4.0f, 1e-6f, 3.0f / 1.75f,
                    1.0f / 1.75f, 1e-6f},
        // Combined weight too small: the mean and the floored variance stay.
        update_case{"variance_floor_two_way", 1.0f, 7.0f, 0.1f, 9.0f, 5.0f, 0.0f, 0.0f, 0.5f, 5.0f,
                    1e-8f, 0.0f},
        update_case{"variance_floor_of_nan", 1.0f, 7.0f, 0.1f, 9.0f, 5.0f, nan_f, 0.0f, 0.5f, 5.0f,
                    1e-8f, 0.0f},
        update_case{"variance_floor_three_way", 2.0f, 7.0f, 1e-3f, 9.0f, 10.0f, -4.0f, 1e-3f, 0.5f,
                    5.0f, 1e-8f, 0.0f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdatePass, HandlesEveryPixelOfALargerImage) {
    // Pixel i has count i % 3; only pixels with a count change.
    const qv::shape s{7, 5, 3, 2, 2};
    qv::array noisy, prev_e, prev_v, sum_e, sum_v, count;
    noisy.alloc(s);
    prev_e.alloc(s).fill(1.0f);
    prev_v.alloc(s).fill(1.0f);
    sum_e.alloc(s);
    sum_v.alloc(s);
    count.alloc(s);
    for (std::size_t i = 0; i < count.data.size(); ++i) {
        count.data[i] = static_cast<float>(i % 3);
        sum_e.data[i] = 3.0f * count.data[i];
        sum_v.data[i] = count.data[i];
    }
    omp_set_num_threads(2);
    qv::update_pass(noisy, 0.0f, prev_e, prev_v, sum_e, sum_v, count, qv::denoise_params{});
    for (std::size_t i = 0; i < count.data.size(); ++i) {
        // e = 3 and v = 1 merged with P = 1, Q = 1: 2 and 0.75.
        EXPECT_EQ(sum_e.data[i], i % 3 == 0 ? 1.0f : 2.0f) << i;
        EXPECT_EQ(sum_v.data[i], i % 3 == 0 ? 1.0f : 0.75f) << i;
    }
}

// ---------------------------------------------------------------- driver

qv::array noisy_ramp(const qv::shape& s, float sigma, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    qv::array a;
    a.alloc(s);
    for (std::size_t i = 0; i < a.data.size(); ++i) {
        a.data[i] = 0.05f * static_cast<float>(i % 97) + noise(rng);
    }
    return a;
}

qv::denoiser denoiser_for(const qv::shape& s, std::vector<std::int32_t> radius,
                          std::int32_t max_iter, float sigma, float renoise = 0.0f) {
    return qv::make_denoiser(s, radius, {1, 1, 1, 0, 1}, max_iter, 0.01f, sigma, renoise);
}

TEST(Denoiser, CallsItsCallbacksInOrderBeforeAndAfterEachIteration) {
    const qv::shape s{12, 12, 1, 1, 1};
    qv::array image = noisy_ramp(s, 1.0f, 1);
    qv::denoiser d = denoiser_for(s, {1, 1, 0, 0, 0}, 3, 10.0f);
    std::string calls;
    std::vector<float> min_weight_sums;
    d.iteration_callbacks.push_back([&](qv::denoiser* self) {
        calls += 'a';
        min_weight_sums.push_back(self->params.min_weight_sum);
    });
    d.iteration_callbacks.push_back([&](qv::denoiser*) { calls += 'b'; });
    d.run(image, 10.0f);
    EXPECT_EQ(calls, "abababab");
    ASSERT_FALSE(min_weight_sums.empty());
    EXPECT_EQ(min_weight_sums.front(), 10.0f * 1e-6f);
}

TEST(Denoiser, LeavesPixelsThatNoPatchCoversAsTheyWere) {
    // Radius 1 on an even axis: the grid stops one short of the last row and
    // column, and no border region runs for radius 1.
    const qv::shape s{8, 8, 1, 1, 1};
    const qv::array input = noisy_ramp(s, 1.0f, 2);
    qv::array image = input;
    denoiser_for(s, {1, 1, 0, 0, 0}, 3, 1.0f).run(image, 1.0f);
    int changed = 0;
    for (std::int32_t y = 0; y < 8; ++y) {
        for (std::int32_t x = 0; x < 8; ++x) {
            const std::size_t i = static_cast<std::size_t>(x + 8 * y);
            if (x == 7 || y == 7) {
                EXPECT_EQ(image.data[i], input.data[i]) << x << "," << y;
            } else {
                changed += image.data[i] != input.data[i];
            }
        }
    }
    EXPECT_GT(changed, 40);
}

struct constant_case {
    const char* name;
    qv::shape s;
    std::vector<std::int32_t> radius;
};

class ConstantImage : public ::testing::TestWithParam<constant_case> {};

TEST_P(ConstantImage, StaysConstantInEveryChannel) {
    const constant_case& c = GetParam();
    qv::array image;
    image.alloc(c.s);
    const std::size_t per_channel = static_cast<std::size_t>(c.s.nx) * c.s.ny * c.s.nz;
    // A different level per channel: a patch must never mix channels.
    for (std::size_t i = 0; i < image.data.size(); ++i) {
        image.data[i] = 40.0f + 25.0f * static_cast<float>((i / per_channel) % c.s.nc);
    }
    const qv::array input = image;
    omp_set_num_threads(2);
    denoiser_for(c.s, c.radius, 4, 3.0f, 0.5f).run(image, 3.0f);
    for (std::size_t i = 0; i < image.data.size(); ++i) {
        ASSERT_NEAR(image.data[i], input.data[i], 1e-5f * input.data[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ConstantImage,
    ::testing::Values(constant_case{"image_2d", {20, 17, 1, 1, 1}, {3, 3, 0, 0, 0}},
                      constant_case{"two_channels", {15, 12, 1, 2, 1}, {2, 2, 0, 0, 0}},
                      constant_case{"volume", {12, 11, 9, 1, 1}, {2, 2, 2, 0, 0}},
                      constant_case{"sequence", {12, 12, 1, 2, 7}, {2, 2, 0, 0, 2}},
                      constant_case{"row", {40, 1, 1, 1, 1}, {3, 3, 3, 0, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Denoiser, OneThreadIsBitReproducibleAndTwoThreadsAgreeClosely) {
    const qv::shape s{24, 20, 1, 1, 6};
    const qv::array input = noisy_ramp(s, 0.5f, 3);
    auto run_with = [&](int threads) {
        omp_set_num_threads(threads);
        qv::array image = input;
        denoiser_for(s, {2, 2, 0, 0, 1}, 3, 0.5f).run(image, 0.5f);
        return image;
    };
    const qv::array first = run_with(1);
    const qv::array second = run_with(1);
    const qv::array threaded = run_with(2);
    EXPECT_EQ(first.data, second.data);
    EXPECT_NE(first.data, input.data);
    for (std::size_t i = 0; i < first.data.size(); ++i) {
        ASSERT_NEAR(threaded.data[i], first.data[i], 1e-4f * (1.0f + std::abs(first.data[i])));
    }
}

TEST(Denoiser, EmptyImageRunsToAnEmptyResult) {
    qv::array image;
    qv::denoiser d = denoiser_for(qv::shape{}, {3, 3, 0, 0, 0}, 2, 1.0f);
    d.run(image, 1.0f);
    EXPECT_EQ(image.size(), 0u);
}

// With the noisy image mixed back in, every term of the update is in the
// units of the image or of its variance: scaling the image and sigma by s
// scales the result by s.
class RenoiseScaling : public ::testing::TestWithParam<float> {};

TEST_P(RenoiseScaling, ResultScalesWithImageAndSigma) {
    const float scale = GetParam();
    const qv::shape s{32, 32, 1, 1, 1};
    const float sigma = 2.0f;
    const qv::array input = noisy_ramp(s, sigma, 4);
    omp_set_num_threads(1);
    qv::array base = input;
    denoiser_for(s, {2, 2, 0, 0, 0}, 4, sigma, 0.7f).run(base, sigma);
    qv::array scaled = input;
    for (float& v : scaled.data) {
        v *= scale;
    }
    denoiser_for(s, {2, 2, 0, 0, 0}, 4, scale * sigma, 0.7f).run(scaled, scale * sigma);
    for (std::size_t i = 0; i < base.data.size(); ++i) {
        ASSERT_NEAR(scaled.data[i], scale * base.data[i], 1e-3f * scale * sigma) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, RenoiseScaling, ::testing::Values(10.0f, 0.1f));

}  // namespace
