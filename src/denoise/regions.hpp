// Where an estimation pass looks: the reference positions it visits (a
// subsampled interior grid, then one dense far plane per axis) and the
// candidate window around one reference. Shared by the pass and by the
// straightforward reference pass the tests compare it with.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "denoise/kernel.hpp"

namespace qv {

// Positions lo, lo + step, ... up to hi, along one axis.
struct axis_range {
    std::int32_t lo = 0;
    std::int32_t hi = -1;
    std::int32_t step = 1;

    [[nodiscard]] std::int64_t count() const noexcept {
        return hi < lo ? 0 : (std::int64_t{hi} - lo) / step + 1;
    }
};

// A block of reference positions visited with t outermost, then z, y and x.
struct region {
    std::array<axis_range, 4> axes;  // x, y, z, t
};

// Every position whose patch lies inside the image, along one axis.
inline axis_range full_range(std::int32_t extent, std::int32_t radius) {
    if (extent > 1) {
        return {radius, extent - radius - 1, 1};
    }
    return {0, extent - 1, 1};
}

inline std::int32_t grid_step(int axis, std::int32_t extent, std::int32_t radius) {
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

inline region interior_region(const pass_context& ctx) {
    region g;
    for (int a = 0; a < 4; ++a) {
        g.axes[a] = full_range(ctx.extent[a], ctx.radius[a]);
        g.axes[a].step = grid_step(a, ctx.extent[a], ctx.radius[a]);
    }
    return g;
}

// The far plane of one axis, visited densely, so that the last pixels along
// that axis are covered even when the grid stops short of them.
inline region border_region(const pass_context& ctx, int axis) {
    region g;
    for (int a = 0; a < 4; ++a) {
        g.axes[a] = full_range(ctx.extent[a], ctx.radius[a]);
    }
    const std::int32_t last = ctx.extent[axis] - ctx.radius[axis] - 1;
    g.axes[axis] = {last, last, 1};
    return g;
}

// The regions an estimation pass visits, in visiting order; none when no
// patch fits in the image.
[[nodiscard]] std::vector<region> pass_regions(const pass_context& ctx);

inline bool has_border_region(const pass_context& ctx, int axis) {
    return ctx.radius[axis] > 1 && ctx.extent[axis] > 1;
}

// False when a patch is longer than its axis: then there is no position.
inline bool has_patch_position(const pass_context& ctx) {
    for (int a = 0; a < 4; ++a) {
        const axis_range r = full_range(ctx.extent[a], ctx.radius[a]);
        if (r.hi < r.lo) {
            return false;
        }
    }
    return true;
}

// Candidate range along one axis: the window around the reference, clipped
// to the positions whose patch lies inside the image.
struct index_range {
    std::int32_t lo;
    std::int32_t hi;
};

inline index_range candidate_range(std::int32_t center, std::int32_t half_size, std::int32_t extent,
                                   std::int32_t radius) {
    const std::int64_t lo = std::max<std::int64_t>(radius, std::int64_t{center} - half_size);
    const std::int64_t hi =
        std::min<std::int64_t>(std::int64_t{extent} - radius - 1, std::int64_t{center} + half_size);
    return {static_cast<std::int32_t>(lo), static_cast<std::int32_t>(hi)};
}

}  // namespace qv
