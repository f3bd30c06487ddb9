// The straightforward estimation pass, kept as the reference that the fast
// pass (estimation_pass.cpp) must reproduce bit for bit with one thread. Its
// threads share the t positions and add into the sum images atomically, so
// with several threads and several t positions the last bits of the sums
// depend on thread timing.
#include <array>
#include <cstdint>

#include "denoise/kernel.hpp"
#include "denoise/regions.hpp"

namespace qv {

namespace {

void visit_reference(const pass_context& ctx, reference_work& work, const position& r,
                     sum_images& sums) {
    const reference_outcome outcome = estimate_reference(ctx, work, r);
    add_to_sums(ctx, work, outcome, r, sums);
}

void visit_row(const pass_context& ctx, const region& g, std::int32_t y, std::int32_t z,
               std::int32_t t, reference_work& work, sum_images& sums) {
    for (std::int32_t x = g.axes[0].lo; x <= g.axes[0].hi; x += g.axes[0].step) {
        visit_reference(ctx, work, position{x, y, z, t}, sums);
    }
}

void visit_frame(const pass_context& ctx, const region& g, std::int32_t t, reference_work& work,
                 sum_images& sums) {
    for (std::int32_t z = g.axes[2].lo; z <= g.axes[2].hi; z += g.axes[2].step) {
        for (std::int32_t y = g.axes[1].lo; y <= g.axes[1].hi; y += g.axes[1].step) {
            visit_row(ctx, g, y, z, t, work, sums);
        }
    }
}

// The t positions are shared among the threads, one per chunk.
void run_region_over_t(const pass_context& ctx, const region& g, sum_images& sums) {
#pragma omp parallel
    {
        reference_work work(ctx);
#pragma omp for schedule(dynamic, 1)
        for (std::int32_t t = g.axes[3].lo; t <= g.axes[3].hi; t += g.axes[3].step) {
            visit_frame(ctx, g, t, work, sums);
        }
    }
}

// The t border has a single t position: its rows are shared instead.
void run_region_over_rows(const pass_context& ctx, const region& g, sum_images& sums) {
    const std::int32_t t = g.axes[3].lo;
#pragma omp parallel
    {
        reference_work work(ctx);
#pragma omp for collapse(2) schedule(dynamic, 1)
        for (std::int32_t z = g.axes[2].lo; z <= g.axes[2].hi; ++z) {
            for (std::int32_t y = g.axes[1].lo; y <= g.axes[1].hi; ++y) {
                visit_row(ctx, g, y, z, t, work, sums);
            }
        }
    }
}

}  // namespace

void reference_estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                               const axis5& window, const array& prev_estimate,
                               const array& prev_variance, array& sum_estimate, array& sum_variance,
                               array& contrib_count) {
    if (noisy.size() == 0) {
        return;
    }
    const pass_context ctx(params, noisy, sigma, window, prev_estimate, prev_variance);
    // A patch longer than its axis fits nowhere: there is no position to visit.
    if (!has_patch_position(ctx)) {
        return;
    }
    sum_images sums{sum_estimate, sum_variance, contrib_count};
    run_region_over_t(ctx, interior_region(ctx), sums);
    for (int axis = 0; axis < 3; ++axis) {
        if (has_border_region(ctx, axis)) {
            run_region_over_t(ctx, border_region(ctx, axis), sums);
        }
    }
    if (has_border_region(ctx, 3)) {
        run_region_over_rows(ctx, border_region(ctx, 3), sums);
    }
}

}  // namespace qv
