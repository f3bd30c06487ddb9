// Parameters of the denoiser: the caller's arguments checked and stored, the
// test threshold derived from the p-value, and the search-window schedule.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "denoise/denoiser.hpp"

namespace qv {

double inverse_erf(double x) {
    const double pi = 4.0 * std::atan(1.0);
    const double a = ((pi - 3.0) * 8.0) / ((4.0 - pi) * (pi * 3.0));
    const double l = std::log(1.0 - x * x);
    const double s = 2.0 / (a * pi) + l * 0.5;
    const double r = std::sqrt(std::sqrt(s * s - l / a) - s);
    return x > 0.0 ? r : -r;
}

double normal_quantile(double pvalue) {
    const double p = std::clamp(pvalue, 0.0, 1.0);
    return std::sqrt(2.0) * inverse_erf(1.0 - 2.0 * p);
}

float quantile_from_pvalue(float pvalue) {
    const double p = pvalue;
    return static_cast<float>(std::sqrt(2.0) * inverse_erf((1.0 - p) * 2.0 - 1.0));
}

namespace {

// 2^k along x and y; from k = 31 on it no longer fits in an int, and any
// half-size of at least the axis length covers the whole axis, so it is
// clamped to the axis length there.
std::int32_t doubling_half_size(std::int32_t k, std::int32_t extent) {
    const double h = std::pow(2.0, static_cast<double>(k));
    constexpr double int_limit = 2147483648.0;
    return h < int_limit ? static_cast<std::int32_t>(h) : extent;
}

}  // namespace

axis5 search_window(const shape& s, const axis5& search_axis, std::int32_t k) {
    axis5 window = {0, 0, 0, 0, 0};
    if (s.nx > 1 && search_axis[0] == 1) {
        window[0] = doubling_half_size(k, s.nx);
    }
    if (s.ny > 1 && search_axis[1] == 1) {
        window[1] = doubling_half_size(k, s.ny);
    }
    if (s.nz > 1 && search_axis[2] == 1) {
        window[2] = k;
    }
    if (s.nt > 1 && search_axis[4] == 1) {
        window[4] = std::max(0, k - 2);
    }
    return window;
}

axis5 reach_window(const shape& s, const axis5& search_axis, const axis5& reach, std::int32_t k) {
    axis5 window = search_window(s, search_axis, k);
    const std::int32_t extent[5] = {s.nx, s.ny, s.nz, s.nc, s.nt};
    for (int a = 0; a < 5; ++a) {
        if (a == 3 || reach[a] < 0) {
            continue;
        }
        if (extent[a] <= 1) {
            window[a] = 0;
        } else if (a < 2) {
            window[a] = std::min(window[a], reach[a]);
        } else {
            window[a] = reach[a];
        }
    }
    return window;
}

double iteration_work(const shape& s, const axis5& patch_radius, const axis5& window) {
    const std::int32_t extent[5] = {s.nx, s.ny, s.nz, s.nc, s.nt};
    double work = 1.0;
    for (int a = 0; a < 5; ++a) {
        if (a == 3) {
            continue;
        }
        const double positions =
            std::max<std::int64_t>(1, std::int64_t{extent[a]} - 2 * std::int64_t{patch_radius[a]});
        work *= std::min<double>(2.0 * window[a] + 1.0, positions);
    }
    return work;
}

namespace {

// The radii and search flags as read from the caller's lists, before any
// check of their values.
struct axis_arguments {
    std::int32_t rx = 0, ry = 0, rz = 0, rt = 0;
    std::int32_t sz = 0, st = 0;
};

constexpr std::size_t list_length = 5;

// Reads the lists; an axis of size 1 gets radius 0 along x, y and t (z is
// read always and ignored later), and searches only along z and t when asked.
axis_arguments read_axis_lists(const shape& s, const std::vector<std::int32_t>& patch_radius,
                               const std::vector<std::int32_t>& search_axis) {
    if (patch_radius.size() < list_length) {
        throw std::invalid_argument("patch_radius must have 5 entries");
    }
    if (search_axis.size() < list_length) {
        throw std::invalid_argument("search_axis must have 5 entries");
    }
    axis_arguments a;
    a.rx = s.nx != 1 ? patch_radius[0] : 0;
    a.ry = s.ny != 1 ? patch_radius[1] : 0;
    a.rz = patch_radius[2];
    a.rt = s.nt != 1 ? patch_radius[4] : 0;
    a.sz = (s.nz != 1 && search_axis[2] != 0) ? 1 : 0;
    a.st = (s.nt != 1 && search_axis[4] != 0) ? 1 : 0;
    return a;
}

// The kernel reads whole patches: an axis longer than one pixel must hold at
// least one patch.
bool patch_fits(std::int32_t extent, std::int32_t radius) {
    return extent <= 1 || std::int64_t{extent} >= 2 * std::int64_t{radius} + 1;
}

void check_radii(const shape& s, const axis5& radius) {
    if (!patch_fits(s.nx, radius[0]) || !patch_fits(s.ny, radius[1]) ||
        !patch_fits(s.nz, radius[2]) || !patch_fits(s.nt, radius[4])) {
        throw std::invalid_argument("patch radius too large for image");
    }
}

}  // namespace

denoiser make_denoiser(const shape& s, const std::vector<std::int32_t>& patch_radius,
                       const std::vector<std::int32_t>& search_axis, std::int32_t max_iter,
                       float pvalue, float sigma, float renoise_factor) {
    const axis_arguments a = read_axis_lists(s, patch_radius, search_axis);
    denoiser d;

    if (max_iter < 1) {
        throw std::invalid_argument("max_iter must be > 0");
    }
    d.params.max_iter = max_iter;

    if (a.rx < 0 || a.ry < 0 || (s.nz != 1 && a.rz < 0) || a.rt < 0) {
        throw std::invalid_argument("patch radius cannot be negative");
    }
    d.params.patch_radius = {a.rx, a.ry, s.nz == 1 ? 0 : a.rz, 0, a.rt};
    check_radii(s, d.params.patch_radius);
    d.params.search_axis = {1, 1, a.sz, 0, a.st};

    // Written so that NaN fails as well.
    if (!(pvalue >= 0.0f && pvalue <= 1.0f)) {
        throw std::invalid_argument("pvalue must be in range [0, 1]");
    }
    d.params.pvalue = pvalue;
    d.params.quantile = quantile_from_pvalue(pvalue);

    if (!(renoise_factor >= 0.0f)) {
        throw std::invalid_argument("renoise factor must be >= 0");
    }
    d.params.renoise_factor = renoise_factor;

    if (!std::isfinite(sigma)) {
        throw std::invalid_argument("sigma must be finite");
    }
    return d;
}

}  // namespace qv
