// The parallel, vectorised estimation pass against the straightforward one:
// the same bits for every shape and radius, with 1, 2, 3 and 8 threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/kernel.hpp"
#include "denoise/patch_estimate.hpp"

namespace {

struct kernel_case {
    std::string name;
    qv::shape shape;
    qv::axis5 radius;
    qv::axis5 window;
    float pvalue = 0.01f;
};

std::ostream& operator<<(std::ostream& os, const kernel_case& c) { return os << c.name; }

qv::denoise_params params_of(const kernel_case& c) {
    qv::denoise_params p;
    p.patch_radius = c.radius;
    p.pvalue = c.pvalue;
    p.quantile = qv::quantile_from_pvalue(c.pvalue);
    return p;
}

// A noisy ramp; a previous estimate close to it except for a shifted block,
// where the test should reject; variances that vary from pixel to pixel.
struct pass_inputs {
    qv::array noisy, prev_estimate, prev_variance;
    float sigma = 2.0f;

    explicit pass_inputs(const qv::shape& s, unsigned seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<float> noise(0.0f, sigma);
        std::uniform_real_distribution<float> spread(0.5f, 2.0f);
        noisy.alloc(s);
        prev_estimate.alloc(s);
        prev_variance.alloc(s);
        for (std::size_t i = 0; i < noisy.data.size(); ++i) {
            const auto x = static_cast<float>(i % static_cast<std::size_t>(s.nx));
            noisy.data[i] = 10.0f + 0.5f * x + noise(rng);
            const float shift = (i % 97) < 20 ? 25.0f : 0.0f;
            prev_estimate.data[i] = noisy.data[i] + 0.3f * noise(rng) + shift;
            prev_variance.data[i] = sigma * sigma * spread(rng);
        }
    }
};

struct pass_sums {
    qv::array estimate, variance, count;

    explicit pass_sums(const qv::shape& s) {
        estimate.alloc(s);
        variance.alloc(s);
        count.alloc(s);
    }
};

using pass_function = void (*)(const qv::denoise_params&, const qv::array&, float, const qv::axis5&,
                               const qv::array&, const qv::array&, qv::array&, qv::array&,
                               qv::array&);

pass_sums run_pass(pass_function pass, int threads, const qv::denoise_params& params,
                   const pass_inputs& in, const qv::axis5& window) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    pass_sums sums(in.noisy);
    pass(params, in.noisy, in.sigma, window, in.prev_estimate, in.prev_variance, sums.estimate,
         sums.variance, sums.count);
    omp_set_num_threads(saved);
    return sums;
}

// Bitwise equality (NaN included) and the index of the first difference.
::testing::AssertionResult same_bits(const qv::array& expected, const qv::array& actual) {
    if (expected.data.size() != actual.data.size()) {
        return ::testing::AssertionFailure() << "sizes differ";
    }
    for (std::size_t i = 0; i < expected.data.size(); ++i) {
        if (std::memcmp(&expected.data[i], &actual.data[i], sizeof(float)) != 0) {
            return ::testing::AssertionFailure() << "element " << i << ": expected "
                                                 << expected.data[i] << ", got " << actual.data[i];
        }
    }
    return ::testing::AssertionSuccess();
}

void expect_same_sums(const pass_sums& expected, const pass_sums& actual) {
    EXPECT_TRUE(same_bits(expected.estimate, actual.estimate)) << "sum_estimate";
    EXPECT_TRUE(same_bits(expected.variance, actual.variance)) << "sum_variance";
    EXPECT_TRUE(same_bits(expected.count, actual.count)) << "contrib_count";
}

class FastPass : public ::testing::TestWithParam<kernel_case> {};

TEST_P(FastPass, MatchesTheOneThreadReferenceForEveryThreadCount) {
    const kernel_case& c = GetParam();
    const qv::denoise_params params = params_of(c);
    const pass_inputs in(c.shape, 11);
    const pass_sums expected = run_pass(qv::reference_estimation_pass, 1, params, in, c.window);
    float covered = 0.0f;
    for (const float n : expected.count.data) {
        covered += n;
    }
    // pvalue 1 makes every weight NaN: no estimate anywhere. Otherwise the
    // case must add something, or the comparison proves little.
    if (c.pvalue < 1.0f) {
        ASSERT_GT(covered, 0.0f);
    }
    for (const int threads : {1, 2, 3, 8}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        expect_same_sums(expected, run_pass(qv::estimation_pass, threads, params, in, c.window));
    }
}

TEST_P(FastPass, FollowsTheReferenceThroughFourIterations) {
    // A whole run's passes, each fed by the previous update: the growing
    // windows and the varying variances of later iterations.
    const kernel_case& c = GetParam();
    qv::denoise_params params = params_of(c);
    pass_inputs reference(c.shape, 23);
    params.min_weight_sum = reference.sigma * params.min_weight_factor;
    pass_inputs fast = reference;
    const qv::axis5 search = {1, 1, 1, 0, 1};
    for (std::int32_t k = 0; k < 4; ++k) {
        SCOPED_TRACE("iteration " + std::to_string(k));
        const qv::axis5 window = qv::search_window(c.shape, search, k);
        pass_sums expected = run_pass(qv::reference_estimation_pass, 1, params, reference, window);
        pass_sums actual = run_pass(qv::estimation_pass, 3, params, fast, window);
        expect_same_sums(expected, actual);
        qv::update_pass(reference.noisy, 0.0f, reference.prev_estimate, reference.prev_variance,
                        expected.estimate, expected.variance, expected.count, params);
        qv::update_pass(fast.noisy, 0.0f, fast.prev_estimate, fast.prev_variance, actual.estimate,
                        actual.variance, actual.count, params);
        reference.prev_estimate.swap(expected.estimate);
        reference.prev_variance.swap(expected.variance);
        fast.prev_estimate.swap(actual.estimate);
        fast.prev_variance.swap(actual.variance);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ShapesAndRadii, FastPass,
    ::testing::Values(
        kernel_case{"image_2d", {37, 29, 1, 1, 1}, {3, 3, 0, 0, 0}, {8, 8, 0, 0, 0}},
        kernel_case{"image_2d_radius_1_2", {20, 23, 1, 1, 1}, {1, 2, 0, 0, 0}, {4, 2, 0, 0, 0}},
        kernel_case{"image_2d_radius_0", {9, 8, 1, 1, 1}, {0, 0, 0, 0, 0}, {1, 1, 0, 0, 0}},
        kernel_case{"image_2d_radius_5_0", {40, 6, 1, 1, 1}, {5, 0, 0, 0, 0}, {16, 2, 0, 0, 0}},
        kernel_case{"image_2d_radius_4_1", {30, 12, 1, 1, 1}, {4, 1, 0, 0, 0}, {5, 1, 0, 0, 0}},
        kernel_case{"column", {1, 30, 1, 1, 1}, {0, 3, 0, 0, 0}, {0, 4, 0, 0, 0}},
        kernel_case{"window_beyond_image", {15, 13, 1, 1, 1}, {2, 3, 0, 0, 0}, {32, 32, 0, 0, 0}},
        kernel_case{"volume", {17, 15, 11, 1, 1}, {2, 1, 2, 0, 0}, {4, 4, 2, 0, 0}},
        kernel_case{"volume_radius_1", {12, 11, 9, 1, 1}, {1, 1, 1, 0, 0}, {2, 2, 1, 0, 0}},
        kernel_case{"volume_radius_3_z", {10, 9, 14, 1, 1}, {1, 0, 3, 0, 0}, {3, 1, 2, 0, 0}},
        kernel_case{"multichannel", {19, 17, 1, 3, 1}, {3, 2, 0, 0, 0}, {4, 4, 0, 0, 0}},
        kernel_case{"sequence", {21, 18, 1, 1, 6}, {2, 2, 0, 0, 1}, {4, 4, 0, 0, 1}},
        kernel_case{"sequence_radius_2_t", {16, 15, 1, 1, 7}, {3, 3, 0, 0, 2}, {2, 2, 0, 0, 2}},
        kernel_case{"sequence_radius_3_t", {13, 12, 1, 2, 9}, {2, 2, 0, 0, 3}, {3, 3, 0, 0, 1}},
        kernel_case{"volume_sequence", {11, 10, 7, 2, 5}, {1, 2, 1, 0, 2}, {2, 2, 1, 0, 1}},
        kernel_case{"long_sequence", {10, 8, 1, 2, 13}, {1, 1, 0, 0, 2}, {2, 2, 0, 0, 2}},
        kernel_case{"long_volume_sequence", {8, 7, 6, 1, 11}, {2, 1, 1, 0, 3}, {2, 1, 1, 0, 1}},
        kernel_case{"pvalue_0", {24, 24, 1, 1, 1}, {3, 3, 0, 0, 0}, {4, 4, 0, 0, 0}, 0.0f},
        kernel_case{"pvalue_1", {24, 24, 1, 1, 1}, {3, 3, 0, 0, 0}, {4, 4, 0, 0, 0}, 1.0f}),
    [](const ::testing::TestParamInfo<kernel_case>& info) { return info.param.name; });

// Every reference position of a small image, every window width from 0 to 12
// (three candidate rows above and below) and every patch width from 1 to 13:
// all block and tail paths of the lanes, blocks that run from one candidate
// row into the next and blocks at the image's end, in each instruction-set
// build this machine can run.
class PatchEstimate : public ::testing::TestWithParam<std::tuple<qv::lane_set, std::int32_t>> {};

TEST_P(PatchEstimate, EqualsEstimateReferenceAtEveryPosition) {
    const auto [set, px] = GetParam();
    if (!qv::lane_set_supported(set)) {
        GTEST_SKIP() << "this CPU cannot run that build";
    }
    const qv::shape s{40, 9, 1, 1, 1};
    const pass_inputs in(s, 5 + static_cast<unsigned>(px));
    const qv::denoise_params params = params_of({"", s, {px, 1, 0, 0, 0}, {}});
    for (std::int32_t w = 0; w <= 12; ++w) {
        const qv::pass_context ctx(params, in.noisy, in.sigma, {w, 3, 0, 0, 0}, in.prev_estimate,
                                   in.prev_variance);
        qv::reference_work work(ctx);
        qv::candidate_row_scratch scratch(ctx);
        std::vector<float> patch(static_cast<std::size_t>(ctx.patch_size()), -1.0f);
        for (std::int32_t i = 0; i < (s.nx - 2 * px) * (s.ny - 2); ++i) {
            const std::int32_t x = px + i % (s.nx - 2 * px);
            const std::int32_t y = 1 + i / (s.nx - 2 * px);
            SCOPED_TRACE("window " + std::to_string(w) + ", x " + std::to_string(x) + ", y " +
                         std::to_string(y));
            const qv::position r{x, y, 0, 0};
            const qv::reference_outcome expected = qv::estimate_reference(ctx, work, r);
            const qv::reference_outcome actual =
                qv::estimate_patch_with(set, ctx, scratch, patch.data(), r);
            ASSERT_EQ(actual.verdict, expected.verdict);
            ASSERT_EQ(std::memcmp(&actual.variance, &expected.variance, sizeof(float)), 0);
            ASSERT_EQ(
                std::memcmp(patch.data(), work.patch_sum.data.data(), patch.size() * sizeof(float)),
                0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PatchWidths, PatchEstimate,
                         ::testing::Combine(::testing::Values(qv::lane_set::portable,
                                                              qv::lane_set::avx2),
                                            ::testing::Range(0, 7)),
                         [](const ::testing::TestParamInfo<PatchEstimate::ParamType>& info) {
                             const bool avx2 = std::get<0>(info.param) == qv::lane_set::avx2;
                             return std::string(avx2 ? "avx2" : "portable") + "_radius_" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
