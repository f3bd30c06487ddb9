#include "denoise/coverage.hpp"

#include <algorithm>

#include "denoise/regions.hpp"

namespace qv {

namespace {

// How many positions of `r` have a patch (radius `radius`) covering each
// coordinate 0 .. extent-1.
std::vector<float> axis_cover(const axis_range& r, std::int32_t extent, std::int32_t radius) {
    std::vector<float> cover(static_cast<std::size_t>(extent), 0.0f);
    for (std::int64_t g = r.lo; g <= r.hi; g += r.step) {
        const std::int64_t lo = std::max<std::int64_t>(0, g - radius);
        const std::int64_t hi = std::min<std::int64_t>(extent - 1, g + radius);
        for (std::int64_t c = lo; c <= hi; ++c) {
            cover[static_cast<std::size_t>(c)] += 1.0f;
        }
    }
    return cover;
}

}  // namespace

pass_coverage::pass_coverage(const denoise_params& params, const array& noisy,
                             std::int32_t row_extent) {
    const axis5 no_window = {0, 0, 0, 0, 0};
    pass_context ctx(params, noisy, 1.0f, no_window, noisy, noisy);
    if (row_extent > 0) {
        ctx.extent[0] = row_extent;
    }
    extent_ = ctx.extent;
    radius_ = ctx.radius;
    for (const region& g : pass_regions(ctx)) {
        std::array<std::vector<float>, 4> per_axis;
        for (int a = 0; a < 4; ++a) {
            per_axis[a] = axis_cover(g.axes[a], extent_[a], radius_[a]);
        }
        cover_.push_back(std::move(per_axis));
    }
}

void pass_coverage::set_missing(const std::vector<std::array<std::int32_t, 5>>& missing) {
    missing_rows_.clear();
    for (const auto& r : missing) {
        for (std::int32_t t = r[3] - radius_[3]; t <= r[3] + radius_[3]; ++t) {
            for (std::int32_t z = r[2] - radius_[2]; z <= r[2] + radius_[2]; ++z) {
                for (std::int32_t y = r[1] - radius_[1]; y <= r[1] + radius_[1]; ++y) {
                    const std::int64_t row =
                        y + std::int64_t{extent_[1]} * (z + std::int64_t{extent_[2]} * t);
                    missing_rows_[row].push_back(r[0] - radius_[0]);
                }
            }
        }
    }
}

void pass_coverage::row_counts(std::int32_t y, std::int32_t z, std::int32_t t, float* out) const {
    const std::int32_t nx = extent_[0];
    std::fill(out, out + nx, 0.0f);
    for (const auto& c : cover_) {
        const float w = c[1][static_cast<std::size_t>(y)] * c[2][static_cast<std::size_t>(z)] *
                        c[3][static_cast<std::size_t>(t)];
        if (w == 0.0f) {
            continue;
        }
        const float* cx = c[0].data();
        for (std::int32_t x = 0; x < nx; ++x) {
            out[x] += w * cx[x];
        }
    }
    const auto found =
        missing_rows_.find(y + std::int64_t{extent_[1]} * (z + std::int64_t{extent_[2]} * t));
    if (found == missing_rows_.end()) {
        return;
    }
    for (const std::int32_t x0 : found->second) {
        for (std::int32_t x = x0; x <= x0 + 2 * radius_[0]; ++x) {
            out[x] -= 1.0f;
        }
    }
}

}  // namespace qv
