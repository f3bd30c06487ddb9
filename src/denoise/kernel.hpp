// The patch-based estimation kernel: one pass of weighted patch means over a
// search window, an acceptance test, and aggregation into the sum images.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"

namespace qv {

// A reference or candidate position (x, y, z, t); a patch spans all channels.
using position = std::array<std::int32_t, 4>;

// What one pass derives once from its inputs, shared read-only by all threads.
struct pass_context {
    const denoise_params& params;
    const array& noisy;
    const array& prev_estimate;
    const array& prev_variance;
    float sigma = 0.0f;
    axis5 window = {};
    position extent = {};  // nx, ny, nz, nt
    position radius = {};  // px, py, pz, pt
    // Patch shape (2px+1, 2py+1, 2pz+1, nc, 2pt+1); its element order is t
    // offset, channel, z, y, x, x fastest.
    shape patch_shape;
    // Offset of the first element of each patch row (the x run) from the
    // index of the patch's position, in patch element order.
    std::vector<std::int32_t> row_offsets;
    // The same rows' offsets (0, dy, dz, dt) as positions.
    std::vector<position> row_shifts;
    std::int32_t row_length = 0;
    // Fisher's chi-square quantiles: the candidate weight scale T (from the
    // stored quantile) and the acceptance threshold T2 (from the p-value).
    float weight_scale = 0.0f;
    float acceptance_threshold = 0.0f;
    // The fast kernel reads inverse variances: prev_variance then holds
    // 1 / variance (see iteration_run::next).
    bool inverse_variance = false;

    pass_context(const denoise_params& params, const array& noisy, float sigma, const axis5& window,
                 const array& prev_estimate, const array& prev_variance);

    [[nodiscard]] std::int32_t patch_size() const noexcept {
        return row_length * static_cast<std::int32_t>(row_offsets.size());
    }
    // Linear index of the patch origin (x, y, z, channel 0, t).
    [[nodiscard]] std::int32_t index_of(const position& r) const noexcept {
        return r[0] + noisy.nx * (r[1] + noisy.ny * (r[2] + noisy.nz * (noisy.nc * r[3])));
    }
};

// The weighted patch sum of one reference position, private to a thread.
struct reference_work {
    array patch_sum;
    float weight_sum = 0.0f;
    float sq_weight_sum = 0.0f;

    explicit reference_work(const pass_context& ctx);
    void reset();
};

// What the acceptance test decided for one reference position.
enum class patch_verdict { no_estimate, accepted, rejected };

struct reference_outcome {
    patch_verdict verdict = patch_verdict::no_estimate;
    // sq_weight_sum / weight_sum^2, added at every pixel of an accepted patch.
    float variance = 0.0f;
};

// The three images a pass adds into.
struct sum_images {
    array& sum_estimate;
    array& sum_variance;
    array& contrib_count;
};

// Distance of the patches at r and r2 on the previous estimate, each squared
// difference scaled by the sum of the inverse variances.
[[nodiscard]] double patch_distance(const pass_context& ctx, const position& r, const position& r2);

// Adds the reference patch with the largest candidate weight.
void add_reference_patch(const pass_context& ctx, reference_work& work, float max_weight,
                         const position& r);

// Adds every candidate of the search window around r (never r itself) with its
// weight, then the reference patch.
void accumulate_candidates(const pass_context& ctx, reference_work& work, const position& r);

// Normalises the patch sum into the patch estimate and tests it against the
// previous estimate.
[[nodiscard]] reference_outcome test_estimate(const pass_context& ctx, reference_work& work,
                                              const position& r);

// Adds the outcome of reference r to the sum images with atomic additions:
// the accepted patch estimate, or the previous values of the patch's pixels.
void add_to_sums(const pass_context& ctx, const reference_work& work,
                 const reference_outcome& outcome, const position& r, sum_images& sums);

// The estimate of one reference position, up to the acceptance test: the
// per-reference work that does not touch the sum images.
[[nodiscard]] reference_outcome estimate_reference(const pass_context& ctx, reference_work& work,
                                                   const position& r);

// test_estimate followed by add_to_sums.
void aggregate_estimate(const pass_context& ctx, reference_work& work, const position& r,
                        sum_images& sums);

// One estimation pass; adds into sum_estimate, sum_variance, contrib_count.
// Uses every thread of the team and gives the same bits for any thread count:
// those of reference_estimation_pass on one thread (see estimation_pass.cpp).
void estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                     const axis5& window, const array& prev_estimate, const array& prev_variance,
                     array& sum_estimate, array& sum_variance, array& contrib_count);

struct run_monitor;

// What a pass reports beyond its sums, and how it may leave out the counts.
struct pass_hooks {
    // Counts the reference positions visited; the pass stops early, with
    // incomplete sums, once its cancel flag is set.
    run_monitor* monitor = nullptr;
    // When set, the pass leaves contrib_count alone (it may be empty) and
    // lists instead its visits of reference positions without an estimate
    // (no candidate weight) as (x, y, z, t, region index), sorted and
    // without repeats: with the coverage of the pass (coverage.hpp) they
    // give the counts. A position visited by two regions is listed twice.
    bool list_missing = false;
    std::vector<std::array<std::int32_t, 5>> missing;
    // When > 0, the image's row length (nx) where the arrays' rows are longer
    // (row_pitch.hpp): positions and windows keep within it.
    std::int32_t row_extent = 0;
    // When false, the fast kernel visits the frames outermost even where it
    // would visit them inside each grid row (estimation_pass.cpp): the same
    // sums, in more time.
    bool frames_inside_rows = true;
};

// estimation_pass with hooks (see pass_hooks).
void estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                     const axis5& window, const array& prev_estimate, const array& prev_variance,
                     array& sum_estimate, array& sum_variance, array& contrib_count,
                     pass_hooks& hooks);

// The straightforward pass: estimate_reference and atomic add_to_sums per
// reference position, threads sharing the t positions. Kept as the reference
// for estimation_pass; its sums depend on thread timing with several threads.
void reference_estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                               const axis5& window, const array& prev_estimate,
                               const array& prev_variance, array& sum_estimate, array& sum_variance,
                               array& contrib_count);

}  // namespace qv
