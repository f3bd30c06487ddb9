// The estimation kernel: which positions a pass visits, how the reference
// patch is weighted, and the acceptance test.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/kernel.hpp"

namespace {

// The inputs and accumulators of one pass.
struct pass_images {
    qv::array noisy, prev_estimate, prev_variance, sum_estimate, sum_variance, contrib_count;

    explicit pass_images(const qv::shape& s) {
        noisy.alloc(s);
        prev_estimate.alloc(s);
        prev_variance.alloc(s).fill(1.0f);
        sum_estimate.alloc(s);
        sum_variance.alloc(s);
        contrib_count.alloc(s);
    }

    void run(const qv::denoise_params& params, float sigma, const qv::axis5& window) {
        qv::estimation_pass(params, noisy, sigma, window, prev_estimate, prev_variance,
                            sum_estimate, sum_variance, contrib_count);
    }
};

qv::denoise_params params_with(const qv::axis5& radius, float pvalue = 0.01f) {
    qv::denoise_params p;
    p.patch_radius = radius;
    p.pvalue = pvalue;
    p.quantile = qv::quantile_from_pvalue(pvalue);
    return p;
}

void fill_normal(qv::array& a, float mean, float sigma, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(mean, sigma);
    for (float& v : a.data) {
        v = noise(rng);
    }
}

TEST(EstimationPass, NeverWeighsTheReferenceAsItsOwnCandidate) {
    // With a window of 0 the only position in reach is the reference itself:
    // no candidate, a weight sum of 0, and nothing is added anywhere.
    pass_images im({16, 16, 1, 1, 3});
    fill_normal(im.noisy, 5.0f, 1.0f, 1);
    im.prev_estimate = im.noisy;
    im.run(params_with({2, 2, 0, 0, 1}), 1.0f, {0, 0, 0, 0, 0});
    for (std::size_t i = 0; i < im.contrib_count.data.size(); ++i) {
        ASSERT_EQ(im.contrib_count.data[i], 0.0f);
        ASSERT_EQ(im.sum_estimate.data[i], 0.0f);
        ASSERT_EQ(im.sum_variance.data[i], 0.0f);
    }
}

TEST(EstimationPass, ReferencePatchWeighsAsMuchAsItsBestCandidate) {
    // Single-pixel patches on a row of three: the end pixels have one
    // candidate each, at a distance that gives it a weight well below 1. The
    // reference joins with that same weight, so the estimate is the plain
    // mean of the two values and the variance sigma^2 * 2w^2 / (2w)^2.
    pass_images im({3, 1, 1, 1, 1});
    im.noisy.data = {0.0f, 2.0f, 7.0f};
    im.prev_estimate = im.noisy;
    const float sigma = 1.5f;
    im.run(params_with({0, 0, 0, 0, 0}), sigma, {1, 0, 0, 0, 0});
    EXPECT_NEAR(im.sum_estimate.data[0], 1.0f, 1e-6f);
    EXPECT_NEAR(im.sum_variance.data[0], sigma * sigma / 2.0f, 1e-6f);
    EXPECT_EQ(im.contrib_count.data[0], 1.0f);
    EXPECT_EQ(im.contrib_count.data[1], 1.0f);
    // The far end: its one candidate is five units away, a small weight, and
    // the reference matches it; the pair's mean differs from the previous
    // value by 2.5, which the test still accepts.
    EXPECT_NEAR(im.sum_estimate.data[2], 4.5f, 1e-5f);
}

TEST(EstimationPass, CandidateWeightsFallWithDistance) {
    // The middle pixel (1.0) has the candidates 0.0 and 9.0: the estimate
    // leans towards the nearer one, while equal weights would give 10 / 3.
    pass_images im({3, 1, 1, 1, 1});
    im.noisy.data = {0.0f, 1.0f, 9.0f};
    im.prev_estimate = im.noisy;
    im.run(params_with({0, 0, 0, 0, 0}, 0.05f), 1.0f, {1, 0, 0, 0, 0});
    const float middle = im.sum_estimate.data[1];
    EXPECT_GT(middle, 0.0f);
    EXPECT_LT(middle, 1.0f);
}

struct verdict_case {
    const char* name;
    float pvalue;
    bool expect_contributions;
    bool expect_accepted;
};

class AcceptanceTest : public ::testing::TestWithParam<verdict_case> {};

TEST_P(AcceptanceTest, OnAnEstimateFarFromThePreviousOne) {
    // The previous estimate is flat at 100 (so every candidate is at distance
    // 0), the noisy image is centred on 0: each patch estimate lies about 100
    // standard deviations from the previous estimate.
    const verdict_case& c = GetParam();
    pass_images im({16, 16, 1, 1, 1});
    fill_normal(im.noisy, 0.0f, 1.0f, 2);
    im.prev_estimate.fill(100.0f);
    im.run(params_with({1, 1, 0, 0, 0}, c.pvalue), 1.0f, {2, 2, 0, 0, 0});
    int counted = 0;
    for (std::size_t i = 0; i < im.contrib_count.data.size(); ++i) {
        const float n = im.contrib_count.data[i];
        if (n == 0.0f) {
            continue;
        }
        ++counted;
        const float mean = im.sum_estimate.data[i] / n;
        const float variance = im.sum_variance.data[i] / n;
        if (c.expect_accepted) {
            ASSERT_LT(std::abs(mean), 3.0f) << i;
            ASSERT_LT(variance, 1.0f) << i;
        } else {
            // A rejected patch adds the previous values.
            ASSERT_EQ(mean, 100.0f) << i;
            ASSERT_EQ(variance, 1.0f) << i;
        }
    }
    EXPECT_EQ(counted > 0, c.expect_contributions);
}

INSTANTIATE_TEST_SUITE_P(
    PValues, AcceptanceTest,
    ::testing::Values(
        // p-value 0: infinite thresholds, weight 1 everywhere, every estimate accepted.
        verdict_case{"pvalue_zero_accepts", 0.0f, true, true},
        verdict_case{"pvalue_default_rejects", 0.01f, true, false},
        verdict_case{"pvalue_half_rejects", 0.5f, true, false},
        // p-value 1: the thresholds are not numbers, no weight sum passes.
        verdict_case{"pvalue_one_adds_nothing", 1.0f, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Which pixels a pass covers: the interior grid plus the far plane of each
// axis whose radius exceeds 1.
struct coverage_case {
    const char* name;
    qv::shape s;
    qv::axis5 radius;
    // Pixels (x, y, z, t) that no reference patch covers.
    std::function<bool(std::int32_t, std::int32_t, std::int32_t, std::int32_t)> uncovered;
};

class Coverage : public ::testing::TestWithParam<coverage_case> {};

TEST_P(Coverage, OfTheReferencePatches) {
    const coverage_case& c = GetParam();
    pass_images im(c.s);
    fill_normal(im.noisy, 10.0f, 1.0f, 3);
    im.prev_estimate = im.noisy;
    omp_set_num_threads(2);
    im.run(params_with(c.radius), 1.0f, {1, 1, 1, 0, 1});
    const qv::shape& s = c.s;
    for (std::int32_t t = 0; t < s.nt; ++t) {
        for (std::int32_t ch = 0; ch < s.nc; ++ch) {
            for (std::int32_t z = 0; z < s.nz; ++z) {
                for (std::int32_t y = 0; y < s.ny; ++y) {
                    for (std::int32_t x = 0; x < s.nx; ++x) {
                        const std::int32_t i = x + s.nx * (y + s.ny * (z + s.nz * (ch + s.nc * t)));
                        const bool covered = im.contrib_count.data[static_cast<std::size_t>(i)] > 0;
                        ASSERT_EQ(covered, !c.uncovered(x, y, z, t))
                            << "x=" << x << " y=" << y << " z=" << z << " c=" << ch << " t=" << t;
                    }
                }
            }
        }
    }
}

const auto none = [](std::int32_t, std::int32_t, std::int32_t, std::int32_t) { return false; };

INSTANTIATE_TEST_SUITE_P(
    Shapes, Coverage,
    ::testing::Values(coverage_case{"smallest", {8, 7, 1, 1, 1}, {3, 3, 0, 0, 0}, none},
                      coverage_case{"odd_sizes", {10, 13, 1, 1, 1}, {3, 3, 0, 0, 0}, none},
                      coverage_case{"channels", {11, 9, 1, 3, 1}, {3, 2, 0, 0, 0}, none},
                      coverage_case{"volume", {9, 11, 6, 1, 1}, {2, 2, 2, 0, 0}, none},
                      coverage_case{"sequence_radius_2", {9, 8, 1, 1, 6}, {2, 2, 0, 0, 2}, none},
                      coverage_case{"sequence_radius_1", {9, 8, 1, 1, 5}, {2, 2, 0, 0, 1}, none},
                      coverage_case{"row", {30, 1, 1, 1, 1}, {3, 0, 0, 0, 0}, none},
                      // Radius 1: grid step 2 and no border region, so an even axis keeps its
                      // last position uncovered.
                      coverage_case{"radius_1_even",
                                    {8, 8, 1, 1, 1},
                                    {1, 1, 0, 0, 0},
                                    [](std::int32_t x, std::int32_t y, std::int32_t, std::int32_t) {
                                        return x == 7 || y == 7;
                                    }},
                      coverage_case{"radius_1_odd", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, none},
                      // The far planes of x and y are visited densely along z, so they
                      // reach z = 7 where the z grid does not.
                      coverage_case{"volume_radius_1_even_z",
                                    {9, 9, 8, 1, 1},
                                    {2, 2, 1, 0, 0},
                                    [](std::int32_t x, std::int32_t y, std::int32_t z,
                                       std::int32_t) { return z == 7 && x < 4 && y < 4; }},
                      // Patches as large as the image along y and t.
                      coverage_case{"patch_spans_y_and_t", {6, 3, 1, 1, 7}, {2, 1, 0, 0, 3}, none}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EstimationPass, VisitsNothingWhenNoPatchFits) {
    // Radius 2 on an axis of 4: the patch fits nowhere, also not in the
    // far-plane region of that axis.
    pass_images im({4, 9, 1, 1, 1});
    im.run(params_with({2, 2, 0, 0, 0}), 1.0f, {2, 2, 0, 0, 0});
    for (const float n : im.contrib_count.data) {
        ASSERT_EQ(n, 0.0f);
    }
}

TEST(PatchDistance, WeighsSquaredDifferencesByBothInverseVariances) {
    // Row of six, radius 1: patches at x = 1 and x = 4.
    pass_images im({6, 1, 1, 1, 1});
    im.prev_estimate.data = {0.0f, 1.0f, 2.0f, 3.0f, 3.0f, 3.0f};
    im.prev_variance.data = {1.0f, 2.0f, 4.0f, 1.0f, 2.0f, 4.0f};
    const qv::denoise_params params = params_with({1, 0, 0, 0, 0});
    const qv::pass_context ctx(params, im.noisy, 1.0f, {1, 0, 0, 0, 0}, im.prev_estimate,
                               im.prev_variance);
    // Differences 3, 2, 1; inverse-variance sums 2, 1, 0.5.
    EXPECT_DOUBLE_EQ(qv::patch_distance(ctx, {1, 0, 0, 0}, {4, 0, 0, 0}), 9 * 2 + 4 * 1 + 0.5);
    EXPECT_DOUBLE_EQ(qv::patch_distance(ctx, {4, 0, 0, 0}, {1, 0, 0, 0}), 22.5);
    EXPECT_EQ(qv::patch_distance(ctx, {2, 0, 0, 0}, {2, 0, 0, 0}), 0.0);
}

TEST(ReferenceWork, SplitsEstimationFromAggregation) {
    // estimate_reference touches no sum image; add_to_sums adds the outcome.
    pass_images im({9, 9, 1, 1, 1});
    fill_normal(im.noisy, 3.0f, 1.0f, 4);
    im.prev_estimate = im.noisy;
    const qv::denoise_params params = params_with({1, 1, 0, 0, 0});
    const qv::pass_context ctx(params, im.noisy, 1.0f, {2, 2, 0, 0, 0}, im.prev_estimate,
                               im.prev_variance);
    qv::reference_work work(ctx);
    const qv::position r{4, 4, 0, 0};
    const qv::reference_outcome outcome = qv::estimate_reference(ctx, work, r);
    ASSERT_EQ(outcome.verdict, qv::patch_verdict::accepted);
    for (const float n : im.contrib_count.data) {
        ASSERT_EQ(n, 0.0f);
    }
    // Twice the same reference: the same numbers again.
    qv::reference_work again(ctx);
    const qv::reference_outcome repeated = qv::estimate_reference(ctx, again, r);
    EXPECT_EQ(repeated.variance, outcome.variance);
    EXPECT_EQ(again.patch_sum.data, work.patch_sum.data);

    qv::sum_images sums{im.sum_estimate, im.sum_variance, im.contrib_count};
    qv::add_to_sums(ctx, work, outcome, r, sums);
    float total = 0.0f;
    for (const float n : im.contrib_count.data) {
        total += n;
    }
    EXPECT_EQ(total, 9.0f);
    EXPECT_EQ(im.sum_estimate.data[4 + 9 * 4], work.patch_sum.data[4]);
    EXPECT_EQ(im.sum_variance.data[3 + 9 * 5], outcome.variance);
}

}  // namespace
