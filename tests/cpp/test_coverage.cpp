// Contribution counts from the geometry of a pass against the count image the
// pass itself accumulates, including positions without an estimate.
#include <gtest/gtest.h>
#include <omp.h>

#include <random>
#include <vector>

#include "array/array.hpp"
#include "denoise/coverage.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/kernel.hpp"

namespace {

struct coverage_case {
    qv::shape shape;
    qv::axis5 radius;
    qv::axis5 window;
    float sigma;  // far below the noise: many positions get no estimate
};

class CoverageCounts : public ::testing::TestWithParam<coverage_case> {};

TEST_P(CoverageCounts, EqualTheCountsThePassAdds) {
    const coverage_case& c = GetParam();
    qv::denoise_params params;
    params.patch_radius = c.radius;
    params.quantile = qv::quantile_from_pvalue(params.pvalue);
    qv::array noisy, variance, sum_e, sum_v, count;
    noisy.alloc(c.shape);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(50.0f, 5.0f);
    for (float& v : noisy.data) {
        v = noise(rng);
    }
    variance.alloc(c.shape).fill(c.sigma * c.sigma * 0.25f);
    sum_e.alloc(c.shape);
    sum_v.alloc(c.shape);
    count.alloc(c.shape);
    qv::pass_hooks hooks;
    hooks.list_missing = true;
    omp_set_num_threads(2);
    qv::estimation_pass(params, noisy, c.sigma, c.window, noisy, variance, sum_e, sum_v, count,
                        hooks);

    qv::pass_coverage coverage(params, noisy);
    coverage.set_missing(hooks.missing);
    std::vector<float> row(static_cast<std::size_t>(c.shape.nx));
    std::size_t i = 0;
    for (std::int32_t t = 0; t < c.shape.nt; ++t) {
        for (std::int32_t ch = 0; ch < c.shape.nc; ++ch) {
            for (std::int32_t z = 0; z < c.shape.nz; ++z) {
                for (std::int32_t y = 0; y < c.shape.ny; ++y) {
                    coverage.row_counts(y, z, t, row.data());
                    for (std::int32_t x = 0; x < c.shape.nx; ++x, ++i) {
                        ASSERT_EQ(row[static_cast<std::size_t>(x)], count.data[i])
                            << "at x " << x << " y " << y << " z " << z << " t " << t;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CoverageCounts,
    ::testing::Values(
        // 2-D with far planes along x and y; estimates everywhere, then few.
        coverage_case{{31, 26, 1, 1, 1}, {3, 3, 0, 0, 0}, {2, 2, 0, 0, 0}, 5.0f},
        coverage_case{{31, 26, 1, 1, 1}, {3, 3, 0, 0, 0}, {1, 1, 0, 0, 0}, 0.2f},
        // Radius 1 (no far plane: uncovered last pixels), channels, z and t.
        coverage_case{{20, 17, 4, 2, 1}, {1, 1, 1, 0, 0}, {2, 2, 1, 0, 0}, 0.3f},
        coverage_case{{18, 15, 3, 1, 7}, {2, 2, 1, 0, 2}, {1, 1, 1, 0, 1}, 0.3f}));

}  // namespace
