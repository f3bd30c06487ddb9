#include "denoise/geometry.hpp"

#include <stdexcept>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/regions.hpp"

namespace qv {

namespace {

// Index of an axis (x, y, z, t) among a position's four coordinates.
int position_axis(int axis) {
    if (axis < 0 || axis > 4 || axis == 3) {
        throw std::invalid_argument("axis must be one of x, y, z, t (0, 1, 2, 4)");
    }
    return axis == 4 ? 3 : axis;
}

}  // namespace

std::vector<std::int32_t> axis_windows(int axis, std::int32_t extent, bool searched,
                                       std::int32_t iterations, std::int32_t reach) {
    std::vector<std::int32_t> out;
    if (axis == 3) {
        return std::vector<std::int32_t>(static_cast<std::size_t>(std::max(iterations, 0)), 0);
    }
    position_axis(axis);
    shape s{1, 1, 1, 1, 1};
    const std::int32_t e = std::max(extent, 1);
    (axis == 0 ? s.nx : axis == 1 ? s.ny : axis == 2 ? s.nz : s.nt) = e;
    axis5 search = {1, 1, 0, 0, 0};
    search[static_cast<std::size_t>(axis)] = searched ? 1 : 0;
    axis5 reach5 = {-1, -1, -1, -1, -1};
    reach5[static_cast<std::size_t>(axis)] = reach;
    for (std::int32_t k = 0; k < iterations; ++k) {
        out.push_back(reach_window(s, search, reach5, k)[static_cast<std::size_t>(axis)]);
    }
    return out;
}

std::int32_t axis_grid_step(int axis, std::int32_t extent, std::int32_t radius) {
    if (axis == 3) {
        return 1;
    }
    return grid_step(position_axis(axis), extent, radius);
}

std::int64_t axis_halo(int axis, std::int32_t extent, std::int32_t radius, bool searched,
                       std::int32_t iterations, std::int32_t reach) {
    if (axis == 3 || extent <= 1) {
        return 0;
    }
    const std::vector<std::int32_t> windows =
        axis_windows(axis, extent, searched, iterations, reach);
    std::int64_t depth = 0;
    for (const std::int32_t w : windows) {
        depth += 2 * std::int64_t{radius} + w;
    }
    if (radius > 1 && !windows.empty() && windows.front() == 0) {
        depth += 1;
    }
    return depth;
}

bool far_end_uncovered(int axis, std::int32_t extent, std::int32_t radius) {
    const int a = position_axis(axis);
    if (a == 3 || radius != 1) {
        return false;
    }
    // Positions radius .. extent - radius - 1 by the grid step; with radius 1
    // there is no far plane, and a patch covers its position +- 1.
    const std::int32_t step = grid_step(a, extent, radius);
    if (extent < 3) {
        return false;
    }
    const std::int32_t last = radius + (extent - 2 * radius - 1) / step * step;
    return last + radius < extent - 1;
}

}  // namespace qv
