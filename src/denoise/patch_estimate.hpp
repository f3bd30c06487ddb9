// The estimate of one reference position, computed on blocks of consecutive
// candidates: the same numbers as estimate_reference, faster.
#pragma once

#include <cstdint>
#include <vector>

#include "denoise/kernel.hpp"

namespace qv {

// Per-thread scratch for one row of candidates (consecutive x positions).
struct candidate_row_scratch {
    // Candidate rows are taken batch_rows at a time (whole window rows);
    // distance and weight hold one batch, row_start the image index of the
    // first candidate of each of its rows.
    std::int32_t batch_rows = 1;
    std::vector<std::int32_t> row_start;
    std::vector<double> distance;
    std::vector<double> weight;
    // The noisy values the candidates of one batch read, widened to double
    // once per batch instead of once per candidate (see fill_source_tile).
    std::vector<double> source_tile;
    // The weighted patch sum is updated out of place: the second buffer.
    std::vector<float> next_patch;
    // Patch elements per chunk (4, or 1 for rows shorter than 4), how many
    // chunks are kept in registers together (5 to 8), and for each chunk its
    // start in the patch buffer, its patch row and x, and its start in the
    // source tile relative to the first candidate's patch; a whole number of
    // groups.
    std::int32_t chunk_lanes = 1;
    std::int32_t chunk_group = 8;
    std::vector<std::int32_t> chunk_patch_offset;
    std::vector<std::int32_t> chunk_row;
    std::vector<std::int32_t> chunk_x;
    std::vector<std::int32_t> chunk_source_offset;

    // Room for the longest candidate row of a pass.
    explicit candidate_row_scratch(const pass_context& ctx);
};

// Weighted patch mean of the candidates around r and its acceptance test.
// patch (ctx.patch_size() floats, any prior content) receives what
// reference_work::patch_sum holds after estimate_reference, and the outcome is
// the one estimate_reference returns: bit for bit, on every CPU.
//
// How: the distances of four or eight consecutive candidates are computed at
// once, one SIMD lane per candidate, each lane doing the scalar sequence of
// float terms and double sums of patch_distance; the AVX2 build lays the
// candidate rows of a batch end to end across the lanes and runs two blocks
// of eight together. The weighted sum then runs over groups of four patch
// elements in SIMD lanes, each element taking the candidates of the row one
// after another as the scalar code does, several groups at a time, reading
// the noisy values from a tile widened to double once per batch. The weights
// (exp) and their sums stay scalar, in candidate order. Only the evaluation order across
// independent quantities changes, never the operations on one quantity, so no rounding changes (the
// build forbids FMA contraction and enables no FMA target).
[[nodiscard]] reference_outcome estimate_patch(const pass_context& ctx,
                                               candidate_row_scratch& scratch, float* patch,
                                               const position& r);

// The instruction-set builds estimate_patch chooses from at run time (the
// best one the CPU supports). Exposed so that tests check every build the
// machine can run, not only the one it would choose.
enum class lane_set { portable, avx2 };

[[nodiscard]] bool lane_set_supported(lane_set set) noexcept;

// estimate_patch with the given build; the set must be supported.
[[nodiscard]] reference_outcome estimate_patch_with(lane_set set, const pass_context& ctx,
                                                    candidate_row_scratch& scratch, float* patch,
                                                    const position& r);

}  // namespace qv
