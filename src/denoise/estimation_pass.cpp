// One estimation pass: the reference positions it visits (a subsampled
// interior grid, then one dense far plane per axis) and how the threads share
// them.
//
// Design. The pass visits its reference positions in one fixed serial order:
// the interior grid, then the x, y, z and t border planes, each in t, z, y, x
// loop order. The image is cut into as many stripes as there are threads,
// along the longest of the y, z and t axes (y on ties); a stripe is the set
// of pixels whose coordinate on that axis lies in its range, all x,
// channels and other axes included. Each thread owns one stripe and walks the
// serial order, skipping the reference positions whose patch misses its
// stripe. For every other position it computes the patch estimate and the
// verdict (the bulk of the work, and pure: it reads only the inputs) and then
// adds the patch rows that lie in its own stripe.
//
// The fast kernel may estimate two grid rows along y together (their
// patches overlap; see fast_estimate_pair): the second row's outcomes wait
// until the first row's are added, so the order of additions is unchanged.
// Where patches are one frame deep it may visit the frames inside each grid
// row (see run_stripe): each pixel still gets its additions in that order.
//
// Every pixel is thus written by one thread only, which adds the
// contributions of the reference patches covering it in the serial visiting
// order. The additions into the sum images are the same float additions in
// the same order as in a one-thread run of the straightforward kernel,
// whatever the thread count and timing, so the result is bit-for-bit that of
// reference_estimation_pass on one thread. No atomics, no barrier inside the
// pass, no buffer beyond a grid row of patches per thread (one per frame
// where the frames are visited inside the rows).
//
// The price: a reference position whose patch straddles a stripe boundary is
// estimated by both threads. With the default 7 x 7 patches that is about two
// grid rows per boundary, 1.5 % of the work per boundary on a 512-row image.
#include <omp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "denoise/fast_estimate.hpp"
#include "denoise/kernel.hpp"
#include "denoise/patch_estimate.hpp"
#include "denoise/regions.hpp"
#include "denoise/run_monitor.hpp"

namespace qv {

namespace {

// The regions of a pass in visiting order.
std::vector<region> visiting_order(const pass_context& ctx) {
    std::vector<region> regions{interior_region(ctx)};
    for (int axis = 0; axis < 4; ++axis) {
        if (has_border_region(ctx, axis)) {
            regions.push_back(border_region(ctx, axis));
        }
    }
    return regions;
}

// The pixels one thread adds into: those whose coordinate along `axis`
// (1 = y, 2 = z, 3 = t) lies in [begin, end).
struct stripe {
    int axis = 1;
    std::int32_t begin = 0;
    std::int32_t end = 0;
};

int split_axis(const pass_context& ctx) {
    int axis = 1;
    for (int a = 2; a < 4; ++a) {
        if (ctx.extent[a] > ctx.extent[axis]) {
            axis = a;
        }
    }
    return axis;
}

stripe stripe_of(const pass_context& ctx, int thread, int threads) {
    const int axis = split_axis(ctx);
    const std::int64_t n = ctx.extent[axis];
    return {axis, static_cast<std::int32_t>(n * thread / threads),
            static_cast<std::int32_t>(n * (thread + 1) / threads)};
}

// The positions of g whose patch reaches into the stripe: g with the range of
// the stripe's axis cut down (possibly to nothing).
region positions_reaching(const pass_context& ctx, const region& g, const stripe& s) {
    region cut = g;
    axis_range& r = cut.axes[s.axis];
    const std::int64_t radius = ctx.radius[s.axis];
    const std::int64_t lowest = std::int64_t{s.begin} - radius;
    const std::int64_t highest = std::int64_t{s.end} - 1 + radius;
    const std::int64_t first = std::max<std::int64_t>(0, (lowest - r.lo + r.step - 1) / r.step);
    const std::int64_t last =
        std::min<std::int64_t>(r.count() - 1, highest < r.lo ? -1 : (highest - r.lo) / r.step);
    if (last < first) {
        r.hi = r.lo - 1;
        return cut;
    }
    const std::int32_t lo = r.lo;
    r.lo = static_cast<std::int32_t>(lo + first * r.step);
    r.hi = static_cast<std::int32_t>(lo + last * r.step);
    return cut;
}

// Frames inside grid rows: the positions along x a run visits in every
// frame before the next.
constexpr std::int32_t frames_inside_run = 8;
// The most floats of second rows' patches a thread keeps for the frames
// visited together (64 MiB); more frames are visited a group at a time.
constexpr std::size_t frames_inside_most_floats = std::size_t{1} << 24;

// Adds one patch row of a reference position's outcome: the accepted
// estimate, or the previous values of its pixels.
void add_patch_row(const pass_context& ctx, const reference_outcome& outcome,
                   const float* __restrict patch, std::int32_t p0, sum_images& sums) {
    float* __restrict sum_e = sums.sum_estimate.data.data() + p0;
    float* __restrict sum_v = sums.sum_variance.data.data() + p0;
    const std::int32_t length = ctx.row_length;
    if (!sums.contrib_count.data.empty()) {
        float* __restrict count = sums.contrib_count.data.data() + p0;
        for (std::int32_t x = 0; x < length; ++x) {
            count[x] += 1.0f;
        }
    }
    if (outcome.verdict == patch_verdict::accepted) {
        const float variance = outcome.variance;
        for (std::int32_t x = 0; x < length; ++x) {
            sum_e[x] += patch[x];
        }
        for (std::int32_t x = 0; x < length; ++x) {
            sum_v[x] += variance;
        }
        return;
    }
    const float* __restrict est = ctx.prev_estimate.data.data() + p0;
    const float* __restrict var = ctx.prev_variance.data.data() + p0;
    for (std::int32_t x = 0; x < length; ++x) {
        sum_e[x] += est[x];
    }
    if (ctx.inverse_variance) {
        for (std::int32_t x = 0; x < length; ++x) {
            sum_v[x] += 1.0f / var[x];
        }
        return;
    }
    for (std::int32_t x = 0; x < length; ++x) {
        sum_v[x] += var[x];
    }
}

// The part of the outcome of reference r that falls in the stripe; the
// patch's rows are `pitch` apart.
void add_to_stripe(const pass_context& ctx, const reference_outcome& outcome, const float* patch,
                   std::int32_t pitch, const position& r, const stripe& s, sum_images& sums) {
    if (outcome.verdict == patch_verdict::no_estimate) {
        return;
    }
    const std::int32_t i0 = ctx.index_of(r);
    const std::size_t rows = ctx.row_offsets.size();
    for (std::size_t row = 0; row < rows; ++row, patch += pitch) {
        // A patch row starts at x - px >= 0, so it lies in one image row.
        const std::int32_t c = r[s.axis] + ctx.row_shifts[row][s.axis];
        if (c >= s.begin && c < s.end) {
            add_patch_row(ctx, outcome, patch, i0 + ctx.row_offsets[row], sums);
        }
    }
}

// The per-reference estimate of each kernel, with its per-thread scratch.
struct exact_estimate {
    static constexpr bool pairs = false;
    candidate_row_scratch scratch;
    explicit exact_estimate(const pass_context& ctx) : scratch(ctx) {}
    static std::size_t patch_floats(const pass_context& ctx) {
        return static_cast<std::size_t>(ctx.patch_size());
    }
    static void add(const pass_context& ctx, const reference_outcome& outcome, const float* patch,
                    const position& r, const stripe& s, sum_images& sums) {
        add_to_stripe(ctx, outcome, patch, ctx.row_length, r, s, sums);
    }
    reference_outcome operator()(const pass_context& ctx, float* patch, const position& r) {
        return estimate_patch(ctx, scratch, patch, r);
    }
};

struct fast_estimate {
    static constexpr bool pairs = true;
    fast_scratch scratch;
    explicit fast_estimate(const pass_context& ctx) : scratch(ctx) {}
    static std::size_t patch_floats(const pass_context& ctx) {
        return fast_scratch::patch_floats(ctx);
    }
    reference_outcome operator()(const pass_context& ctx, float* patch, const position& r) {
        return fast_estimate_patch(ctx, scratch, patch, r);
    }
    std::array<reference_outcome, 2> pair(const pass_context& ctx, float* patch_a, float* patch_b,
                                          const position& a, const position& b) {
        return fast_estimate_pair(ctx, scratch, patch_a, patch_b, a, b);
    }
    void add(const pass_context& ctx, const reference_outcome& outcome, const float* patch,
             const position& r, const stripe& s, sum_images& sums) const {
        if (!sums.contrib_count.data.empty()) {
            add_to_stripe(ctx, outcome, patch, scratch.pitch, r, s, sums);
            return;
        }
        fast_add_to_sums(ctx, outcome, patch, scratch.pitch, r, s.axis, s.begin, s.end,
                         sums.sum_estimate.data.data(), sums.sum_variance.data.data());
    }
};

// The positions of one row of reference positions (y, z, t fixed) in x
// order: each estimated, listed when it got no estimate, and added.
template <class Estimate>
struct row_walk {
    const pass_context& ctx;
    const stripe& s;
    sum_images& sums;
    Estimate& estimate;
    bool list_missing;
    std::vector<std::array<std::int32_t, 5>>& missing;
    std::int32_t region_index;

    void add(const reference_outcome& outcome, const float* patch, const position& r) {
        if (list_missing && outcome.verdict == patch_verdict::no_estimate) {
            missing.push_back({r[0], r[1], r[2], r[3], region_index});
        }
        estimate.add(ctx, outcome, patch, r, s, sums);
    }
};

// Whether the grid rows along y of a region are estimated two at a time: with
// the fast kernel, where the patches of neighbouring grid rows overlap.
template <class Estimate>
bool pairs_rows(const pass_context& ctx, const axis_range& ay) {
    return Estimate::pairs && ay.step > 1 && ay.step <= 2 * ctx.radius[1];
}

// Whether a region's frames are visited inside each grid row (see
// run_stripe): with the fast kernel, where patches are one frame deep, so
// that a pixel's additions come from its own frame's positions alone, and
// the window spans other frames, whose rows are then read again while they
// are still in the cache.
template <class Estimate>
bool frames_inside_rows(const pass_context& ctx, const axis_range& at, const pass_hooks* hooks) {
    return Estimate::pairs && ctx.radius[3] == 0 && ctx.window[4] > 0 && at.count() > 1 &&
           (hooks == nullptr || hooks->frames_inside_rows);
}

// The visits of one region's reference positions by a thread: the
// estimates of one grid row (or two, paired) of one frame and plane over a
// range of x, and their additions.
template <class Estimate>
struct region_walk {
    const pass_context& ctx;
    row_walk<Estimate>& walk;
    Estimate& estimate;
    std::vector<float>& patch;
    std::size_t patch_floats;
    // The second rows' outcomes and patches, added after the first rows'.
    std::vector<reference_outcome>& later;
    std::vector<float>& later_patches;

    // Positions x0, x0 + step, ... up to x1 of grid row y (and of y2 >= 0,
    // paired) in plane z of frame t; the second row's outcomes go to `later`
    // from slot k on.
    void row(const axis_range& ax, std::int32_t x0, std::int32_t x1, std::int32_t y,
             std::int32_t y2, std::int32_t z, std::int32_t t, std::size_t k) {
        if (y2 < 0) {
            for (std::int32_t x = x0; x <= x1; x += ax.step) {
                const position r{x, y, z, t};
                walk.add(estimate(ctx, patch.data(), r), patch.data(), r);
            }
            return;
        }
        if constexpr (Estimate::pairs) {
            for (std::int32_t x = x0; x <= x1; x += ax.step, ++k) {
                float* second = later_patches.data() + k * patch_floats;
                const auto outcomes =
                    estimate.pair(ctx, patch.data(), second, {x, y, z, t}, {x, y2, z, t});
                later[k] = outcomes[1];
                walk.add(outcomes[0], patch.data(), {x, y, z, t});
            }
        }
    }

    // Adds the second row's outcomes of slots k, k + 1, ... at x0 ... x1.
    void add_later(const axis_range& ax, std::int32_t x0, std::int32_t x1, std::int32_t y2,
                   std::int32_t z, std::int32_t t, std::size_t k) {
        for (std::int32_t x = x0; x <= x1; x += ax.step, ++k) {
            walk.add(later[k], later_patches.data() + k * patch_floats, {x, y2, z, t});
        }
    }
};

// One thread's share of a pass: every region in order, each in t, z, y, x
// order, restricted to the positions whose patch reaches into the stripe.
// With the fast kernel, two grid rows along y may be estimated together (each
// position of the second with the one above it); the second row's outcomes
// wait in `later` and are added after the first row's, so that the additions
// keep the visiting order.
//
// Where patches are one frame deep and the window spans other frames, the
// fast kernel visits the frames inside each grid row instead (z, a group of
// frames, y, then runs of frames_inside_run positions along x, each run in
// every frame of the group): a pixel gets additions from its own frame's
// positions only, still in z, y, x order, so the sums are the same; and the
// candidates' rows of every frame are read again while they are still in
// the cache (about 30 % less time on 48 still frames of 512 x 512 searched
// whole).
//
// With a monitor, each row of reference positions is counted when done, and
// the stripe stops at the next row once the monitor's cancel flag is set.
template <class Estimate>
void run_stripe(const pass_context& ctx, const std::vector<region>& regions, const stripe& s,
                sum_images& sums, pass_hooks* hooks,
                std::vector<std::array<std::int32_t, 5>>& missing) {
    run_monitor* monitor = hooks != nullptr ? hooks->monitor : nullptr;
    const bool list_missing = hooks != nullptr && hooks->list_missing;
    Estimate estimate(ctx);
    const std::size_t patch_floats = Estimate::patch_floats(ctx);
    std::vector<float> patch(patch_floats);
    std::vector<float> later_patches;
    std::vector<reference_outcome> later;
    // Counts `n` finished positions; false once the run is cancelled.
    const auto done = [monitor](std::int64_t n) {
        if (monitor == nullptr) {
            return true;
        }
        monitor->done.fetch_add(n, std::memory_order_relaxed);
        return !monitor->cancelled();
    };
    for (std::size_t index = 0; index < regions.size(); ++index) {
        const region g = positions_reaching(ctx, regions[index], s);
        const auto& [ax, ay, az, at] = g.axes;
        row_walk<Estimate> walk{
            ctx, s, sums, estimate, list_missing, missing, static_cast<std::int32_t>(index)};
        region_walk<Estimate> visit{ctx, walk, estimate, patch, patch_floats, later, later_patches};
        const bool paired = pairs_rows<Estimate>(ctx, ay);
        const bool inside = frames_inside_rows<Estimate>(ctx, at, hooks);
        const std::size_t row_positions = static_cast<std::size_t>(ax.count());
        // Frames visited together inside each grid row (all, or as many as
        // the second rows' patches of a pair may keep).
        const std::int64_t group =
            !inside ? 1
                    : std::clamp<std::int64_t>(
                          static_cast<std::int64_t>(
                              frames_inside_most_floats /
                              std::max<std::size_t>(1, row_positions * patch_floats)),
                          1, at.count());
        if (paired) {
            later.resize(row_positions * static_cast<std::size_t>(group));
            later_patches.resize(later.size() * patch_floats);
        }
        // The second grid row of a pair starting at y, or -1.
        const auto second_row = [&](std::int32_t y) {
            return paired && y + ay.step <= ay.hi ? y + ay.step : -1;
        };
        if (!inside) {
            for (std::int32_t t = at.lo; t <= at.hi; t += at.step) {
                for (std::int32_t z = az.lo; z <= az.hi; z += az.step) {
                    for (std::int32_t y = ay.lo; y <= ay.hi; y += ay.step) {
                        const std::int32_t y2 = second_row(y);
                        visit.row(ax, ax.lo, ax.hi, y, y2, z, t, 0);
                        if (!done(ax.count())) {
                            return;
                        }
                        if (y2 >= 0) {
                            visit.add_later(ax, ax.lo, ax.hi, y2, z, t, 0);
                            if (!done(ax.count())) {
                                return;
                            }
                            y = y2;
                        }
                    }
                }
            }
            continue;
        }
        const std::int32_t run_step = frames_inside_run * ax.step;
        for (std::int32_t z = az.lo; z <= az.hi; z += az.step) {
            for (std::int64_t first = 0; first < at.count(); first += group) {
                const auto t0 = static_cast<std::int32_t>(at.lo + first * at.step);
                const auto t1 = static_cast<std::int32_t>(
                    at.lo + (std::min(first + group, at.count()) - 1) * at.step);
                const std::int64_t frames = (t1 - t0) / at.step + 1;
                for (std::int32_t y = ay.lo; y <= ay.hi; y += ay.step) {
                    const std::int32_t y2 = second_row(y);
                    for (std::int32_t x0 = ax.lo; x0 <= ax.hi; x0 += run_step) {
                        const std::int32_t x1 = std::min(ax.hi, x0 + run_step - ax.step);
                        const auto k0 = static_cast<std::size_t>((x0 - ax.lo) / ax.step);
                        std::size_t slot = k0;
                        for (std::int32_t t = t0; t <= t1; t += at.step, slot += row_positions) {
                            visit.row(ax, x0, x1, y, y2, z, t, slot);
                        }
                    }
                    if (y2 >= 0) {
                        std::size_t slot = 0;
                        for (std::int32_t t = t0; t <= t1; t += at.step, slot += row_positions) {
                            visit.add_later(ax, ax.lo, ax.hi, y2, z, t, slot);
                        }
                        y = y2;
                    }
                    if (!done(ax.count() * frames * (y2 >= 0 ? 2 : 1))) {
                        return;
                    }
                }
            }
        }
    }
}

// Reference positions a stripe visits.
std::int64_t positions_in_stripe(const pass_context& ctx, const std::vector<region>& regions,
                                 const stripe& s) {
    std::int64_t n = 0;
    for (const region& whole : regions) {
        const region g = positions_reaching(ctx, whole, s);
        n += g.axes[0].count() * g.axes[1].count() * g.axes[2].count() * g.axes[3].count();
    }
    return n;
}

}  // namespace

namespace {

// The pass; hooks may be null.
void run_pass(const denoise_params& params, const array& noisy, float sigma, const axis5& window,
              const array& prev_estimate, const array& prev_variance, array& sum_estimate,
              array& sum_variance, array& contrib_count, pass_hooks* hooks) {
    run_monitor* monitor = hooks != nullptr ? hooks->monitor : nullptr;
    if (noisy.size() == 0) {
        return;
    }
    pass_context ctx(params, noisy, sigma, window, prev_estimate, prev_variance);
    if (hooks != nullptr && hooks->row_extent > 0) {
        ctx.extent[0] = hooks->row_extent;
    }
    // A patch longer than its axis fits nowhere: there is no position to visit.
    if (!has_patch_position(ctx)) {
        return;
    }
    const std::vector<region> regions = visiting_order(ctx);
    sum_images sums{sum_estimate, sum_variance, contrib_count};
#pragma omp parallel
    {
        const stripe s = stripe_of(ctx, omp_get_thread_num(), omp_get_num_threads());
        if (monitor != nullptr) {
            monitor->total.fetch_add(positions_in_stripe(ctx, regions, s),
                                     std::memory_order_relaxed);
        }
        std::vector<std::array<std::int32_t, 5>> missing;
        if (ctx.inverse_variance) {
            run_stripe<fast_estimate>(ctx, regions, s, sums, hooks, missing);
        } else {
            run_stripe<exact_estimate>(ctx, regions, s, sums, hooks, missing);
        }
        if (!missing.empty()) {
#pragma omp critical(qv_missing_positions)
            hooks->missing.insert(hooks->missing.end(), missing.begin(), missing.end());
        }
    }
}

}  // namespace

void estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                     const axis5& window, const array& prev_estimate, const array& prev_variance,
                     array& sum_estimate, array& sum_variance, array& contrib_count) {
    run_pass(params, noisy, sigma, window, prev_estimate, prev_variance, sum_estimate, sum_variance,
             contrib_count, nullptr);
}

void estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                     const axis5& window, const array& prev_estimate, const array& prev_variance,
                     array& sum_estimate, array& sum_variance, array& contrib_count,
                     pass_hooks& hooks) {
    hooks.missing.clear();
    run_pass(params, noisy, sigma, window, prev_estimate, prev_variance, sum_estimate, sum_variance,
             contrib_count, &hooks);
    // A position on a stripe boundary is listed by both stripes.
    std::sort(hooks.missing.begin(), hooks.missing.end());
    hooks.missing.erase(std::unique(hooks.missing.begin(), hooks.missing.end()),
                        hooks.missing.end());
}

std::vector<region> pass_regions(const pass_context& ctx) {
    if (ctx.noisy.size() == 0 || !has_patch_position(ctx)) {
        return {};
    }
    return visiting_order(ctx);
}

}  // namespace qv
