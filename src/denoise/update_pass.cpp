// The per-pixel update that closes an iteration: the sums become means, which
// are merged with the previous estimate by inverse-variance weighting.
#include <cstdint>
#include <vector>

#include "denoise/coverage.hpp"
#include "denoise/denoiser.hpp"

namespace qv {

namespace {

struct pixel_update {
    float estimate;
    float variance;
};

// The new estimate e (variance v) merged with the previous one P (variance Q)
// and the noisy value Y (variance g), each weighted by the product of the
// other two variances; the result's variance is g v Q / m.
pixel_update combine_three(float P, float Q, float e, float v, float Y, float g, float eps) {
    const float m = (g * Q + g * v) + v * Q;
    if (!(m > eps)) {
        return {e, v};
    }
    const float f = 1.0f / m;
    const float a = f * (g * v);  // weight of P
    const float b = f * (g * Q);  // weight of e
    const float c = f * (v * Q);  // weight of Y
    return {(a * P + c * Y) + b * e, a * Q};
}

// The new estimate e (variance v) merged with the previous one P (variance Q).
pixel_update combine_two(float P, float Q, float e, float v, float eps) {
    const float s = v + Q;
    if (!(s > eps)) {
        return {e, v};
    }
    const float f = 1.0f / s;
    const float u = v * f;  // weight of P
    const float w = f * Q;  // weight of e
    return {u * P + w * e, (u * u * Q + w * w * v) + ((u * 0.5f) * w) * s};
}

pixel_update update_pixel(float n, float P, float Q, float Y, float sum_e, float sum_v, float g,
                          const denoise_params& params) {
    const float eps = params.min_weight_sum;
    if (!(n > eps)) {
        // No contribution this iteration: keep the previous values.
        return {P, Q};
    }
    const float e = sum_e / n;
    const float q = sum_v / n;
    const float v = q > params.variance_floor ? q : params.variance_floor;  // NaN gives the floor
    if (g > 0.0f) {
        return combine_three(P, Q, e, v, Y, g, eps);
    }
    return combine_two(P, Q, e, v, eps);
}

}  // namespace

void update_pass(const array& noisy, float renoise_variance, const array& prev_estimate,
                 const array& prev_variance, array& sum_estimate, array& sum_variance,
                 const array& contrib_count, const denoise_params& params) {
    const auto count = static_cast<std::int64_t>(prev_estimate.size());
    const float* n = contrib_count.data.data();
    const float* P = prev_estimate.data.data();
    const float* Q = prev_variance.data.data();
    const float* Y = noisy.data.data();
    float* se = sum_estimate.data.data();
    float* sv = sum_variance.data.data();
    // Elements are independent, so any schedule gives the same bits; a static
    // one spares a shared-counter update per element, which costs more than
    // the element itself once two threads contend for it.
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < count; ++i) {
        const pixel_update u =
            update_pixel(n[i], P[i], Q[i], Y[i], se[i], sv[i], renoise_variance, params);
        se[i] = u.estimate;
        sv[i] = u.variance;
    }
}

void update_pass(const array& noisy, float renoise_variance, const array& prev_estimate,
                 const array& prev_variance, array& sum_estimate, array& sum_variance,
                 const pass_coverage& coverage, const denoise_params& params) {
    const std::int64_t rows = std::int64_t{prev_estimate.ny} * prev_estimate.nz *
                              prev_estimate.nc * prev_estimate.nt;
    const std::int32_t nx = prev_estimate.nx;
    if (prev_estimate.size() == 0) {
        return;
    }
    const float* P = prev_estimate.data.data();
    const float* Q = prev_variance.data.data();
    const float* Y = noisy.data.data();
    float* se = sum_estimate.data.data();
    float* sv = sum_variance.data.data();
#pragma omp parallel
    {
        std::vector<float> n(static_cast<std::size_t>(nx));
#pragma omp for schedule(static)
        for (std::int64_t row = 0; row < rows; ++row) {
            // row = y + ny * (z + nz * (c + nc * t))
            const auto y = static_cast<std::int32_t>(row % prev_estimate.ny);
            const std::int64_t zct = row / prev_estimate.ny;
            const auto z = static_cast<std::int32_t>(zct % prev_estimate.nz);
            const auto t = static_cast<std::int32_t>(zct / prev_estimate.nz / prev_estimate.nc);
            coverage.row_counts(y, z, t, n.data());
            const std::int64_t first = row * nx;
            for (std::int32_t x = 0; x < nx; ++x) {
                const std::int64_t i = first + x;
                const pixel_update u = update_pixel(n[static_cast<std::size_t>(x)], P[i], Q[i],
                                                    Y[i], se[i], sv[i], renoise_variance, params);
                se[i] = u.estimate;
                sv[i] = u.variance;
            }
        }
    }
}

}  // namespace qv
