// The fast per-reference estimate, dispatched at run time: an AVX2 and FMA
// build of the lane code for CPUs that have both, and the portable build
// (generic vector types lowered for the baseline target) for all others.
// The AVX2 code lives only in functions with a target attribute and runs only
// after the CPU check, so the library needs no -march flag.
#include "denoise/fast_estimate.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "denoise/regions.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QV_HAS_FAST_AVX2 1
#include <immintrin.h>
#endif

#define QV_INLINE [[gnu::always_inline]] inline
// The block loops get functions of their own, so that their vectors stay in
// registers.
#define QV_KERNEL [[gnu::noinline]]

// The lane helpers pass 32-byte vectors by value; they are always inlined and
// never called across a target boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace qv {

namespace {

std::uint32_t first_lanes(std::int32_t n) { return (1u << n) - 1u; }

// The lane bit of x among the lanes that hold x0, x0 + 1, ...; 0 when x is
// not among the first `lanes` of them.
std::uint32_t lane_bit(std::int32_t x, std::int32_t x0, std::int32_t lanes) {
    const std::int32_t l = x - x0;
    return l >= 0 && l < lanes ? 1u << l : 0u;
}

// The candidates of the window around r: every window row (t, z, y outer to
// inner, ascending) cut into blocks of eight consecutive x positions. A last
// piece of two to seven becomes a block of its own, the eight positions that
// end the row (or, in a row shorter than eight, those from its start) with
// only the piece's lanes valid; a last piece of one is a single candidate
// (their list padded to a multiple of eight with its last one). The
// reference itself is no candidate. Indices are relative to the reference's.
// Returns the count of single candidates.
std::int32_t build_blocks(const pass_context& ctx, const index_range range[4], const position& r,
                          std::vector<candidate_block>& blocks,
                          std::vector<std::int32_t>& singles) {
    blocks.clear();
    singles.clear();
    const std::int32_t n = range[0].hi - range[0].lo + 1;
    if (n <= 0) {
        return 0;
    }
    const std::int32_t i0 = ctx.index_of(r);
    constexpr std::int32_t fewest_in_block = 2;
    const std::int32_t rest = n % 8;
    const std::int32_t whole_blocks = n - rest;
    // Where the block of the last piece starts, and its valid lanes.
    const std::int32_t piece_x0 = std::max(0, n - 8);
    const std::uint32_t piece_lanes = first_lanes(rest) << (whole_blocks - piece_x0);
    for (std::int32_t t2 = range[3].lo; t2 <= range[3].hi; ++t2) {
        for (std::int32_t z2 = range[2].lo; z2 <= range[2].hi; ++z2) {
            for (std::int32_t y2 = range[1].lo; y2 <= range[1].hi; ++y2) {
                const std::int32_t start = ctx.index_of(position{range[0].lo, y2, z2, t2}) - i0;
                const bool holds_reference = t2 == r[3] && z2 == r[2] && y2 == r[1];
                // x of the reference within the row, or -1.
                const std::int32_t self = holds_reference ? r[0] - range[0].lo : -1;
                for (std::int32_t x0 = 0; x0 < whole_blocks; x0 += 8) {
                    const std::uint32_t lanes = first_lanes(8);
                    blocks.push_back({start + x0, lanes, lanes & ~lane_bit(self, x0, 8)});
                }
                if (rest >= fewest_in_block) {
                    blocks.push_back({start + piece_x0, piece_lanes,
                                      piece_lanes & ~lane_bit(self, piece_x0, 8)});
                } else if (rest == 1 && self != n - 1) {
                    singles.push_back(start + n - 1);
                }
            }
        }
    }
    const auto count = static_cast<std::int32_t>(singles.size());
    while (!singles.empty() && singles.size() % 8 != 0) {
        singles.push_back(singles.back());
    }
    return count;
}

// Whether the window around r is whole (clipped nowhere by the image).
bool whole_window(const pass_context& ctx, const index_range range[4], const position& r) {
    constexpr std::int32_t window_axis[4] = {0, 1, 2, 4};
    for (int a = 0; a < 4; ++a) {
        const std::int32_t w = ctx.window[window_axis[a]];
        if (range[a].lo != r[a] - w || range[a].hi != r[a] + w) {
            return false;
        }
    }
    return true;
}

// The candidates of reference r: those of every whole window are the same
// relative to the reference, built once; those of a clipped window are kept
// for the next reference when its window is clipped alike (the same range
// relative to the reference on every axis), as along most of a row.
void window_candidates(const pass_context& ctx, fast_scratch& s, const index_range range[4],
                       const position& r) {
    if (!whole_window(ctx, range, r)) {
        std::array<std::int32_t, 8> relative{};
        for (int a = 0; a < 4; ++a) {
            relative[2 * a] = range[a].lo - r[a];
            relative[2 * a + 1] = range[a].hi - r[a];
        }
        if (!s.own_ready || relative != s.own_range) {
            s.own_single_count = build_blocks(ctx, range, r, s.own_blocks, s.own_singles);
            s.own_range = relative;
            s.own_ready = true;
            ++s.own_builds;
        }
        s.list_id = s.own_builds;
        s.single_count = s.own_single_count;
        s.blocks = &s.own_blocks;
        s.singles = &s.own_singles;
        return;
    }
    if (!s.whole_ready) {
        s.whole_single_count = build_blocks(ctx, range, r, s.whole_blocks, s.whole_singles);
        s.whole_ready = true;
    }
    s.list_id = 0;
    s.single_count = s.whole_single_count;
    s.blocks = &s.whole_blocks;
    s.singles = &s.whole_singles;
}

// The patch rows of two references `delta` elements apart, in offset order
// from the first's index, each with its row in either reference.
void build_shared_rows(const pass_context& ctx, std::int64_t delta, std::vector<shared_row>& out) {
    out.clear();
    const auto rows = static_cast<std::int32_t>(ctx.row_offsets.size());
    std::int32_t i = 0;
    std::int32_t j = 0;
    while (i < rows || j < rows) {
        const std::int64_t a = i < rows ? ctx.row_offsets[static_cast<std::size_t>(i)]
                                        : std::numeric_limits<std::int64_t>::max();
        const std::int64_t b = j < rows ? ctx.row_offsets[static_cast<std::size_t>(j)] + delta
                                        : std::numeric_limits<std::int64_t>::max();
        shared_row r;
        r.offset = static_cast<std::int32_t>(std::min(a, b));
        if (a <= b) {
            r.row_a = i++;
        }
        if (b <= a) {
            r.row_b = j++;
        }
        out.push_back(r);
    }
}

}  // namespace

}  // namespace qv

#if QV_HAS_FAST_AVX2
#define QV_FAST_AVX2 1
#define QV_FAST_TARGET __attribute__((target("avx2,fma")))
namespace qv::fast_avx2 {
namespace {
#include "denoise/fast_lanes.inc"
}  // namespace
}  // namespace qv::fast_avx2
#undef QV_FAST_AVX2
#undef QV_FAST_TARGET
#endif

#define QV_FAST_AVX2 0
#define QV_FAST_TARGET
namespace qv::fast_portable {
namespace {
#include "denoise/fast_lanes.inc"
}  // namespace
}  // namespace qv::fast_portable
#undef QV_FAST_AVX2
#undef QV_FAST_TARGET

namespace qv {

namespace {

std::int32_t padded_pitch(const pass_context& ctx) { return (ctx.row_length + 7) / 8 * 8; }

}  // namespace

fast_scratch::fast_scratch(const pass_context& ctx) : pitch(padded_pitch(ctx)) {
    const std::size_t padded = patch_floats(ctx);
    // At most one single candidate per window row, padded to whole groups,
    // and (n + 7) / 8 blocks.
    std::int64_t window_rows = 1;
    constexpr int window_axis[3] = {1, 2, 4};
    for (int i = 0; i < 3; ++i) {
        const std::int64_t extent = ctx.extent[i + 1];
        window_rows *= std::min(2 * std::int64_t{ctx.window[window_axis[i]]} + 1, extent);
    }
    const std::int64_t row_candidates =
        std::min(2 * std::int64_t{ctx.window[0]} + 1, std::int64_t{ctx.extent[0]});
    const auto most_blocks = static_cast<std::size_t>(window_rows * ((row_candidates + 7) / 8));
    const auto most_singles = static_cast<std::size_t>(window_rows + 8);
    own_blocks.reserve(most_blocks);
    own_singles.reserve(most_singles);
    for (std::size_t row = 0; row < ctx.row_offsets.size(); ++row) {
        own_rows.push_back({ctx.row_offsets[row], static_cast<std::int32_t>(row), -1});
    }
    for (reference_buffers& ref : refs) {
        ref.patch_estimate.assign(padded, 0.0f);
        ref.patch_inverse.assign(padded, 0.0f);
        ref.block_weight.assign(8 * most_blocks, 0.0f);
        ref.single_weight.assign(most_singles, 0.0f);
    }
    kept_start.assign(8 * most_blocks + most_singles + 8, 0);
    kept_weight.assign(8 * most_blocks + most_singles + 8, 0.0f);
    // The row parts are kept where they take at most a sixteenth of the
    // image (or 256 KiB): they save work, never change a bit.
    const std::size_t carry_floats = 8 * most_blocks * ctx.row_offsets.size();
    const std::size_t affordable = std::max<std::size_t>(ctx.noisy.data.size() / 16, 1u << 16);
    if (ctx.row_length > 1 && carry_floats <= affordable) {
        row_carry.assign(carry_floats, 0.0f);
        // A pair shares at most all rows of both.
        pair_carry.assign(2 * carry_floats, 0.0f);
    }
}

std::size_t fast_scratch::patch_floats(const pass_context& ctx) {
    return ctx.row_offsets.size() * static_cast<std::size_t>(padded_pitch(ctx));
}

bool fast_lanes_supported(lane_set set) noexcept {
#if QV_HAS_FAST_AVX2
    static const bool has_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return set == lane_set::portable || (set == lane_set::avx2 && has_avx2);
#else
    return set == lane_set::portable;
#endif
}

namespace {

lane_set best_fast_lanes() {
    return fast_lanes_supported(lane_set::avx2) ? lane_set::avx2 : lane_set::portable;
}

}  // namespace

reference_outcome fast_estimate_patch_with(lane_set set, const pass_context& ctx,
                                           fast_scratch& scratch, float* patch, const position& r) {
#if QV_HAS_FAST_AVX2
    if (set == lane_set::avx2) {
        return fast_avx2::estimate(ctx, scratch, patch, r);
    }
#endif
    return fast_portable::estimate(ctx, scratch, patch, r);
}

reference_outcome fast_estimate_patch(const pass_context& ctx, fast_scratch& scratch, float* patch,
                                      const position& r) {
    static const lane_set best = best_fast_lanes();
    return fast_estimate_patch_with(best, ctx, scratch, patch, r);
}

std::array<reference_outcome, 2> fast_estimate_pair_with(lane_set set, const pass_context& ctx,
                                                         fast_scratch& scratch, float* patch_a,
                                                         float* patch_b, const position& a,
                                                         const position& b) {
#if QV_HAS_FAST_AVX2
    if (set == lane_set::avx2) {
        return fast_avx2::estimate_pair(ctx, scratch, patch_a, patch_b, a, b);
    }
#endif
    return fast_portable::estimate_pair(ctx, scratch, patch_a, patch_b, a, b);
}

std::array<reference_outcome, 2> fast_estimate_pair(const pass_context& ctx, fast_scratch& scratch,
                                                    float* patch_a, float* patch_b,
                                                    const position& a, const position& b) {
    static const lane_set best = best_fast_lanes();
    return fast_estimate_pair_with(best, ctx, scratch, patch_a, patch_b, a, b);
}

void fast_add_to_sums(const pass_context& ctx, const reference_outcome& outcome, const float* patch,
                      std::int32_t pitch, const position& r, int axis, std::int32_t begin,
                      std::int32_t end, float* sum_estimate, float* sum_variance) {
    if (outcome.verdict == patch_verdict::no_estimate) {
        return;
    }
#if QV_HAS_FAST_AVX2
    if (fast_lanes_supported(lane_set::avx2)) {
        fast_avx2::add_rows(ctx, outcome, patch, pitch, r, axis, begin, end, sum_estimate,
                            sum_variance);
        return;
    }
#endif
    fast_portable::add_rows(ctx, outcome, patch, pitch, r, axis, begin, end, sum_estimate,
                            sum_variance);
}

void fast_exp(lane_set set, const float* x, float* out, std::size_t n) {
#if QV_HAS_FAST_AVX2
    if (set == lane_set::avx2) {
        fast_avx2::exp_lanes(x, out, n);
        return;
    }
#endif
    fast_portable::exp_lanes(x, out, n);
}

}  // namespace qv
