// Poisson-Gaussian calibration: windows on a regular grid give (intensity,
// noise variance) points, a least-squares line through them is refined by
// Gaussian reweighting, one channel after the other.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "noise/noise_model.hpp"

namespace qv {

namespace {

// Determinants at or below this magnitude mean the points fix no line.
constexpr double singular_determinant = 1e-16;
// Width of the refit weights, in units of the starting line's rms residual.
constexpr double refit_width = 3.0;
constexpr int max_refit_iterations = 50;

// Inclusive coordinate range along one axis.
struct axis_range {
    std::int64_t first = 0;
    std::int64_t last = -1;
};

axis_range clipped(std::int64_t first, std::int64_t last, std::int32_t extent) {
    return {std::max<std::int64_t>(first, 0), std::min<std::int64_t>(last, extent - 1)};
}

// Window of one grid node, clipped to the image on every axis.
struct node_window {
    axis_range x, y, z, t;
};

// Along x the window is not centred: x - step + 1 .. x + step. Along y, z
// and t it is g - step .. g + step.
node_window window_of(const array& image, std::int64_t step, std::int64_t x, std::int64_t y,
                      std::int64_t z, std::int64_t t) {
    return {clipped(x - step + 1, x + step, image.nx), clipped(y - step, y + step, image.ny),
            clipped(z - step, z + step, image.nz), clipped(t - step, t + step, image.nt)};
}

// Number of grid nodes (multiples of step) below extent.
std::int64_t node_count(std::int32_t extent, std::int64_t step) {
    return extent <= 0 ? 0 : (static_cast<std::int64_t>(extent) + step - 1) / step;
}

// Least-squares sums, accumulated point after point.
struct fit_sums {
    double sw = 0.0;
    double swx = 0.0;
    double swxx = 0.0;
    double swy = 0.0;
    double swxy = 0.0;

    void add(const calibration_point& p) {
        sw += 1.0;
        swx += p.intensity;
        swxx += p.intensity * p.intensity;
        swy += p.variance;
        swxy += p.intensity * p.variance;
    }
};

// Scratch lists of one thread, reused node after node; reserved once for the
// largest window so that measuring never allocates.
struct window_lists {
    std::vector<double> raw;        // image values of the window
    std::vector<double> residual;   // pseudo-residuals at the same positions
    std::vector<double> deviation;  // |residual - median residual|

    void reserve(std::size_t n) {
        raw.reserve(n);
        residual.reserve(n);
        deviation.reserve(n);
    }
};

std::size_t largest_window(const array& image, std::int64_t step) {
    const auto span = [](std::int64_t width, std::int32_t extent) {
        return static_cast<std::size_t>(std::min<std::int64_t>(width, extent));
    };
    return span(2 * step, image.nx) * span(2 * step + 1, image.ny) * span(2 * step + 1, image.nz) *
           span(2 * step + 1, image.nt);
}

// Lists A (raw values) and B (residuals) of channel c over the window,
// t outermost and x innermost.
void gather_window(const array& image, const array& residuals, std::int32_t c, const node_window& w,
                   window_lists& lists) {
    lists.raw.clear();
    lists.residual.clear();
    const std::int64_t nx = image.nx, ny = image.ny, nz = image.nz, nc = image.nc;
    for (std::int64_t t = w.t.first; t <= w.t.last; ++t) {
        for (std::int64_t z = w.z.first; z <= w.z.last; ++z) {
            for (std::int64_t y = w.y.first; y <= w.y.last; ++y) {
                const std::int64_t row = nx * (y + ny * (z + nz * (c + nc * t)));
                for (std::int64_t x = w.x.first; x <= w.x.last; ++x) {
                    const auto i = static_cast<std::size_t>(row + x);
                    lists.raw.push_back(image.data[i]);
                    lists.residual.push_back(residuals.data[i]);
                }
            }
        }
    }
}

// (1.4826 * median absolute deviation)^2 of the residual list, in double.
double window_robust_variance(window_lists& lists) {
    const double m = median_in_place(lists.residual);
    lists.deviation.clear();
    for (const double b : lists.residual) {
        lists.deviation.push_back(std::fabs(b - m));
    }
    const double scale = mad_to_sigma * median_in_place(lists.deviation);
    return scale * scale;
}

// The grid nodes of one plane, numbered t outermost, then z, then y, with x
// innermost.
struct node_grid {
    std::int64_t step;
    std::int64_t nx, ny, nz, nt;  // nodes along each axis

    node_grid(const array& image, std::int64_t step_)
        : step(step_),
          nx(node_count(image.nx, step_)),
          ny(node_count(image.ny, step_)),
          nz(node_count(image.nz, step_)),
          nt(node_count(image.nt, step_)) {}

    [[nodiscard]] std::int64_t size() const { return nx * ny * nz * nt; }

    [[nodiscard]] node_window window(const array& image, std::int64_t node) const {
        const std::int64_t x = node % nx;
        const std::int64_t y = (node / nx) % ny;
        const std::int64_t z = (node / (nx * ny)) % nz;
        const std::int64_t t = node / (nx * ny * nz);
        return window_of(image, step, x * step, y * step, z * step, t * step);
    }
};

std::int64_t window_size(const node_window& w) {
    const auto len = [](const axis_range& r) {
        return std::max<std::int64_t>(r.last - r.first + 1, 0);
    };
    return len(w.x) * len(w.y) * len(w.z) * len(w.t);
}

// A window of 2 values or fewer gives no point.
bool measured(const node_window& w) { return window_size(w) > 2; }

// The point of every node with a measured window, in node order.
void measure_nodes(const array& image, const array& residuals, std::int32_t c,
                   const node_grid& grid, std::vector<calibration_point>& points) {
    const std::size_t window_capacity = largest_window(image, grid.step);
    const std::int64_t n = grid.size();
    std::exception_ptr failure;
#pragma omp parallel
    {
        window_lists lists;
        bool ready = true;
        try {
            lists.reserve(window_capacity);
        } catch (...) {
            ready = false;
#pragma omp critical(qv_calibration_failure)
            if (!failure) {
                failure = std::current_exception();
            }
        }
#pragma omp for schedule(static)
        for (std::int64_t node = 0; node < n; ++node) {
            const node_window w = grid.window(image, node);
            if (!ready || !measured(w)) {
                continue;
            }
            gather_window(image, residuals, c, w, lists);
            points[static_cast<std::size_t>(node)] = {median_in_place(lists.raw),
                                                      window_robust_variance(lists)};
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// The diagnostic of a fit whose points determine no line.
std::string singular_fit_text(double det, const plane_measurement& m) {
    const char* format = "error\n d=%f\n sw=%f\n swx=%f\n swxx=%f\n N=%f";
    const int n = std::snprintf(nullptr, 0, format, det, m.sw, m.swx, m.swxx, 0.0);
    std::string text(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, det, m.sw, m.swx, m.swxx, 0.0);
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    return text;
}

}  // namespace

plane_measurement noise_model::measure_plane(const array& image, const array& residuals,
                                             std::int32_t c) const {
    plane_measurement out;
    if (image.data.empty()) {
        return out;
    }
    // A step below 1 would never advance along the grid.
    const node_grid grid(image, std::max<std::int32_t>(step, 1));
    out.points.resize(static_cast<std::size_t>(grid.size()));
    measure_nodes(image, residuals, c, grid, out.points);
    // Kept points and sums in node order, whatever thread measured a node:
    // the result has the same bits for every thread count.
    fit_sums sums;
    std::size_t kept = 0;
    for (std::int64_t node = 0; node < grid.size(); ++node) {
        if (!measured(grid.window(image, node))) {
            continue;
        }
        const calibration_point p = out.points[static_cast<std::size_t>(node)];
        out.points[kept++] = p;
        if (!std::isnan(p.intensity) && !std::isnan(p.variance)) {
            sums.add(p);
        }
    }
    out.points.resize(kept);
    out.sw = sums.sw;
    out.swx = sums.swx;
    out.swxx = sums.swxx;
    out.swy = sums.swy;
    out.swxy = sums.swxy;
    return out;
}

void noise_model::calibrate(const array& image) {
    calibrate(image, [](std::int32_t, const std::string& text) {
        std::printf("%s", text.c_str());
        // No newline ends the text: flush so that it is not held back until
        // some later output or the end of the process.
        std::fflush(stdout);
    });
}

void noise_model::calibrate(
    const array& image,
    const std::function<void(std::int32_t channel, const std::string&)>& singular) {
    const array residuals = pseudo_residuals(image);
    const auto channels = static_cast<std::size_t>(std::max<std::int32_t>(image.nc, 0));
    gain.resize(channels, 0.0f);
    offset.resize(channels, 0.0f);
    for (std::int32_t c = 0; c < image.nc; ++c) {
        plane_measurement m = measure_plane(image, residuals, c);
        const double det = m.swxx * m.sw - m.swx * m.swx;
        if (std::fabs(det) > singular_determinant) {
            double intercept = (m.swy * m.swxx - m.swxy * m.swx) / det;
            double slope = (m.swxy * m.sw - m.swy * m.swx) / det;
            refine_fit(std::move(m.points), intercept, slope, refit_width);
            gain[static_cast<std::size_t>(c)] = static_cast<float>(slope);
            offset[static_cast<std::size_t>(c)] = static_cast<float>(intercept);
        } else {
            singular(c, singular_fit_text(det, m));
            gain[static_cast<std::size_t>(c)] = 1.0f;
            offset[static_cast<std::size_t>(c)] = 0.0f;
        }
    }
}

void noise_model::refine_fit(std::vector<calibration_point> points, double& intercept,
                             double& slope, double a) const {
    if (points.empty()) {
        return;
    }
    const auto n = static_cast<double>(points.size());
    double p = intercept;
    double q = slope;

    double squared = 0.0;
    for (const calibration_point& pt : points) {
        const double r = pt.variance - (q * pt.intensity + p);
        squared += r * r;
    }
    const double e0 = (1.0 / n) * squared;
    if (!(std::isfinite(e0) && e0 > 0.0)) {
        return;
    }
    // e0 is a mean of squared residuals, so a * sqrt(e0) is the weight width
    // in the residuals' own units and the refit does not depend on the
    // intensity scale.
    const double k = -1.0 / (2.0 * a * a * e0);

    for (int iteration = 0; iteration < max_refit_iterations; ++iteration) {
        double s_w = 0.0, s_x = 0.0, s_y = 0.0, s_xx = 0.0, s_xy = 0.0, e_sum = 0.0;
        for (const calibration_point& pt : points) {
            const double r = pt.variance - (q * pt.intensity + p);
            const double w = std::exp(k * (r * r));
            if (std::isnan(w)) {
                continue;
            }
            s_w += w;
            s_x += w * pt.intensity;
            s_y += w * pt.variance;
            s_xx += w * (pt.intensity * pt.intensity);
            s_xy += w * pt.intensity * pt.variance;
            e_sum += r * r;
        }
        const double d = s_xx * s_w - s_x * s_x;
        if (std::fabs(d) > singular_determinant) {
            p = (s_xx * s_y - s_xy * s_x) / d;
            q = (s_xy * s_w - s_y * s_x) / d;
        }
        const double e = e_sum / n;
        if (e == 0.0 || std::isnan(e)) {
            break;
        }
    }
    intercept = p;
    slope = q;
}

}  // namespace qv
