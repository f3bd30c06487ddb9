// Vectorised per-reference estimation, dispatched at run time: an AVX2 build
// of the lane code for CPUs that have it, and the portable build (generic
// vector types lowered for the baseline target, SSE2 on x86-64) for all
// others. Both give the same bits, those of estimate_reference: no FMA target
// is enabled and -ffp-contract=off keeps every a * b + c two roundings. The
// AVX2 code lives only in functions with a target attribute and runs only
// after the CPU check, so the library needs no -march flag and an installed
// build runs on any x86-64.
#include "denoise/patch_estimate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "denoise/regions.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QV_HAS_AVX2_BUILD 1
#include <immintrin.h>
#endif

#define QV_INLINE [[gnu::always_inline]] inline
// The innermost loops get functions of their own: their accumulators then
// stay in registers instead of competing with the whole candidate loop.
#define QV_KERNEL [[gnu::noinline]]

// The lane helpers pass 32- and 64-byte vectors by value. They are always
// inlined and never called across a target boundary, so the ABI note GCC
// gives for them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace qv {

namespace {

struct weight_totals {
    float weight_sum = 0.0f;
    float sq_weight_sum = 0.0f;
    float max_weight = 0.0f;
};

}  // namespace

}  // namespace qv

#if QV_HAS_AVX2_BUILD
#define QV_LANES_AVX2 1
#define QV_LANES_TARGET __attribute__((target("avx2")))
namespace qv::lanes_avx2 {
namespace {
#include "denoise/patch_estimate_lanes.inc"
}  // namespace
}  // namespace qv::lanes_avx2
#undef QV_LANES_AVX2
#undef QV_LANES_TARGET
#endif

#define QV_LANES_AVX2 0
#define QV_LANES_TARGET
namespace qv::lanes_portable {
namespace {
#include "denoise/patch_estimate_lanes.inc"
}  // namespace
}  // namespace qv::lanes_portable
#undef QV_LANES_AVX2
#undef QV_LANES_TARGET

namespace qv {

candidate_row_scratch::candidate_row_scratch(const pass_context& ctx)
    : next_patch(static_cast<std::size_t>(ctx.patch_size())) {
    const std::int64_t longest =
        std::min<std::int64_t>(ctx.extent[0], 2 * std::int64_t{ctx.window[0]} + 1);
    const std::int64_t rows =
        std::min<std::int64_t>(ctx.extent[1], 2 * std::int64_t{ctx.window[1]} + 1);
    // A few thousand candidates per batch at most.
    constexpr std::int64_t batch_candidates = 2048;
    batch_rows = static_cast<std::int32_t>(std::max<std::int64_t>(
        1, std::min(rows, batch_candidates / std::max<std::int64_t>(1, longest))));
    row_start.resize(static_cast<std::size_t>(batch_rows));
    distance.resize(static_cast<std::size_t>(batch_rows * std::max<std::int64_t>(1, longest)));
    weight.resize(distance.size());
    // Chunks of four along each patch row, the last one moved back to end at
    // the row's end; rows shorter than four go element by element.
    const std::int32_t row_length = ctx.row_length;
    chunk_lanes = row_length >= 4 ? 4 : 1;
    std::vector<std::int32_t> starts;
    for (std::int32_t x = 0; x + chunk_lanes <= row_length; x += chunk_lanes) {
        starts.push_back(x);
    }
    if (row_length % chunk_lanes != 0) {
        starts.push_back(row_length - chunk_lanes);
    }
    for (std::size_t row = 0; row < ctx.row_offsets.size(); ++row) {
        for (const std::int32_t x : starts) {
            chunk_patch_offset.push_back(static_cast<std::int32_t>(row) * row_length + x);
            chunk_row.push_back(static_cast<std::int32_t>(row));
            chunk_x.push_back(x);
        }
    }
    // The group size that needs the fewest repeated chunks, then the largest;
    // the last chunk repeats to fill the last group.
    const auto chunks = static_cast<std::int32_t>(chunk_patch_offset.size());
    std::int32_t best_padding = chunks;
    for (std::int32_t group = 8; group >= 5; --group) {
        const std::int32_t padding = (group - chunks % group) % group;
        if (padding < best_padding) {
            best_padding = padding;
            chunk_group = group;
        }
    }
    while (chunk_patch_offset.size() % static_cast<std::size_t>(chunk_group) != 0) {
        chunk_patch_offset.push_back(chunk_patch_offset.back());
        chunk_row.push_back(chunk_row.back());
        chunk_x.push_back(chunk_x.back());
    }
    chunk_source_offset.resize(chunk_patch_offset.size());
    const std::int64_t tile_rows = (batch_rows + 2 * std::int64_t{ctx.radius[1]}) *
                                   (2 * ctx.radius[2] + 1) * ctx.noisy.nc * (2 * ctx.radius[3] + 1);
    source_tile.resize(static_cast<std::size_t>(
        tile_rows * (std::max<std::int64_t>(1, longest) + 2 * std::int64_t{ctx.radius[0]})));
}

bool lane_set_supported(lane_set set) noexcept {
#if QV_HAS_AVX2_BUILD
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return set == lane_set::portable || has_avx2;
#else
    return set == lane_set::portable;
#endif
}

reference_outcome estimate_patch_with(lane_set set, const pass_context& ctx,
                                      candidate_row_scratch& scratch, float* patch,
                                      const position& r) {
#if QV_HAS_AVX2_BUILD
    if (set == lane_set::avx2) {
        return lanes_avx2::estimate(ctx, scratch, patch, r);
    }
#endif
    return lanes_portable::estimate(ctx, scratch, patch, r);
}

reference_outcome estimate_patch(const pass_context& ctx, candidate_row_scratch& scratch,
                                 float* patch, const position& r) {
    static const lane_set best =
        lane_set_supported(lane_set::avx2) ? lane_set::avx2 : lane_set::portable;
    return estimate_patch_with(best, ctx, scratch, patch, r);
}

}  // namespace qv
