// The fast estimate of a reference position against the exact one, its
// independence of where the image ends in memory (what chunked runs rely
// on) and of the reference visited before it, and its exp against the
// standard library's; whole runs with work images of longer rows; passes
// that visit the frames inside each grid row.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/fast_estimate.hpp"
#include "denoise/kernel.hpp"
#include "denoise/row_pitch.hpp"

namespace {

constexpr float sigma = 2.0f;

// A noisy ramp, a previous estimate near it except in its left quarter (where
// the test rejects) and variances that vary from pixel to pixel; the inverse
// variances the fast kernel reads beside them.
struct inputs {
    qv::array noisy, estimate, variance, inverse;

    inputs(const qv::shape& s, unsigned seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<float> noise(0.0f, sigma);
        std::uniform_real_distribution<float> spread(0.5f, 2.0f);
        noisy.alloc(s);
        estimate.alloc(s);
        variance.alloc(s);
        inverse.alloc(s);
        for (std::size_t i = 0; i < noisy.data.size(); ++i) {
            const auto x = static_cast<float>(i % static_cast<std::size_t>(s.nx));
            noisy.data[i] = 10.0f + 0.5f * x + noise(rng);
            const float shift = x < 0.25f * static_cast<float>(s.nx) ? 25.0f : 0.0f;
            estimate.data[i] = noisy.data[i] + 0.3f * noise(rng) + shift;
            variance.data[i] = sigma * sigma * spread(rng) * 0.25f;
            inverse.data[i] = 1.0f / variance.data[i];
        }
    }
};

qv::denoise_params params_with(const qv::axis5& radius, qv::kernel_kind kernel) {
    qv::denoise_params p;
    p.patch_radius = radius;
    p.quantile = qv::quantile_from_pvalue(p.pvalue);
    p.min_weight_sum = sigma * p.min_weight_factor;
    p.kernel = kernel;
    return p;
}

struct fast_case {
    std::string name;
    qv::shape shape;
    qv::axis5 radius;
};

std::ostream& operator<<(std::ostream& os, const fast_case& c) { return os << c.name; }

// Every reference position whose patch fits, for windows of 0 to 12 along x
// (row pieces from none to whole blocks and single candidates) and 3 along
// the other axes.
class FastEstimate : public ::testing::TestWithParam<std::tuple<qv::lane_set, fast_case>> {};

TEST_P(FastEstimate, IsCloseToTheExactEstimateAtEveryPosition) {
    const auto& [set, c] = GetParam();
    if (!qv::fast_lanes_supported(set)) {
        GTEST_SKIP() << "this CPU cannot run that build";
    }
    const inputs in(c.shape, 7);
    const qv::denoise_params exact_params = params_with(c.radius, qv::kernel_kind::exact);
    const qv::denoise_params fast_params = params_with(c.radius, qv::kernel_kind::fast);
    const qv::position lo{c.radius[0], c.radius[1], c.radius[2], c.radius[4]};
    const qv::position n{c.shape.nx, c.shape.ny, c.shape.nz, c.shape.nt};
    std::int64_t compared = 0;
    for (std::int32_t w = 0; w <= 12; ++w) {
        const qv::axis5 window{w, 3, c.shape.nz > 1 ? 1 : 0, 0, c.shape.nt > 1 ? 2 : 0};
        const qv::pass_context exact(exact_params, in.noisy, sigma, window, in.estimate,
                                     in.variance);
        const qv::pass_context fast(fast_params, in.noisy, sigma, window, in.estimate, in.inverse);
        qv::reference_work work(exact);
        qv::fast_scratch scratch(fast);
        std::vector<float> patch(qv::fast_scratch::patch_floats(fast));
        qv::position r;
        for (r[3] = lo[3]; r[3] < n[3] - lo[3]; ++r[3]) {
            for (r[2] = lo[2]; r[2] < n[2] - lo[2]; ++r[2]) {
                for (r[1] = lo[1]; r[1] < n[1] - lo[1]; ++r[1]) {
                    for (r[0] = lo[0]; r[0] < n[0] - lo[0]; ++r[0]) {
                        const qv::reference_outcome want = qv::estimate_reference(exact, work, r);
                        const qv::reference_outcome got =
                            qv::fast_estimate_patch_with(set, fast, scratch, patch.data(), r);
                        ASSERT_EQ(got.verdict, want.verdict)
                            << "window " << w << " at " << r[0] << "," << r[1] << "," << r[2] << ","
                            << r[3];
                        if (got.verdict != qv::patch_verdict::accepted) {
                            continue;
                        }
                        ASSERT_NEAR(got.variance, want.variance, 1e-5f * want.variance);
                        const auto rows = static_cast<std::int32_t>(fast.row_offsets.size());
                        for (std::int32_t row = 0; row < rows; ++row) {
                            for (std::int32_t x = 0; x < fast.row_length; ++x) {
                                ASSERT_NEAR(
                                    patch[static_cast<std::size_t>(row * scratch.pitch + x)],
                                    work.patch_sum
                                        .data[static_cast<std::size_t>(row * fast.row_length + x)],
                                    1e-4f * sigma);
                            }
                        }
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FastEstimate,
    ::testing::Combine(::testing::Values(qv::lane_set::portable, qv::lane_set::avx2),
                       ::testing::Values(fast_case{"radius_0", {20, 9, 1, 1, 1}, {0, 1, 0, 0, 0}},
                                         fast_case{"radius_1", {24, 9, 1, 1, 1}, {1, 1, 0, 0, 0}},
                                         fast_case{"radius_3", {30, 11, 1, 1, 1}, {3, 3, 0, 0, 0}},
                                         fast_case{"radius_4", {33, 12, 1, 1, 1}, {4, 2, 0, 0, 0}},
                                         fast_case{"radius_6", {40, 7, 1, 1, 1}, {6, 1, 0, 0, 0}},
                                         fast_case{"volume", {19, 11, 6, 1, 1}, {2, 2, 1, 0, 0}},
                                         fast_case{"channels", {21, 10, 1, 3, 1}, {3, 2, 0, 0, 0}},
                                         fast_case{
                                             "sequence", {18, 10, 1, 2, 6}, {2, 1, 0, 0, 1}})),
    [](const ::testing::TestParamInfo<FastEstimate::ParamType>& info) {
        const bool avx2 = std::get<0>(info.param) == qv::lane_set::avx2;
        return std::string(avx2 ? "avx2_" : "portable_") + std::get<1>(info.param).name;
    });

// The same window in an image that ends right after it (as a chunk does) and
// in one that goes on: the same bits, although the first reads its last
// candidates with loads that stop at the image's end.
class FastEstimateEnd : public ::testing::TestWithParam<qv::lane_set> {};

TEST_P(FastEstimateEnd, GivesTheSameBitsWhereverTheImageEnds) {
    const qv::lane_set set = GetParam();
    if (!qv::fast_lanes_supported(set)) {
        GTEST_SKIP() << "this CPU cannot run that build";
    }
    const qv::axis5 radius{3, 3, 0, 0, 0};
    const qv::denoise_params params = params_with(radius, qv::kernel_kind::fast);
    const inputs whole({37, 30, 1, 1, 1}, 3);
    for (const std::int32_t w : {2, 4, 8}) {
        // Rows first .. first + ny - 1 of the whole image: the window of the
        // reference at row r1 (in the crop) fits in both and ends at the
        // crop's last row.
        const std::int32_t first = 2;
        const std::int32_t ny = 1 + 2 * (w + radius[1]);
        const std::int32_t r1 = w + radius[1];
        auto crop = [&](const qv::array& a) {
            return qv::array(a.data.data() + first * a.nx, a.nx, ny, 1, 1, 1);
        };
        const qv::array noisy = crop(whole.noisy);
        const qv::array estimate = crop(whole.estimate);
        const qv::array inverse = crop(whole.inverse);
        const qv::axis5 window{w, w, 0, 0, 0};
        const qv::pass_context in_whole(params, whole.noisy, sigma, window, whole.estimate,
                                        whole.inverse);
        const qv::pass_context in_crop(params, noisy, sigma, window, estimate, inverse);
        qv::fast_scratch whole_scratch(in_whole);
        qv::fast_scratch crop_scratch(in_crop);
        std::vector<float> a(qv::fast_scratch::patch_floats(in_whole));
        std::vector<float> b(a.size());
        // The x positions whose window the image does not clip, and the last
        // ones, whose window it does.
        for (std::int32_t x = radius[0]; x < whole.noisy.nx - radius[0]; ++x) {
            SCOPED_TRACE("window " + std::to_string(w) + ", x " + std::to_string(x));
            const qv::reference_outcome in_a = qv::fast_estimate_patch_with(
                set, in_whole, whole_scratch, a.data(), {x, first + r1, 0, 0});
            const qv::reference_outcome in_b =
                qv::fast_estimate_patch_with(set, in_crop, crop_scratch, b.data(), {x, r1, 0, 0});
            ASSERT_EQ(in_a.verdict, in_b.verdict);
            ASSERT_EQ(std::memcmp(&in_a.variance, &in_b.variance, sizeof(float)), 0);
            if (in_a.verdict != qv::patch_verdict::accepted) {
                continue;
            }
            for (std::size_t row = 0; row < in_whole.row_offsets.size(); ++row) {
                const std::size_t at = row * static_cast<std::size_t>(whole_scratch.pitch);
                ASSERT_EQ(
                    std::memcmp(a.data() + at, b.data() + at,
                                static_cast<std::size_t>(in_whole.row_length) * sizeof(float)),
                    0)
                    << "patch row " << row;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, FastEstimateEnd,
                         ::testing::Values(qv::lane_set::portable, qv::lane_set::avx2),
                         [](const ::testing::TestParamInfo<qv::lane_set>& info) {
                             return std::string(info.param == qv::lane_set::avx2 ? "avx2"
                                                                                 : "portable");
                         });

// References walked along a row h + 1 apart (as the grid visits them), one
// scratch reusing the row parts of the reference before, give the bits of a
// fresh scratch for each; so do pairs of references of the same x whose
// patches overlap along y, estimated together; for whole and clipped
// windows, row pieces of every length, and patch rows of a constant (radius
// 1 to 4) and of any length.
class FastEstimateCarry : public ::testing::TestWithParam<qv::lane_set> {};

TEST_P(FastEstimateCarry, GivesTheSameBitsAsAFreshScratch) {
    const qv::lane_set set = GetParam();
    if (!qv::fast_lanes_supported(set)) {
        GTEST_SKIP() << "this CPU cannot run that build";
    }
    const inputs in({61, 23, 1, 1, 1}, 5);
    for (const std::int32_t radius : {1, 3, 4, 5}) {
        const qv::denoise_params params = params_with({radius, 2, 0, 0, 0}, qv::kernel_kind::fast);
        for (const std::int32_t w : {1, 4, 8, 11}) {
            const qv::pass_context ctx(params, in.noisy, sigma, {w, 3, 0, 0, 0}, in.estimate,
                                       in.inverse);
            qv::fast_scratch walking(ctx);
            qv::fast_scratch pairs(ctx);
            ASSERT_FALSE(walking.row_carry.empty());
            std::vector<float> got(qv::fast_scratch::patch_floats(ctx));
            std::vector<float> got_b(got.size());
            std::vector<float> want(got.size());
            const auto same = [&](const qv::reference_outcome& a, const float* pa,
                                  const qv::position& r) {
                qv::fast_scratch fresh(ctx);
                const qv::reference_outcome b =
                    qv::fast_estimate_patch_with(set, ctx, fresh, want.data(), r);
                ASSERT_EQ(a.verdict, b.verdict);
                ASSERT_EQ(std::memcmp(&a.variance, &b.variance, sizeof(float)), 0);
                if (a.verdict == qv::patch_verdict::accepted) {
                    ASSERT_EQ(std::memcmp(pa, want.data(), want.size() * sizeof(float)), 0);
                }
            };
            for (std::int32_t y = 2; y < 17; y += 7) {
                for (std::int32_t x = radius; x < 61 - radius; x += radius + 1) {
                    SCOPED_TRACE("radius " + std::to_string(radius) + ", window " +
                                 std::to_string(w) + ", x " + std::to_string(x) + ", y " +
                                 std::to_string(y));
                    same(qv::fast_estimate_patch_with(set, ctx, walking, got.data(), {x, y, 0, 0}),
                         got.data(), {x, y, 0, 0});
                    const auto both = qv::fast_estimate_pair_with(
                        set, ctx, pairs, got.data(), got_b.data(), {x, y, 0, 0}, {x, y + 3, 0, 0});
                    same(both[0], got.data(), {x, y, 0, 0});
                    same(both[1], got_b.data(), {x, y + 3, 0, 0});
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, FastEstimateCarry,
                         ::testing::Values(qv::lane_set::portable, qv::lane_set::avx2),
                         [](const ::testing::TestParamInfo<qv::lane_set>& info) {
                             return std::string(info.param == qv::lane_set::avx2 ? "avx2"
                                                                                 : "portable");
                         });

class FastExp : public ::testing::TestWithParam<qv::lane_set> {};

TEST_P(FastExp, StaysWithinItsErrorOverItsWholeRange) {
    const qv::lane_set set = GetParam();
    if (!qv::fast_lanes_supported(set)) {
        GTEST_SKIP() << "this CPU cannot run that build";
    }
    // Every 61st float from the log of the least normal float to 88.37, by
    // bit pattern, so that every binade is sampled alike.
    std::vector<float> x;
    const auto bits = [](float v) {
        std::uint32_t b = 0;
        std::memcpy(&b, &v, sizeof b);
        return b;
    };
    const auto from_bits = [](std::uint32_t b) {
        float v = 0.0f;
        std::memcpy(&v, &b, sizeof v);
        return v;
    };
    for (std::uint32_t b = bits(-0.0f); b <= bits(-87.33654f); b += 61) {
        x.push_back(from_bits(b));
    }
    for (std::uint32_t b = 0; b <= bits(88.37f); b += 61) {
        x.push_back(from_bits(b));
    }
    std::vector<float> y(x.size());
    qv::fast_exp(set, x.data(), y.data(), x.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double want = std::exp(static_cast<double>(x[i]));
        worst = std::max(worst, std::fabs(static_cast<double>(y[i]) - want) / want);
    }
    // Measured: 8.1e-8 portable, 8.4e-8 with AVX2 and FMA (the float's own
    // rounding alone is up to 6e-8).
    EXPECT_LT(worst, 1e-7);
    const float edges[] = {-87.4f, -1000.0f, 88.4f, std::numeric_limits<float>::quiet_NaN(), 0.0f};
    float out[5];
    qv::fast_exp(set, edges, out, 5);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(out[3]));
    EXPECT_EQ(out[4], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Builds, FastExp,
                         ::testing::Values(qv::lane_set::portable, qv::lane_set::avx2),
                         [](const ::testing::TestParamInfo<qv::lane_set>& info) {
                             return std::string(info.param == qv::lane_set::avx2 ? "avx2"
                                                                                 : "portable");
                         });

}  // namespace

// Whole runs of the fast kernel with the counts from the coverage (whose
// work images get longer rows where the image's alias in the cache), on a
// copy or in the image's own storage where it has room, against runs with a
// count image (rows as long as the image's): the same result, variance and
// estimate after every iteration, bit for bit, also where positions get no
// estimate (sigma far below the noise).
struct pitch_case {
    qv::shape shape;
    qv::axis5 radius;
    qv::axis5 search;
    float sigma;
};

class LongerRows : public ::testing::TestWithParam<pitch_case> {};

TEST_P(LongerRows, GiveTheSameBitsAsRowsOfTheImagesLength) {
    const pitch_case& c = GetParam();
    const std::int32_t pitch = qv::padded_row_length(c.shape.nx);
    ASSERT_GT(pitch, c.shape.nx);
    const inputs in(c.shape, 5);
    struct outcome {
        qv::array result, variance;
        std::vector<qv::array> steps;
        const float* storage = nullptr;
    };
    const auto run = [&](bool from_coverage, bool roomy) {
        qv::denoiser d =
            qv::make_denoiser(c.shape, {c.radius.begin(), c.radius.end()},
                              {c.search.begin(), c.search.end()}, 3, 0.01f, c.sigma, 0.0f);
        d.params.kernel = qv::kernel_kind::fast;
        d.counts_from_coverage = from_coverage;
        outcome out;
        d.variance_out = &out.variance;
        d.iterates_out = &out.steps;
        if (roomy) {
            out.result.data.reserve(in.noisy.data.size() / c.shape.nx * pitch);
        }
        out.result.assign(in.noisy.data.data(), in.noisy);
        out.storage = out.result.data.data();
        d.run(out.result, c.sigma);
        EXPECT_EQ(out.result.data.data(), out.storage) << "the image's storage moved";
        return out;
    };
    omp_set_num_threads(2);
    const outcome plain = run(false, false);
    for (const bool roomy : {false, true}) {
        const outcome longer = run(true, roomy);
        EXPECT_EQ(longer.result.nx, c.shape.nx);
        EXPECT_EQ(longer.result.data, plain.result.data) << "in place " << roomy;
        EXPECT_EQ(longer.variance.nx, c.shape.nx);
        EXPECT_EQ(longer.variance.data, plain.variance.data) << "in place " << roomy;
        ASSERT_EQ(longer.steps.size(), plain.steps.size());
        for (std::size_t k = 0; k < plain.steps.size(); ++k) {
            EXPECT_EQ(longer.steps[k].data, plain.steps[k].data) << "after iteration " << k + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LongerRows,
    ::testing::Values(pitch_case{{256, 12, 1, 1, 6}, {2, 2, 0, 0, 1}, {1, 1, 0, 0, 1}, sigma},
                      pitch_case{{512, 9, 3, 2, 1}, {3, 3, 1, 0, 0}, {1, 1, 1, 0, 0}, sigma},
                      pitch_case{{1024, 11, 1, 1, 1}, {3, 3, 0, 0, 0}, {1, 1, 0, 0, 0}, 0.05f}));

namespace {

// Frames visited inside each grid row (patches one frame deep, a window over
// other frames) against frames outermost: the same sums, counts and list of
// positions without an estimate, bit for bit, with one and two threads
// (stripes along y, or along t where it is longer), in runs of x positions
// that end inside the row, paired grid rows or single ones.
struct frames_case {
    std::string name;
    qv::shape shape;
    qv::axis5 radius;
    qv::axis5 window;
    float sigma;
};

std::ostream& operator<<(std::ostream& os, const frames_case& c) { return os << c.name; }

class FramesInsideRows : public ::testing::TestWithParam<frames_case> {};

TEST_P(FramesInsideRows, GiveTheSumsOfFramesOutermost) {
    const frames_case& c = GetParam();
    qv::denoise_params params = params_with(c.radius, qv::kernel_kind::fast);
    params.min_weight_sum = c.sigma * params.min_weight_factor;
    inputs in(c.shape, 9);
    // Variances as far below the noise as c.sigma is below sigma.
    for (float& v : in.inverse.data) {
        v *= (sigma / c.sigma) * (sigma / c.sigma);
    }
    struct sums {
        qv::array estimate, variance, count;
        std::vector<std::array<std::int32_t, 5>> missing;
    };
    const auto run = [&](bool inside, bool counts) {
        sums out;
        out.estimate.alloc(c.shape);
        out.variance.alloc(c.shape);
        if (counts) {
            out.count.alloc(c.shape);
        }
        qv::pass_hooks hooks;
        hooks.list_missing = !counts;
        hooks.frames_inside_rows = inside;
        qv::estimation_pass(params, in.noisy, c.sigma, c.window, in.estimate, in.inverse,
                            out.estimate, out.variance, out.count, hooks);
        out.missing = hooks.missing;
        return out;
    };
    for (const int threads : {1, 2}) {
        omp_set_num_threads(threads);
        for (const bool counts : {true, false}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", counts " +
                         std::to_string(counts));
            const sums outermost = run(false, counts);
            const sums inside = run(true, counts);
            if (!counts && c.sigma < sigma) {
                ASSERT_FALSE(outermost.missing.empty()) << "every position got an estimate";
                ASSERT_TRUE(std::any_of(outermost.estimate.data.begin(),
                                        outermost.estimate.data.end(),
                                        [](float v) { return v != 0.0f; }))
                    << "no position got an estimate";
            }
            EXPECT_EQ(inside.estimate.data, outermost.estimate.data);
            EXPECT_EQ(inside.variance.data, outermost.variance.data);
            EXPECT_EQ(inside.count.data, outermost.count.data);
            EXPECT_EQ(inside.missing, outermost.missing);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FramesInsideRows,
    ::testing::Values(
        frames_case{"paired_rows", {75, 21, 1, 1, 7}, {3, 3, 0, 0, 0}, {4, 4, 0, 0, 3}, sigma},
        frames_case{
            "single_rows_channels", {45, 13, 1, 2, 5}, {2, 0, 0, 0, 0}, {3, 1, 0, 0, 2}, sigma},
        frames_case{"volume_frames", {40, 12, 4, 1, 6}, {2, 2, 1, 0, 0}, {2, 2, 1, 0, 9}, sigma},
        frames_case{"stripes_along_t", {70, 9, 1, 1, 12}, {2, 2, 0, 0, 0}, {2, 2, 0, 0, 11}, sigma},
        frames_case{"few_estimates", {61, 17, 1, 1, 6}, {3, 3, 0, 0, 0}, {4, 4, 0, 0, 5}, 0.7f}),
    [](const ::testing::TestParamInfo<frames_case>& info) { return info.param.name; });

}  // namespace
