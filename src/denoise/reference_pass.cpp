// The straightforward estimation pass, kept as the reference that the fast
// pass (estimation_pass.cpp) must reproduce bit for bit with one thread. Its
// threads share the t positions and add into the sum images atomically, so
// with several threads and several t positions the last bits of the sums
// depend on thread timing.
#include <array>
#include <cstdint>

#include "denoise/kernel.hpp"

namespace qv {

namespace {

// Positions lo, lo + step, ... up to hi, along one axis.
struct axis_range {
    std::int32_t lo = 0;
    std::int32_t hi = -1;
    std::int32_t step = 1;
};

// Ranges along x, y, z, t; the loops nest t, z, y, x from outer to inner.
using region = std::array<axis_range, 4>;

// Every position whose patch lies inside the image, along one axis.
axis_range full_range(std::int32_t extent, std::int32_t radius) {
    if (extent > 1) {
        return {radius, extent - radius - 1, 1};
    }
    return {0, extent - 1, 1};
}

std::int32_t grid_step(int axis, std::int32_t extent, std::int32_t radius) {
    if (radius <= 0) {
        return 1;
    }
    switch (axis) {
        case 2:  // z: planes are coarse, subsample only long stacks
            return std::int64_t{extent} > 4 * std::int64_t{radius} + 1 ? radius + 1 : 1;
        case 3:  // t: the patches of neighbouring grid frames overlap
            return extent > radius ? radius : 1;
        default:
            return extent > radius ? radius + 1 : 1;
    }
}

region interior_region(const pass_context& ctx) {
    region g;
    for (int a = 0; a < 4; ++a) {
        g[a] = full_range(ctx.extent[a], ctx.radius[a]);
        g[a].step = grid_step(a, ctx.extent[a], ctx.radius[a]);
    }
    return g;
}

// The far plane of one axis, visited densely, so that the last pixels along
// that axis are covered even when the grid stops short of them.
region border_region(const pass_context& ctx, int axis) {
    region g;
    for (int a = 0; a < 4; ++a) {
        g[a] = full_range(ctx.extent[a], ctx.radius[a]);
    }
    const std::int32_t last = ctx.extent[axis] - ctx.radius[axis] - 1;
    g[axis] = {last, last, 1};
    return g;
}

bool has_border_region(const pass_context& ctx, int axis) {
    return ctx.radius[axis] > 1 && ctx.extent[axis] > 1;
}

bool has_patch_position(const pass_context& ctx) {
    for (int a = 0; a < 4; ++a) {
        const axis_range r = full_range(ctx.extent[a], ctx.radius[a]);
        if (r.hi < r.lo) {
            return false;
        }
    }
    return true;
}

void visit_reference(const pass_context& ctx, reference_work& work, const position& r,
                     sum_images& sums) {
    const reference_outcome outcome = estimate_reference(ctx, work, r);
    add_to_sums(ctx, work, outcome, r, sums);
}

void visit_row(const pass_context& ctx, const region& g, std::int32_t y, std::int32_t z,
               std::int32_t t, reference_work& work, sum_images& sums) {
    for (std::int32_t x = g[0].lo; x <= g[0].hi; x += g[0].step) {
        visit_reference(ctx, work, position{x, y, z, t}, sums);
    }
}

void visit_frame(const pass_context& ctx, const region& g, std::int32_t t, reference_work& work,
                 sum_images& sums) {
    for (std::int32_t z = g[2].lo; z <= g[2].hi; z += g[2].step) {
        for (std::int32_t y = g[1].lo; y <= g[1].hi; y += g[1].step) {
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
        for (std::int32_t t = g[3].lo; t <= g[3].hi; t += g[3].step) {
            visit_frame(ctx, g, t, work, sums);
        }
    }
}

// The t border has a single t position: its rows are shared instead.
void run_region_over_rows(const pass_context& ctx, const region& g, sum_images& sums) {
    const std::int32_t t = g[3].lo;
#pragma omp parallel
    {
        reference_work work(ctx);
#pragma omp for collapse(2) schedule(dynamic, 1)
        for (std::int32_t z = g[2].lo; z <= g[2].hi; ++z) {
            for (std::int32_t y = g[1].lo; y <= g[1].hi; ++y) {
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
