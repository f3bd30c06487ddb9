// The per-reference work of the estimation kernel: candidate weights, the
// weighted patch sum, the acceptance test and the aggregation of one patch.
#include "denoise/kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "denoise/regions.hpp"

namespace qv {

namespace {

// Fisher's approximation of the quantile of a chi-square law with n degrees
// of freedom at the normal quantile q: 0.5 (sqrt(2n - 1) + q)^2.
float chi_square_quantile(std::int32_t n, double q) {
    const double l = 2.0 * static_cast<double>(n) - 1.0;
    return static_cast<float>(0.5 * (l + 2.0 * q * std::sqrt(l) + q * q));
}

// The patch rows in patch element order: their offsets from the patch's
// position and their (0, dy, dz, dt).
void patch_rows(const array& image, const position& radius, std::vector<std::int32_t>& offsets,
                std::vector<position>& shifts) {
    for (std::int32_t dt = -radius[3]; dt <= radius[3]; ++dt) {
        for (std::int32_t c = 0; c < image.nc; ++c) {
            for (std::int32_t dz = -radius[2]; dz <= radius[2]; ++dz) {
                for (std::int32_t dy = -radius[1]; dy <= radius[1]; ++dy) {
                    offsets.push_back(-radius[0] +
                                      image.nx *
                                          (dy + image.ny * (dz + image.nz * (c + image.nc * dt))));
                    shifts.push_back(position{0, dy, dz, dt});
                }
            }
        }
    }
}

// patch_sum[k] += noisy[j + offset k] * w, each sum in double narrowed to float.
void add_weighted_patch(const pass_context& ctx, array& patch_sum, std::int32_t j0, double w) {
    const float* noisy = ctx.noisy.data.data();
    float* sum = patch_sum.data.data();
    for (const std::int32_t off : ctx.row_offsets) {
        const float* src = noisy + (j0 + off);
        for (std::int32_t x = 0; x < ctx.row_length; ++x) {
            sum[x] =
                static_cast<float>(static_cast<double>(sum[x]) + static_cast<double>(src[x]) * w);
        }
        sum += ctx.row_length;
    }
}

}  // namespace

pass_context::pass_context(const denoise_params& params_, const array& noisy_, float sigma_,
                           const axis5& window_, const array& prev_estimate_,
                           const array& prev_variance_)
    : params(params_),
      noisy(noisy_),
      prev_estimate(prev_estimate_),
      prev_variance(prev_variance_),
      sigma(sigma_),
      window(window_),
      extent{noisy_.nx, noisy_.ny, noisy_.nz, noisy_.nt},
      radius{params_.patch_radius[0], params_.patch_radius[1], params_.patch_radius[2],
             params_.patch_radius[4]} {
    patch_shape =
        shape{2 * radius[0] + 1, 2 * radius[1] + 1, 2 * radius[2] + 1, noisy.nc, 2 * radius[3] + 1};
    patch_rows(noisy, radius, row_offsets, row_shifts);
    row_length = patch_shape.nx;
    const std::int32_t n = patch_size();
    weight_scale = chi_square_quantile(n, static_cast<double>(params.quantile));
    acceptance_threshold = chi_square_quantile(n, normal_quantile(params.pvalue));
    inverse_variance = params.kernel == kernel_kind::fast;
}

reference_work::reference_work(const pass_context& ctx) { patch_sum.alloc(ctx.patch_shape); }

void reference_work::reset() {
    patch_sum.fill(0.0f);
    weight_sum = 0.0f;
    sq_weight_sum = 0.0f;
}

double patch_distance(const pass_context& ctx, const position& r, const position& r2) {
    const float* est = ctx.prev_estimate.data.data();
    const float* var = ctx.prev_variance.data.data();
    const std::int32_t i0 = ctx.index_of(r);
    const std::int32_t j0 = ctx.index_of(r2);
    double distance = 0.0;
    for (const std::int32_t off : ctx.row_offsets) {
        const float* e = est + (i0 + off);
        const float* e2 = est + (j0 + off);
        const float* v = var + (i0 + off);
        const float* v2 = var + (j0 + off);
        for (std::int32_t x = 0; x < ctx.row_length; ++x) {
            const float diff = e2[x] - e[x];
            const float term = ((diff * diff) * (v2[x] + v[x])) / (v2[x] * v[x]);
            distance += static_cast<double>(term);
        }
    }
    return distance;
}

void add_reference_patch(const pass_context& ctx, reference_work& work, float max_weight,
                         const position& r) {
    const float* noisy = ctx.noisy.data.data();
    const std::int32_t i0 = ctx.index_of(r);
    float* sum = work.patch_sum.data.data();
    for (const std::int32_t off : ctx.row_offsets) {
        const float* src = noisy + (i0 + off);
        for (std::int32_t x = 0; x < ctx.row_length; ++x) {
            sum[x] += max_weight * src[x];
        }
        sum += ctx.row_length;
    }
    work.sq_weight_sum += max_weight * max_weight * ctx.sigma * ctx.sigma;
    work.weight_sum += max_weight;
}

void accumulate_candidates(const pass_context& ctx, reference_work& work, const position& r) {
    index_range range[4];
    constexpr std::int32_t window_axis[4] = {0, 1, 2, 4};
    for (int a = 0; a < 4; ++a) {
        range[a] = candidate_range(r[a], ctx.window[window_axis[a]], ctx.extent[a], ctx.radius[a]);
    }
    const double weight_scale = ctx.weight_scale;
    const double sigma = ctx.sigma;
    float max_weight = 0.0f;
    position r2;
    for (r2[3] = range[3].lo; r2[3] <= range[3].hi; ++r2[3]) {
        for (r2[2] = range[2].lo; r2[2] <= range[2].hi; ++r2[2]) {
            for (r2[1] = range[1].lo; r2[1] <= range[1].hi; ++r2[1]) {
                for (r2[0] = range[0].lo; r2[0] <= range[0].hi; ++r2[0]) {
                    if (r2 == r) {
                        continue;  // the reference enters once, below
                    }
                    const double d = patch_distance(ctx, r, r2);
                    const double w = std::exp(-0.25 * d / weight_scale);
                    if (w > max_weight) {
                        max_weight = static_cast<float>(w);
                    }
                    add_weighted_patch(ctx, work.patch_sum, ctx.index_of(r2), w);
                    work.sq_weight_sum = static_cast<float>(
                        static_cast<double>(work.sq_weight_sum) + w * w * sigma * sigma);
                    work.weight_sum = static_cast<float>(static_cast<double>(work.weight_sum) + w);
                }
            }
        }
    }
    add_reference_patch(ctx, work, max_weight, r);
}

reference_outcome test_estimate(const pass_context& ctx, reference_work& work, const position& r) {
    if (!(work.weight_sum > ctx.params.min_weight_sum)) {
        return {};
    }
    for (float& value : work.patch_sum.data) {
        value /= work.weight_sum;
    }
    const float* est = ctx.prev_estimate.data.data();
    const float* var = ctx.prev_variance.data.data();
    const float* patch = work.patch_sum.data.data();
    const std::int32_t i0 = ctx.index_of(r);
    double stat = 0.0;
    for (const std::int32_t off : ctx.row_offsets) {
        const float* e = est + (i0 + off);
        const float* v = var + (i0 + off);
        for (std::int32_t x = 0; x < ctx.row_length; ++x) {
            const double diff = static_cast<double>(patch[x] - e[x]);
            stat += (diff * diff) / static_cast<double>(v[x]);
        }
        patch += ctx.row_length;
    }
    // A NaN statistic rejects as well.
    if (stat / static_cast<double>(ctx.acceptance_threshold) < 6.0) {
        return {patch_verdict::accepted, work.sq_weight_sum / (work.weight_sum * work.weight_sum)};
    }
    return {patch_verdict::rejected, 0.0f};
}

reference_outcome estimate_reference(const pass_context& ctx, reference_work& work,
                                     const position& r) {
    work.reset();
    accumulate_candidates(ctx, work, r);
    return test_estimate(ctx, work, r);
}

void add_to_sums(const pass_context& ctx, const reference_work& work,
                 const reference_outcome& outcome, const position& r, sum_images& sums) {
    if (outcome.verdict == patch_verdict::no_estimate) {
        return;
    }
    const bool accepted = outcome.verdict == patch_verdict::accepted;
    const float* est = ctx.prev_estimate.data.data();
    const float* var = ctx.prev_variance.data.data();
    const float* patch = work.patch_sum.data.data();
    float* sum_e = sums.sum_estimate.data.data();
    float* sum_v = sums.sum_variance.data.data();
    float* count = sums.contrib_count.data.data();
    const std::int32_t i0 = ctx.index_of(r);
    for (const std::int32_t off : ctx.row_offsets) {
        for (std::int32_t x = 0; x < ctx.row_length; ++x) {
            const std::int32_t p = i0 + off + x;
            const float e = accepted ? patch[x] : est[p];
            const float v = accepted ? outcome.variance : var[p];
#pragma omp atomic
            sum_e[p] += e;
#pragma omp atomic
            sum_v[p] += v;
#pragma omp atomic
            count[p] += 1.0f;
        }
        patch += ctx.row_length;
    }
}

void aggregate_estimate(const pass_context& ctx, reference_work& work, const position& r,
                        sum_images& sums) {
    const reference_outcome outcome = test_estimate(ctx, work, r);
    add_to_sums(ctx, work, outcome, r, sums);
}

}  // namespace qv
