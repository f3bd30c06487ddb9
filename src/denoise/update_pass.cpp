// The per-pixel update that closes an iteration: the sums become means, which
// are merged with the previous estimate by inverse-variance weighting.
#include <cstdint>
#include <cstring>
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

namespace {

// Four pixels at a time in generic vectors (SSE on x86-64, NEON on aarch64).
using float4 = float __attribute__((vector_size(16)));
using int4 = std::int32_t __attribute__((vector_size(16)));

float4 load4(const float* p) {
    float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store4(float* p, float4 v) { std::memcpy(p, &v, sizeof v); }

float4 splat(float v) { return float4{v, v, v, v}; }

// update_pixel on four pixels: every branch computed, the one update_pixel
// takes kept, so the same operations and bits per pixel.
void update_four(float4 n, float4 P, float4 Q, float4 Y, float4& se, float4& sv, float g, float eps,
                 float floor) {
    const float4 e = se / n;
    const float4 q = sv / n;
    const float4 v = q > floor ? q : splat(floor);
    float4 merged_e;
    float4 merged_v;
    int4 merge;
    if (g > 0.0f) {
        const float4 m = (g * Q + g * v) + v * Q;
        const float4 f = 1.0f / m;
        const float4 a = f * (g * v);
        const float4 b = f * (g * Q);
        const float4 c = f * (v * Q);
        merged_e = (a * P + c * Y) + b * e;
        merged_v = a * Q;
        merge = m > eps;
    } else {
        const float4 s = v + Q;
        const float4 f = 1.0f / s;
        const float4 u = v * f;
        const float4 w = f * Q;
        merged_e = u * P + w * e;
        merged_v = (u * u * Q + w * w * v) + ((u * 0.5f) * w) * s;
        merge = s > eps;
    }
    const int4 has = n > eps;
    se = has != 0 ? (merge != 0 ? merged_e : e) : P;
    sv = has != 0 ? (merge != 0 ? merged_v : v) : Q;
}

void update_row(std::int32_t nx, const float* n, const float* P, const float* Q, const float* Y,
                float* se, float* sv, float g, const denoise_params& params) {
    std::int32_t x = 0;
    for (; x + 4 <= nx; x += 4) {
        float4 e = load4(se + x);
        float4 v = load4(sv + x);
        update_four(load4(n + x), load4(P + x), load4(Q + x), load4(Y + x), e, v, g,
                    params.min_weight_sum, params.variance_floor);
        store4(se + x, e);
        store4(sv + x, v);
    }
    for (; x < nx; ++x) {
        const pixel_update u = update_pixel(n[x], P[x], Q[x], Y[x], se[x], sv[x], g, params);
        se[x] = u.estimate;
        sv[x] = u.variance;
    }
}

}  // namespace

void update_pass(const array& noisy, float renoise_variance, const array& prev_estimate,
                 const array& prev_variance, array& sum_estimate, array& sum_variance,
                 const pass_coverage& coverage, const denoise_params& params) {
    const std::int64_t rows =
        std::int64_t{prev_estimate.ny} * prev_estimate.nz * prev_estimate.nc * prev_estimate.nt;
    // The work images' rows may be longer than the image's (row_pitch.hpp):
    // only the image's own nx elements of each are updated.
    const std::int32_t pitch = prev_estimate.nx;
    const std::int32_t nx = coverage.row_length();
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
            const std::int64_t first = row * pitch;
            update_row(nx, n.data(), P + first, Q + first, Y + first, se + first, sv + first,
                       renoise_variance, params);
        }
    }
}

}  // namespace qv
