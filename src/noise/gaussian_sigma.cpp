// The Gaussian noise level of estimate_gaussian_sigma, with threads and in
// two passes over the image: the pseudo-residuals row by row, each median
// selected among the few values within a bracket of its ranks that a sample
// of rows gives, and the values below and within the bracket counted and
// kept as the pass computes them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "noise/noise_model.hpp"

namespace qv {

namespace {

// Residuals a median's bracket is chosen from (whole rows spread over the
// image), about this many; images of fewer than `bracketed` elements take
// the core's medians whole.
constexpr std::int64_t sample_size = 1 << 16;
constexpr std::int64_t bracketed = 4 * sample_size;
// Half-width of the bracket around a median's rank in the sample, in
// standard deviations of that rank's position (sqrt(m) / 2 for m values).
constexpr double bracket_width = 5.0;

// The values of a list below and within a bracket [lo, hi], for a median.
struct bracket {
    float lo = 0.0f;
    float hi = 0.0f;
    std::int64_t below = 0;
    std::vector<float> inside;

    // Counts `values` below lo and keeps those within [lo, hi]: counted
    // without branches, and kept from the runs of `run` values that hold
    // some.
    void add(const float* values, std::size_t count) {
        constexpr std::size_t run = 8;
        const float first = lo, last = hi;
        const auto in = [first, last](float x) {
            return static_cast<std::int32_t>(x >= first) & static_cast<std::int32_t>(x <= last);
        };
        std::int32_t under = 0;
        for (std::size_t i = 0; i < count; ++i) {
            under += static_cast<std::int32_t>(values[i] < first);
        }
        below += under;
        for (std::size_t start = 0; start < count; start += run) {
            const std::size_t end = std::min(start + run, count);
            std::int32_t any = 0;
            for (std::size_t i = start; i < end; ++i) {
                any |= in(values[i]);
            }
            if (any != 0) {
                for (std::size_t i = start; i < end; ++i) {
                    if (in(values[i]) != 0) {
                        inside.push_back(values[i]);
                    }
                }
            }
        }
    }

    void merge(const bracket& other) {
        below += other.below;
        inside.insert(inside.end(), other.inside.begin(), other.inside.end());
    }
};

// The bracket of ranks (n - 1) / 2 and n / 2 of n values, of which `sample`
// holds the numbers among `sampled` evenly spread ones (NaN ranks last).
bracket bracket_of(std::vector<float> sample, std::int64_t sampled, std::int64_t n) {
    bracket b;
    if (sample.empty()) {
        b.lo = b.hi = std::numeric_limits<float>::infinity();  // holds no number
        return b;
    }
    const auto m = static_cast<double>(sample.size());
    const double margin = bracket_width * std::sqrt(m) / 2.0;
    const auto at = [&](double position) {
        const auto j = static_cast<std::ptrdiff_t>(std::clamp(position, 0.0, m - 1.0));
        std::nth_element(sample.begin(), sample.begin() + j, sample.end());
        return sample[static_cast<std::size_t>(j)];
    };
    // Sample positions per rank.
    const double scale = static_cast<double>(sampled) / static_cast<double>(n);
    b.lo = at(std::floor(static_cast<double>((n - 1) / 2) * scale - margin));
    b.hi = at(std::ceil(static_cast<double>(n / 2) * scale + margin));
    return b;
}

// noise_model::median of the n >= 2 values that `b` bracketed, when the
// bracket holds both middle ranks; false when it misses them.
bool bracketed_median(bracket& b, std::int64_t n, double& median) {
    const std::int64_t low = (n - 1) / 2, high = n / 2;
    const auto held = static_cast<std::int64_t>(b.inside.size());
    if (b.below > low || b.below + held <= high) {
        return false;
    }
    const auto kth = b.inside.begin() + static_cast<std::ptrdiff_t>(low - b.below);
    std::nth_element(b.inside.begin(), kth, b.inside.end());
    if (n % 2 == 1) {
        median = *kth;
        return true;
    }
    const float middle_sum = *kth + *std::min_element(kth + 1, b.inside.end());
    median = static_cast<double>(middle_sum) / 2.0;
    return true;
}

// The pseudo-residuals of one row at a time, as
// noise_model::pseudo_residuals gives them: every neighbour summed in the
// same order (t outermost, x innermost) in float.
class row_residuals {
 public:
    explicit row_residuals(const array& image) : image_(image), sums_(image.nx) {}

    // Row `index` of the image (y fastest, then z, c and t) into `out`.
    void compute(std::int64_t index, float* out) {
        const array& a = image_;
        const auto y = static_cast<std::int32_t>(index % a.ny);
        const std::int64_t plane = index / a.ny;
        const auto z = static_cast<std::int32_t>(plane % a.nz);
        const auto c = static_cast<std::int32_t>((plane / a.nz) % a.nc);
        const auto t = static_cast<std::int32_t>(plane / (std::int64_t{a.nz} * a.nc));
        rows_.clear();
        centre_ = -1;
        for (std::int32_t tt = std::max(t - 1, 0); tt <= std::min(t + 1, a.nt - 1); ++tt) {
            for (std::int32_t zz = std::max(z - 1, 0); zz <= std::min(z + 1, a.nz - 1); ++zz) {
                for (std::int32_t yy = std::max(y - 1, 0); yy <= std::min(y + 1, a.ny - 1); ++yy) {
                    if (tt == t && zz == z && yy == y) {
                        centre_ = static_cast<int>(rows_.size());
                    }
                    const std::int64_t row =
                        static_cast<std::int64_t>(a.nx) *
                        (yy + static_cast<std::int64_t>(a.ny) *
                                  (zz + static_cast<std::int64_t>(a.nz) *
                                            (c + static_cast<std::int64_t>(a.nc) * tt)));
                    rows_.push_back(a.data.data() + row);
                }
            }
        }
        const float* own = rows_[static_cast<std::size_t>(centre_)];
        const std::int32_t nx = a.nx;
        if (nx >= 3) {
            inner(nx);
            const auto n = static_cast<float>(3 * rows_.size() - 1);
            const float scale = std::sqrt(n * n + n);
            for (std::int32_t x = 1; x < nx - 1; ++x) {
                out[x] = (n * own[x] - sums_[static_cast<std::size_t>(x)]) / scale;
            }
            out[0] = edge(0, own);
            out[nx - 1] = edge(nx - 1, own);
        } else {
            for (std::int32_t x = 0; x < nx; ++x) {
                out[x] = edge(x, own);
            }
        }
    }

 private:
    // The sums of the pixels 1 .. nx - 2, which have both x neighbours.
    void inner(std::int32_t nx) {
        float* s = sums_.data();
        std::fill(s, s + nx, 0.0f);
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            const float* p = rows_[r];
            if (static_cast<int>(r) == centre_) {
                for (std::int32_t x = 1; x < nx - 1; ++x) {
                    float v = s[x];
                    v += p[x - 1];
                    v += p[x + 1];
                    s[x] = v;
                }
            } else {
                for (std::int32_t x = 1; x < nx - 1; ++x) {
                    float v = s[x];
                    v += p[x - 1];
                    v += p[x];
                    v += p[x + 1];
                    s[x] = v;
                }
            }
        }
    }

    // The residual of pixel x, its x neighbours clipped to the row.
    [[nodiscard]] float edge(std::int32_t x, const float* own) const {
        const std::int32_t x0 = std::max(x - 1, 0), x1 = std::min(x + 1, image_.nx - 1);
        float sum = 0.0f;
        float count = 0.0f;
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            for (std::int32_t xx = x0; xx <= x1; ++xx) {
                if (static_cast<int>(r) == centre_ && xx == x) {
                    continue;
                }
                sum += rows_[r][xx];
                count += 1.0f;
            }
        }
        if (count < 1.0f) {
            return 0.0f;
        }
        return (count * own[x] - sum) / std::sqrt(count * count + count);
    }

    const array& image_;
    std::vector<float> sums_;
    std::vector<const float*> rows_;
    int centre_ = -1;
};

}  // namespace

array pseudo_residuals(const array& image, int threads) {
    array out;
    out.alloc(image);
    if (out.data.empty()) {
        return out;
    }
    const auto rows = static_cast<std::int64_t>(out.data.size()) / image.nx;
#pragma omp parallel num_threads(std::max(threads, 1))
    {
        row_residuals row(image);
#pragma omp for schedule(static)
        for (std::int64_t r = 0; r < rows; ++r) {
            row.compute(r, out.data.data() + r * image.nx);
        }
    }
    return out;
}

double gaussian_sigma(const array& image, int threads) {
    const auto n = static_cast<std::int64_t>(image.data.size());
    threads = std::max(threads, 1);
    if (n < bracketed) {
        array residuals = pseudo_residuals(image, threads);
        return std::sqrt(noise_model{}.robust_variance(residuals));
    }
    // The sample: whole rows, evenly spread.
    const std::int64_t nx = image.nx;
    const std::int64_t rows = n / nx;
    const std::int64_t step = std::max<std::int64_t>(1, rows * nx / sample_size);
    std::vector<float> sample;
    std::int64_t sampled = 0;
    {
        row_residuals row(image);
        std::vector<float> values(static_cast<std::size_t>(nx));
        for (std::int64_t r = step / 2; r < rows; r += step, sampled += nx) {
            row.compute(r, values.data());
            std::copy_if(values.begin(), values.end(), std::back_inserter(sample),
                         [](float v) { return !std::isnan(v); });
        }
    }

    // Pass 1: the residuals, and the bracket of their median.
    array residuals;
    residuals.alloc(image);
    bracket centre = bracket_of(sample, sampled, n);
#pragma omp parallel num_threads(threads)
    {
        row_residuals row(image);
        bracket own{centre.lo, centre.hi, 0, {}};
#pragma omp for schedule(static) nowait
        for (std::int64_t r = 0; r < rows; ++r) {
            float* out = residuals.data.data() + r * nx;
            row.compute(r, out);
            own.add(out, static_cast<std::size_t>(nx));
        }
#pragma omp critical
        centre.merge(own);
    }
    double middle = 0.0;
    if (!bracketed_median(centre, n, middle)) {
        array copy = residuals;
        middle = noise_model{}.median(copy);
    }

    // Pass 2: the absolute deviations from it, and the bracket of their median.
    const auto deviation = [middle](float v) {
        return static_cast<float>(std::fabs(static_cast<double>(v) - middle));
    };
    for (float& v : sample) {
        v = deviation(v);
    }
    bracket spread = bracket_of(std::move(sample), sampled, n);
    constexpr std::int64_t chunk = 1 << 12;
#pragma omp parallel num_threads(threads)
    {
        bracket own{spread.lo, spread.hi, 0, {}};
        std::vector<float> values(static_cast<std::size_t>(chunk));
#pragma omp for schedule(static) nowait
        for (std::int64_t start = 0; start < n; start += chunk) {
            const auto count = static_cast<std::size_t>(std::min(chunk, n - start));
            const float* r = residuals.data.data() + start;
            for (std::size_t i = 0; i < count; ++i) {
                values[i] = deviation(r[i]);
            }
            own.add(values.data(), count);
        }
#pragma omp critical
        spread.merge(own);
    }
    double mad = 0.0;
    if (!bracketed_median(spread, n, mad)) {
        for (float& v : residuals.data) {
            v = deviation(v);
        }
        mad = noise_model{}.median(residuals);
    }
    const double scale = mad_to_sigma * mad;
    return std::sqrt(scale * scale);
}

}  // namespace qv
