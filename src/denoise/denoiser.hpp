// The iterative patch-based denoiser: its parameters, the iteration driver and
// the per-pixel update that closes each iteration.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "array/array.hpp"

namespace qv {

// Five per-axis integers, indexed x = 0, y = 1, z = 2, c = 3, t = 4.
using axis5 = std::array<std::int32_t, 5>;

// How the estimation pass computes each reference position: `exact` with
// the core's own arithmetic (double sums, libm's exp, the same bits on every
// CPU); `fast` in float32 with fused multiply-adds and a polynomial exp, its
// own bits on each instruction set (fast_estimate.hpp).
enum class kernel_kind : std::uint8_t { exact, fast };

struct denoise_params {
    axis5 patch_radius = {3, 3, 0, 0, 0};
    axis5 search_axis = {1, 1, 1, 0, 1};
    std::int32_t max_iter = 4;
    float pvalue = 0.01f;
    float quantile = 0.0f;  // always derived from pvalue
    float variance_floor = 1e-8f;
    float min_weight_factor = 1e-6f;
    float min_weight_sum = 1e-6f;
    float renoise_factor = 0.0f;
    // Largest search-window half-size per axis; -1 leaves the axis to the
    // schedule of search_window. An axis with a reach of r >= 0 is searched
    // r pixels to each side from the first iteration on (x and y: at most
    // the doubling half-size).
    axis5 search_reach = {-1, -1, -1, -1, -1};
    kernel_kind kernel = kernel_kind::exact;
};

struct run_monitor;

struct denoiser {
    // Called with this denoiser once before the first iteration and once
    // after every iteration, in list order.
    std::vector<std::function<void(denoiser*)>> iteration_callbacks;
    denoise_params params;
    // Optional: progress counters and a cancel flag shared with an observer;
    // run throws run_cancelled once the flag is set.
    run_monitor* monitor = nullptr;
    // Optional: receives the per-pixel variance of the final estimate.
    array* variance_out = nullptr;
    // Optional: receives a copy of the estimate after every iteration, so
    // that one run yields the results of every shorter run (the window of
    // iteration k does not depend on the number of iterations).
    std::vector<array>* iterates_out = nullptr;
    // Derive the contribution counts from the geometry of the passes instead
    // of keeping a count image: one image less, the same bits.
    bool counts_from_coverage = false;

    // Denoises image (the noisy input) in place; sigma is the noise standard
    // deviation.
    void run(array& image, float sigma);

 private:
    friend class iteration_run;
    void call_iteration_callbacks();
};

// Closed-form approximation of the inverse error function.
[[nodiscard]] double inverse_erf(double x);

// sqrt(2) * inverse_erf(1 - 2 p), with p clamped to [0, 1]: the normal
// quantile of order 1 - p, as the kernel's acceptance test derives it.
[[nodiscard]] double normal_quantile(double pvalue);

// The stored test threshold of a p-value: sqrt(2) * inverse_erf((1 - p) * 2 - 1)
// in double, narrowed to float.
[[nodiscard]] float quantile_from_pvalue(float pvalue);

// Search-window half-sizes of iteration k for an image of the given shape.
[[nodiscard]] axis5 search_window(const shape& s, const axis5& search_axis, std::int32_t k);

// The window of search_window with the reaches of `reach` applied (entries
// >= 0), for an image of shape s.
[[nodiscard]] axis5 reach_window(const shape& s, const axis5& search_axis, const axis5& reach,
                                 std::int32_t k);

// Relative work of iteration k: candidate positions per reference position.
[[nodiscard]] double iteration_work(const shape& s, const axis5& patch_radius, const axis5& window);

// Builds a denoiser for an image of shape s from the caller's arguments,
// checking them in a fixed order; throws std::invalid_argument with the
// message of the first check that fails.
[[nodiscard]] denoiser make_denoiser(const shape& s, const std::vector<std::int32_t>& patch_radius,
                                     const std::vector<std::int32_t>& search_axis,
                                     std::int32_t max_iter, float pvalue, float sigma,
                                     float renoise_factor);

// Divides the sums by the counts and merges the result with the previous
// estimate (and, with renoise_variance > 0, with the noisy image).
void update_pass(const array& noisy, float renoise_variance, const array& prev_estimate,
                 const array& prev_variance, array& sum_estimate, array& sum_variance,
                 const array& contrib_count, const denoise_params& params);

}  // namespace qv
