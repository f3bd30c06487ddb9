#include <algorithm>
#include <cmath>

#include "noise/noise_model.hpp"

namespace qv {

namespace {

// Sum and count of the in-image neighbours of (x, y, z, t) in channel c,
// accumulated t outermost, x innermost, the centre excluded.
struct neighbour_sum {
    float sum = 0.0f;
    float count = 0.0f;
};

neighbour_sum sum_neighbours(const array& a, std::int32_t x, std::int32_t y, std::int32_t z,
                             std::int32_t c, std::int32_t t) {
    neighbour_sum ns;
    const std::int32_t t0 = std::max(t - 1, 0), t1 = std::min(t + 1, a.nt - 1);
    const std::int32_t z0 = std::max(z - 1, 0), z1 = std::min(z + 1, a.nz - 1);
    const std::int32_t y0 = std::max(y - 1, 0), y1 = std::min(y + 1, a.ny - 1);
    const std::int32_t x0 = std::max(x - 1, 0), x1 = std::min(x + 1, a.nx - 1);
    for (std::int32_t tt = t0; tt <= t1; ++tt) {
        for (std::int32_t zz = z0; zz <= z1; ++zz) {
            for (std::int32_t yy = y0; yy <= y1; ++yy) {
                const std::int32_t row = a.nx * (yy + a.ny * (zz + a.nz * (c + a.nc * tt)));
                for (std::int32_t xx = x0; xx <= x1; ++xx) {
                    if (tt == t && zz == z && yy == y && xx == x) {
                        continue;
                    }
                    ns.sum += a.data[static_cast<std::size_t>(row + xx)];
                    ns.count += 1.0f;
                }
            }
        }
    }
    return ns;
}

}  // namespace

array noise_model::pseudo_residuals(const array& image) const {
    array out;
    out.alloc(image).fill(0.0f);
    for (std::int32_t t = 0; t < image.nt; ++t) {
        for (std::int32_t c = 0; c < image.nc; ++c) {
            for (std::int32_t z = 0; z < image.nz; ++z) {
                for (std::int32_t y = 0; y < image.ny; ++y) {
                    const std::int32_t row =
                        image.nx * (y + image.ny * (z + image.nz * (c + image.nc * t)));
                    for (std::int32_t x = 0; x < image.nx; ++x) {
                        const neighbour_sum ns = sum_neighbours(image, x, y, z, c, t);
                        if (ns.count < 1.0f) {
                            continue;
                        }
                        const float n = ns.count;
                        const float v = image.data[static_cast<std::size_t>(row + x)];
                        out.data[static_cast<std::size_t>(row + x)] =
                            (n * v - ns.sum) / std::sqrt(n * n + n);
                    }
                }
            }
        }
    }
    return out;
}

}  // namespace qv
