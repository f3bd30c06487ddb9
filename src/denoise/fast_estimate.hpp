// The fast estimate of one reference position: the same weighted patch mean
// and acceptance test as estimate_reference, in float32 with fused
// multiply-adds, per-pixel inverse variances and a polynomial exp, eight
// candidates per SIMD vector. Not the same bits as the exact kernel; its own
// bits depend only on the inputs and the candidate window, never on where the
// image lies in memory, the thread count or the chunking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "denoise/kernel.hpp"
#include "denoise/patch_estimate.hpp"

namespace qv {

// Eight consecutive x positions of one window row whose distances and
// weights share one vector (lane l at image index first + l). `valid` has bit
// l set for the lanes that are positions of the window this block stands for
// (a row's last block may overlap the one before it: the lanes of that one
// are not valid here), `weighed` for those that are candidates (the
// reference itself is none).
struct candidate_block {
    std::int32_t first = 0;
    std::uint32_t valid = 0;
    std::uint32_t weighed = 0;
};

// What one reference position of a call keeps: its patch's previous
// estimate and inverse variance (rows padded to the scratch's pitch), and the
// weights of its candidates: eight per block, one per single candidate.
struct reference_buffers {
    std::vector<float> patch_estimate;
    std::vector<float> patch_inverse;
    std::vector<float> block_weight;
    std::vector<float> single_weight;
};

// A patch row of either of two references estimated together (the second
// `delta` elements after the first): its offset from the first's index and
// its row in each (-1 where it is none of its rows).
struct shared_row {
    std::int32_t offset = 0;
    std::int32_t row_a = -1;
    std::int32_t row_b = -1;
};

// Per-thread scratch of the fast estimate, sized for one pass. Patch rows
// are padded to `pitch` elements (a multiple of 8): element (row, x) of a
// patch is at row * pitch + x.
struct fast_scratch {
    std::int32_t pitch = 8;
    // The reference (and the second one of a pair).
    std::array<reference_buffers, 2> refs;
    // The window: blocks of eight candidates, and the single candidates (the
    // last one of a row whose length is 1 past a multiple of eight, taken
    // eight at a time with the lanes along the patch rows), indices relative
    // to the reference's; those of every
    // whole window (built once) or of a window the image clips.
    // The single candidates' lists are padded to a multiple of eight with
    // their last one; the counts are those before padding.
    std::vector<candidate_block> whole_blocks;
    std::vector<std::int32_t> whole_singles;
    std::int32_t whole_single_count = 0;
    bool whole_ready = false;
    std::vector<candidate_block> own_blocks;
    std::vector<std::int32_t> own_singles;
    std::int32_t own_single_count = 0;
    // The window those were built for: (lo, hi) per axis relative to the
    // reference (the lists relative to the reference depend on nothing else).
    std::array<std::int32_t, 8> own_range{};
    bool own_ready = false;
    // Which list blocks points to: 0 for the whole window's, a new number
    // each time the clipped window's list is rebuilt.
    std::int64_t list_id = 0;
    std::int64_t own_builds = 0;
    const std::vector<candidate_block>* blocks = nullptr;
    const std::vector<std::int32_t>* singles = nullptr;
    std::int32_t single_count = 0;
    // The candidates of nonzero weight, in order: their indices and weights.
    std::vector<std::int32_t> kept_start;
    std::vector<float> kept_weight;
    // The right parts of the patch rows of the last reference's blocks (eight
    // floats per block and row), the left parts of the next reference of its
    // grid row: the index that reference has and the list they belong to.
    // Empty where the window's blocks times the patch rows would need too
    // much memory.
    std::vector<float> row_carry;
    std::int64_t carry_for = -1;
    std::int64_t carry_list = -1;
    // A reference's own patch rows, as weigh_blocks reads them.
    std::vector<shared_row> own_rows;
    // The same for pairs of references: their rows in offset order (built
    // for pair_delta), the right parts of every one of those rows, the index
    // of the first reference of the pair they serve and their list.
    std::vector<shared_row> pair_rows;
    std::int64_t pair_delta = 0;
    std::vector<float> pair_carry;
    std::int64_t pair_carry_for = -1;
    std::int64_t pair_carry_list = -1;

    explicit fast_scratch(const pass_context& ctx);
    // Floats of the patch buffer fast_estimate_patch writes.
    [[nodiscard]] static std::size_t patch_floats(const pass_context& ctx);
};

// The fast estimate of reference r, with ctx.prev_variance holding inverse
// variances (ctx.inverse_variance). patch (patch_floats(ctx) floats)
// receives the patch estimate with rows `pitch` apart; the outcome is that of
// the acceptance test.
[[nodiscard]] reference_outcome fast_estimate_patch(const pass_context& ctx, fast_scratch& scratch,
                                                    float* patch, const position& r);

// The fast estimates of references a and b, b at the same x as a and later
// in the visiting order (the next grid row along y, z or t), each with the
// bits fast_estimate_patch gives it: where their windows are alike relative
// to each (whole, or clipped alike), the patch rows they share are compared
// with the candidates once for both.
[[nodiscard]] std::array<reference_outcome, 2> fast_estimate_pair(const pass_context& ctx,
                                                                  fast_scratch& scratch,
                                                                  float* patch_a, float* patch_b,
                                                                  const position& a,
                                                                  const position& b);

// Adds the outcome of reference r (its patch estimate from
// fast_estimate_patch, rows `pitch` apart) to the sum images, in the patch
// rows whose coordinate along `axis` (1 y, 2 z, 3 t) lies in [begin, end);
// the rejected patch's pixels add their previous estimate and variance. The
// same additions as the exact kernel's, one per pixel.
void fast_add_to_sums(const pass_context& ctx, const reference_outcome& outcome, const float* patch,
                      std::int32_t pitch, const position& r, int axis, std::int32_t begin,
                      std::int32_t end, float* sum_estimate, float* sum_variance);

// The builds fast_estimate_patch chooses from: AVX2 with FMA where the CPU has
// both, the portable one otherwise. They need not give the same bits.
[[nodiscard]] bool fast_lanes_supported(lane_set set) noexcept;

[[nodiscard]] reference_outcome fast_estimate_patch_with(lane_set set, const pass_context& ctx,
                                                         fast_scratch& scratch, float* patch,
                                                         const position& r);

[[nodiscard]] std::array<reference_outcome, 2> fast_estimate_pair_with(
    lane_set set, const pass_context& ctx, fast_scratch& scratch, float* patch_a, float* patch_b,
    const position& a, const position& b);

// The kernel's exp on n values, with the given build: relative error below
// 3e-7 where exp(x) is a normal float; 0 below x = -87.3365 (where exp(x) is
// smaller than the least normal float), +inf above 88.37.
void fast_exp(lane_set set, const float* x, float* out, std::size_t n);

}  // namespace qv
