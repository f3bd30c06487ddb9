#include "noise/block_residuals.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace qv {

void block_summaries::resize(std::size_t blocks) {
    mean.assign(blocks, 0.0);
    energy.assign(blocks, 0.0);
    wide.assign(blocks, 0.0);
}

namespace {

// Adds each run of `side` consecutive values to its block's sum, in order.
void add_to_blocks(const float* values, int side, std::int64_t blocks, double* sums) {
    for (std::int64_t b = 0; b < blocks; ++b) {
        double s = sums[b];
        for (int i = 0; i < side; ++i) {
            s += values[b * side + i];
        }
        sums[b] = s;
    }
}

void divide(double* sums, std::int64_t blocks, double n) {
    for (std::int64_t b = 0; b < blocks; ++b) {
        sums[b] /= n;
    }
}

// Sums of the pixels of consecutive blocks split by the level class of their
// local mean: per block and class, the count and the sums of the local mean,
// the squared residual and the squared wide residual. The class of a pixel
// is the number of `levels` (ascending) at or below the local mean it is
// sorted by (0 for NaN); the local mean summed may weigh the pixels
// otherwise (see plane_residuals::own_mean).
class level_parts {
 public:
    static constexpr int fields = 4;

    level_parts(const std::vector<double>& levels, std::int64_t blocks)
        : levels_(levels),
          classes_(static_cast<std::int64_t>(levels.size()) + 1),
          sums_(static_cast<std::size_t>(blocks * classes_ * fields), 0.0) {}

    [[nodiscard]] bool active() const { return !levels_.empty(); }

    // Adds a run of pixels to block `b` (and, when `side` > 0, each further
    // `side` pixels to the next block), but those where `left_out` (when
    // given) is non-zero.
    // `sort_by` is the local mean that gives the class, `mean` the one summed.
    void add(const float* sort_by, const float* mean, const float* energy, const float* wide,
             std::int64_t width, int side, std::int64_t b, const std::uint8_t* left_out = nullptr) {
        const std::int64_t run = side > 0 ? side : width;
        for (std::int64_t start = 0; start < width; start += run, ++b) {
            double* block = sums_.data() + b * classes_ * fields;
            for (std::int64_t x = start; x < start + run; ++x) {
                if (left_out != nullptr && left_out[x] != 0) {
                    continue;
                }
                const double m = sort_by[x];
                std::int64_t c = 0;
                for (const double level : levels_) {
                    c += m >= level ? 1 : 0;
                }
                double* s = block + c * fields;
                s[0] += 1.0;
                s[1] += mean[x];
                s[2] += energy[x];
                s[3] += wide[x];
            }
        }
    }

    // Appends (block, count, mean, energy, wide) of every non-empty class of
    // the blocks, numbered from `first`, to `out`, and clears the sums.
    void flush(std::int64_t first, std::vector<double>& out) {
        const std::int64_t blocks = static_cast<std::int64_t>(sums_.size()) / (classes_ * fields);
        for (std::int64_t b = 0; b < blocks; ++b) {
            for (std::int64_t c = 0; c < classes_; ++c) {
                double* s = sums_.data() + (b * classes_ + c) * fields;
                if (s[0] > 0.0) {
                    out.insert(out.end(), {static_cast<double>(first + b), s[0], s[1] / s[0],
                                           s[2] / s[0], s[3] / s[0]});
                }
            }
        }
        std::fill(sums_.begin(), sums_.end(), 0.0);
    }

 private:
    const std::vector<double>& levels_;
    std::int64_t classes_;
    std::vector<double> sums_;
};

// Concatenates the parts of every band, in band order.
std::vector<double> joined(const std::vector<std::vector<double>>& bands) {
    std::size_t size = 0;
    for (const auto& b : bands) {
        size += b.size();
    }
    std::vector<double> out;
    out.reserve(size);
    for (const auto& b : bands) {
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// ---------------------------------------------------------------------------
// High-pass residuals of single planes

// Weights of the centre value of a cubic least-squares fitted to 5 points.
constexpr std::array<double, 5> cubic_fit = {-3.0 / 35.0, 12.0 / 35.0, 17.0 / 35.0, 12.0 / 35.0,
                                             -3.0 / 35.0};
// The fourth difference; divided by sqrt(70) it has unit sum of squares.
constexpr std::array<double, 5> fourth_difference = {1.0, -4.0, 6.0, -4.0, 1.0};
constexpr int half_taps = 2;
// The widest filter reaches 2 taps of 2 pixels to each side.
constexpr int spatial_reach = 4;

// Five taps `stride` pixels apart, applied along Y and then along X.
struct separable_filter {
    std::array<float, 5> taps;
    int stride;
};

separable_filter cubic_filter(int stride, bool squared = false) {
    separable_filter f{{}, stride};
    for (std::size_t i = 0; i < cubic_fit.size(); ++i) {
        const double c = cubic_fit[i];
        f.taps[i] = static_cast<float>(squared ? c * c : c);
    }
    return f;
}

separable_filter fourth_filter(int stride, bool squared) {
    separable_filter f{{}, stride};
    for (std::size_t i = 0; i < fourth_difference.size(); ++i) {
        const double c = fourth_difference[i] / std::sqrt(70.0);
        f.taps[i] = static_cast<float>(squared ? c * c : c);
    }
    return f;
}

// The filter along Y at image row y, over the whole width of the plane.
void filter_column_wise(const float* plane, std::int64_t nx, std::int64_t y,
                        const separable_filter& f, std::vector<float>& out) {
    std::fill(out.begin(), out.end(), 0.0f);
    for (int i = 0; i < static_cast<int>(f.taps.size()); ++i) {
        const float* src = plane + (y + (i - half_taps) * f.stride) * nx;
        const float w = f.taps[static_cast<std::size_t>(i)];
        for (std::int64_t x = 0; x < nx; ++x) {
            out[static_cast<std::size_t>(x)] += w * src[x];
        }
    }
}

// The filter along X of a filtered row, for the first `width` pixels of the
// region `spatial_reach` in from the left edge.
void filter_row_wise(const std::vector<float>& row, std::int64_t width, const separable_filter& f,
                     std::vector<float>& out) {
    std::fill(out.begin(), out.begin() + width, 0.0f);
    for (int i = 0; i < static_cast<int>(f.taps.size()); ++i) {
        const float* src = row.data() + spatial_reach + (i - half_taps) * f.stride;
        const float w = f.taps[static_cast<std::size_t>(i)];
        for (std::int64_t x = 0; x < width; ++x) {
            out[static_cast<std::size_t>(x)] += w * src[x];
        }
    }
}

// The filters, the constants of the residuals and the buffers of one thread.
class plane_residuals {
 public:
    plane_residuals(spatial_residual kind, std::int64_t nx, std::int64_t width)
        : kind_(kind),
          nx_(nx),
          width_(width),
          column_(static_cast<std::size_t>(nx)),
          near_(static_cast<std::size_t>(width)),
          far_(static_cast<std::size_t>(width)),
          energy_(static_cast<std::size_t>(width)),
          wide_(static_cast<std::size_t>(width)),
          mean_(static_cast<std::size_t>(width)),
          own_mean_(static_cast<std::size_t>(width)) {}

    // Squared residual, squared wide residual and local mean along image row
    // y; with `own_mean`, also the local mean with the residual's own weights.
    void row(const float* plane, std::int64_t y, bool own_mean = false) {
        apply(plane, y, weights_, mean_);
        if (kind_ == spatial_residual::fourth_difference) {
            apply(plane, y, fourth_near_, near_);
            apply(plane, y, fourth_far_, far_);
            for (std::int64_t x = 0; x < width_; ++x) {
                const auto i = static_cast<std::size_t>(x);
                energy_[i] = near_[i] * near_[i];
                wide_[i] = far_[i] * far_[i];
            }
            return;
        }
        apply(plane, y, cubic_near_, near_);
        apply(plane, y, cubic_far_, far_);
        const float* centre = plane + y * nx_ + spatial_reach;
        for (std::int64_t x = 0; x < width_; ++x) {
            const auto i = static_cast<std::size_t>(x);
            const float r = (centre[x] - near_[i]) * scale_;
            const float w = (centre[x] - far_[i]) * scale_;
            energy_[i] = r * r;
            wide_[i] = w * w;
        }
        if (own_mean) {
            apply(plane, y, cubic_weights_, own_mean_);
            for (std::int64_t x = 0; x < width_; ++x) {
                const auto i = static_cast<std::size_t>(x);
                own_mean_[i] = (own_mean_[i] + centre_weight_ * centre[x]) * scale_ * scale_;
            }
        }
    }

    [[nodiscard]] const float* energy() const { return energy_.data(); }
    [[nodiscard]] const float* wide() const { return wide_.data(); }
    [[nodiscard]] const float* mean() const { return mean_.data(); }
    // The local mean that weighs the pixels as the residual's expected
    // square does: for the fourth difference `mean`, for the cubic fit
    // (delta - k)^2 / norm (from `row` with `own_mean`). The block means keep
    // `mean` for both: a block's mean depends on the weights only through
    // what crosses its edges; a pixel's does not. Pixels are sorted into
    // levels by `mean` for both: the cubic fit's own mean is mostly the
    // centre pixel, whose noise is most of the residual's (correlation
    // 0.87), so sorting by it would sort by the residual's noise.
    [[nodiscard]] const float* own_mean() const {
        return kind_ == spatial_residual::fourth_difference ? mean_.data() : own_mean_.data();
    }

 private:
    void apply(const float* plane, std::int64_t y, const separable_filter& f,
               std::vector<float>& out) {
        filter_column_wise(plane, nx_, y, f, column_);
        filter_row_wise(column_, width_, f, out);
    }

    // With kernel k (centre k0), E[r^2] = sum((delta - k)^2 v) and
    // (delta - k)^2 = (1 - 2 k0) delta + k^2: the residual is scaled by the
    // square root of the weight sum `norm`, and its local mean weighs the
    // pixels by (delta - k)^2 / norm.
    static double cubic_centre() { return 1.0 - 2.0 * cubic_fit[half_taps] * cubic_fit[half_taps]; }
    static double cubic_norm() {
        double sum_sq = 0.0;
        for (const double c : cubic_fit) {
            sum_sq += c * c;
        }
        return cubic_centre() + sum_sq * sum_sq;
    }

    spatial_residual kind_;
    std::int64_t nx_;
    std::int64_t width_;
    separable_filter cubic_near_ = cubic_filter(1);
    separable_filter cubic_far_ = cubic_filter(2);
    separable_filter fourth_near_ = fourth_filter(1, false);
    separable_filter fourth_far_ = fourth_filter(2, false);
    // The local mean of the fourth difference: its squared taps (unit sum).
    separable_filter weights_ = fourth_filter(1, true);
    // That of the cubic fit: k^2, the centre added.
    separable_filter cubic_weights_ = cubic_filter(1, true);
    float centre_weight_ = static_cast<float>(cubic_centre());
    float scale_ = static_cast<float>(1.0 / std::sqrt(cubic_norm()));
    std::vector<float> column_, near_, far_, energy_, wide_, mean_, own_mean_;
};

// ---------------------------------------------------------------------------
// Differences of neighbouring frames

// Largest shift along Y and X that a block of the later frame is matched over.
constexpr int motion_reach = 1;
constexpr int shift_count = (2 * motion_reach + 1) * (2 * motion_reach + 1);
constexpr int no_shift = shift_count / 2;
// The wide residual sums 3 x 3 differences: they must exist around the block.
constexpr int temporal_margin = motion_reach + 1;

struct frame_pair {
    const float* earlier;
    const float* later;
    std::int64_t nx;
    // Pixels of each frame whose differences are left out of the parts; null
    // for none.
    const std::uint8_t* earlier_left_out = nullptr;
    const std::uint8_t* later_left_out = nullptr;
};

// Reusable buffers for the differences of one band of blocks.
struct band_buffers {
    std::vector<float> difference, rows, wide, energy, mean;
    std::vector<std::uint8_t> left_out;

    explicit band_buffers(std::int64_t side, std::int64_t width)
        : difference(static_cast<std::size_t>((side + 2) * (width + 2))),
          rows(static_cast<std::size_t>(width + 2)),
          wide(static_cast<std::size_t>(width)),
          energy(static_cast<std::size_t>(width)),
          mean(static_cast<std::size_t>(width)),
          left_out(static_cast<std::size_t>(width)) {}
};

// Adds to the sums of `blocks` blocks of side `side`, whose corner is at
// (row0, col0) of the region `temporal_margin` in from the edges, the squared
// wide residual of the difference at `shift`, and when asked the squared
// residual and the local mean (both or neither), and the level parts of the
// one block (`blocks` 1) as block `part_block` of `parts`.
void add_pair_band(const frame_pair& fp, std::int64_t row0, std::int64_t col0, int side,
                   std::int64_t blocks, int shift, band_buffers& buf, double* wide, double* energy,
                   double* mean, level_parts* parts = nullptr, std::int64_t part_block = 0) {
    const std::int64_t dy = shift / (2 * motion_reach + 1) - motion_reach;
    const std::int64_t dx = shift % (2 * motion_reach + 1) - motion_reach;
    const std::int64_t width = blocks * side;
    const std::int64_t stride = width + 2;
    const float half = static_cast<float>(std::sqrt(0.5));
    const float ninth = static_cast<float>(1.0 / 9.0);
    // Differences over the band and a ring of one pixel around it.
    for (std::int64_t u = 0; u < side + 2; ++u) {
        const std::int64_t y = row0 + u + motion_reach;
        const float* a = fp.earlier + y * fp.nx + col0 + motion_reach;
        const float* b = fp.later + (y + dy) * fp.nx + col0 + motion_reach + dx;
        float* d = buf.difference.data() + u * stride;
        for (std::int64_t v = 0; v < stride; ++v) {
            d[v] = (b[v] - a[v]) * half;
        }
    }
    for (int i = 0; i < side; ++i) {
        const float* d0 = buf.difference.data() + i * stride;
        const float* d1 = d0 + stride;
        const float* d2 = d1 + stride;
        float* rows = buf.rows.data();
        for (std::int64_t v = 0; v < stride; ++v) {
            rows[v] = d0[v] + d1[v] + d2[v];
        }
        for (std::int64_t x = 0; x < width; ++x) {
            const float box = rows[x] + rows[x + 1] + rows[x + 2];
            buf.wide[static_cast<std::size_t>(x)] = box * box * ninth;
        }
        add_to_blocks(buf.wide.data(), side, blocks, wide);
        if (energy == nullptr) {
            continue;
        }
        const std::int64_t y = row0 + i + temporal_margin;
        const float* a = fp.earlier + y * fp.nx + col0 + temporal_margin;
        const float* b = fp.later + (y + dy) * fp.nx + col0 + temporal_margin + dx;
        for (std::int64_t x = 0; x < width; ++x) {
            const auto j = static_cast<std::size_t>(x);
            buf.energy[j] = d1[x + 1] * d1[x + 1];
            buf.mean[j] = 0.5f * (a[x] + b[x]);
        }
        add_to_blocks(buf.energy.data(), side, blocks, energy);
        add_to_blocks(buf.mean.data(), side, blocks, mean);
        if (parts != nullptr) {
            const std::uint8_t* left_out = nullptr;
            if (fp.earlier_left_out != nullptr) {
                // A difference is left out where either of its pixels is.
                const std::uint8_t* ea = fp.earlier_left_out + (a - fp.earlier);
                const std::uint8_t* lb = fp.later_left_out + (b - fp.later);
                for (std::int64_t x = 0; x < width; ++x) {
                    buf.left_out[static_cast<std::size_t>(x)] = ea[x] | lb[x];
                }
                left_out = buf.left_out.data();
            }
            parts->add(buf.mean.data(), buf.mean.data(), buf.energy.data(), buf.wide.data(), width,
                       0, part_block, left_out);
        }
    }
}

// The first shift with the lowest value (the first NaN if there is one).
int lowest(const double* values) {
    int best = 0;
    for (int s = 1; s < shift_count && !std::isnan(values[best]); ++s) {
        if (values[s] < values[best] || std::isnan(values[s])) {
            best = s;
        }
    }
    return best;
}

// The pair whose best shifts pair k takes: two before, or two after for the
// first two pairs; -1 when it does not exist.
std::int64_t reference_pair(std::int64_t k, std::int64_t pairs) {
    const std::int64_t other = k >= 2 ? k - 2 : k + 2;
    return other < pairs ? other : -1;
}

}  // namespace

block_summaries spatial_block_summaries(const plane_stack& planes, spatial_residual kind, int block,
                                        int threads) {
    std::vector<double> no_parts;
    return spatial_block_parts(planes, kind, block, threads, {}, no_parts);
}

block_summaries spatial_block_parts(const plane_stack& planes, spatial_residual kind, int block,
                                    int threads, const std::vector<double>& levels,
                                    std::vector<double>& parts, const std::uint8_t* left_out) {
    block_summaries out;
    parts.clear();
    const std::int64_t ny = planes.ny - 2 * spatial_reach;
    const std::int64_t nx = planes.nx - 2 * spatial_reach;
    if (ny <= 0 || nx <= 0) {
        return out;
    }
    const int side = static_cast<int>(std::min<std::int64_t>({block, ny, nx}));
    if (side < 2) {
        return out;
    }
    out.side = side;
    const std::int64_t by = ny / side, bx = nx / side;
    out.resize(static_cast<std::size_t>(planes.count * by * bx));
    const std::int64_t bands = planes.count * by;
    const double n = static_cast<double>(side) * side;
    std::vector<std::vector<double>> band_parts(levels.empty() ? 0
                                                               : static_cast<std::size_t>(bands));
#pragma omp parallel num_threads(std::max(threads, 1))
    {
        plane_residuals residuals(kind, planes.nx, bx * side);
        level_parts split(levels, bx);
#pragma omp for schedule(dynamic)
        for (std::int64_t band = 0; band < bands; ++band) {
            const float* plane = planes.plane(band / by);
            const std::int64_t first = (band % by) * side + spatial_reach;
            const auto at = static_cast<std::size_t>(band * bx);
            for (std::int64_t y = first; y < first + side; ++y) {
                residuals.row(plane, y, split.active());
                add_to_blocks(residuals.energy(), side, bx, out.energy.data() + at);
                add_to_blocks(residuals.wide(), side, bx, out.wide.data() + at);
                add_to_blocks(residuals.mean(), side, bx, out.mean.data() + at);
                if (split.active()) {
                    const std::uint8_t* skip =
                        left_out == nullptr
                            ? nullptr
                            : left_out + (band / by * planes.ny + y) * planes.nx + spatial_reach;
                    split.add(residuals.mean(), residuals.own_mean(), residuals.energy(),
                              residuals.wide(), bx * side, side, 0, skip);
                }
            }
            for (auto* sums : {&out.energy, &out.wide, &out.mean}) {
                divide(sums->data() + at, bx, n);
            }
            if (split.active()) {
                split.flush(static_cast<std::int64_t>(at),
                            band_parts[static_cast<std::size_t>(band)]);
            }
        }
    }
    parts = joined(band_parts);
    return out;
}

block_summaries temporal_block_summaries(const plane_stack& planes, std::int64_t frames, int block,
                                         int threads) {
    std::vector<double> no_parts;
    return temporal_block_parts(planes, frames, block, threads, {}, no_parts);
}

block_summaries temporal_block_parts(const plane_stack& planes, std::int64_t frames, int block,
                                     int threads, const std::vector<double>& levels,
                                     std::vector<double>& parts, const std::uint8_t* left_out) {
    block_summaries out;
    parts.clear();
    const std::int64_t ny = planes.ny - 2 * temporal_margin;
    const std::int64_t nx = planes.nx - 2 * temporal_margin;
    if (frames < 2 || ny <= 0 || nx <= 0 || planes.count % frames != 0) {
        return out;
    }
    const int side = static_cast<int>(std::min<std::int64_t>({block, ny, nx}));
    if (side < 2) {
        return out;
    }
    out.side = side;
    const std::int64_t pairs = frames - 1;
    const std::int64_t per_frame = planes.count / frames;
    const std::int64_t by = ny / side, bx = nx / side;
    const std::int64_t per_pair = per_frame * by * bx;
    out.resize(static_cast<std::size_t>(pairs * per_pair));
    const double n = static_cast<double>(side) * side;
    const std::int64_t plane_size = planes.ny * planes.nx;
    auto pair_of = [&](std::int64_t k, std::int64_t p) {
        return frame_pair{
            planes.plane(k * per_frame + p), planes.plane((k + 1) * per_frame + p), planes.nx,
            left_out == nullptr ? nullptr : left_out + (k * per_frame + p) * plane_size,
            left_out == nullptr ? nullptr : left_out + ((k + 1) * per_frame + p) * plane_size};
    };

    // The pairs whose best shifts another pair takes.
    std::vector<std::int64_t> referenced;
    for (std::int64_t k = 0; k < pairs; ++k) {
        const std::int64_t other = reference_pair(k, pairs);
        if (other >= 0 &&
            std::find(referenced.begin(), referenced.end(), other) == referenced.end()) {
            referenced.push_back(other);
        }
    }
    // Best shift per block of the referenced pairs, indexed like the output.
    std::vector<std::uint8_t> best(static_cast<std::size_t>(pairs * per_pair), no_shift);
    const auto reference_bands = static_cast<std::int64_t>(referenced.size()) * per_frame * by;
    const std::int64_t bands = pairs * per_frame * by;
    std::vector<std::vector<double>> band_parts(levels.empty() ? 0
                                                               : static_cast<std::size_t>(bands));
#pragma omp parallel num_threads(std::max(threads, 1))
    {
        band_buffers buf(side, bx * side);
        level_parts split(levels, bx);
        std::vector<double> wide(static_cast<std::size_t>(shift_count * bx));
#pragma omp for schedule(dynamic)
        for (std::int64_t band = 0; band < reference_bands; ++band) {
            const std::int64_t k = referenced[static_cast<std::size_t>(band / (per_frame * by))];
            const std::int64_t p = band / by % per_frame;
            const std::int64_t row0 = band % by * side;
            std::fill(wide.begin(), wide.end(), 0.0);
            for (int s = 0; s < shift_count; ++s) {
                add_pair_band(pair_of(k, p), row0, 0, side, bx, s, buf, wide.data() + s * bx,
                              nullptr, nullptr);
            }
            std::array<double, shift_count> per_block{};
            const std::int64_t at = k * per_pair + (p * by + band % by) * bx;
            for (std::int64_t b = 0; b < bx; ++b) {
                for (int s = 0; s < shift_count; ++s) {
                    per_block[static_cast<std::size_t>(s)] =
                        wide[static_cast<std::size_t>(s * bx + b)] / n;
                }
                best[static_cast<std::size_t>(at + b)] =
                    static_cast<std::uint8_t>(lowest(per_block.data()));
            }
        }
#pragma omp for schedule(dynamic)
        for (std::int64_t band = 0; band < bands; ++band) {
            const std::int64_t k = band / (per_frame * by);
            const std::int64_t p = band / by % per_frame;
            const std::int64_t row0 = band % by * side;
            const std::int64_t at = band * bx;
            const std::int64_t other = reference_pair(k, pairs);
            for (std::int64_t b = 0; b < bx; ++b) {
                const auto i = static_cast<std::size_t>(at + b);
                // The same block of the referenced pair.
                const auto same = static_cast<std::size_t>(at + b + (other - k) * per_pair);
                const int shift = other < 0 ? no_shift : best[same];
                add_pair_band(pair_of(k, p), row0, b * side, side, 1, shift, buf,
                              out.wide.data() + i, out.energy.data() + i, out.mean.data() + i,
                              split.active() ? &split : nullptr, b);
            }
            for (auto* sums : {&out.energy, &out.wide, &out.mean}) {
                divide(sums->data() + at, bx, n);
            }
            if (split.active()) {
                split.flush(at, band_parts[static_cast<std::size_t>(band)]);
            }
        }
    }
    parts = joined(band_parts);
    return out;
}

}  // namespace qv
