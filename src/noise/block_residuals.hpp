// Block summaries of noise residuals, for fitting a variance line to them.
//
// A residual is a combination of pixels whose expected square is the noise
// variance wherever the signal cancels in it; a wide residual has the same
// expectation for noise alone but grows faster with signal that does not
// cancel; a local mean averages the noise-free intensities with the weights
// that make E[residual^2] = gain * E[mean] + offset. Each is summarised over
// square blocks of `side` x `side` pixels per plane (whole blocks only, from
// the corner of the region where the residual is defined), in the order
// (plane, block row, block column).
//
// Pixel arithmetic is in float32 in a fixed order; each block's sums are
// accumulated in double by one thread, row by row, so results do not depend
// on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv {

// `count` planes of ny x nx float32 pixels, C order, not owned.
struct plane_stack {
    const float* data = nullptr;
    std::int64_t count = 0;
    std::int64_t ny = 0;
    std::int64_t nx = 0;

    [[nodiscard]] const float* plane(std::int64_t p) const { return data + p * ny * nx; }
};

// Per block: mean of the local means, of the squared residual and of the
// squared wide residual; `side` is the block side used (0 when no block fits).
struct block_summaries {
    int side = 0;
    std::vector<double> mean;
    std::vector<double> energy;
    std::vector<double> wide;

    void resize(std::size_t blocks);
};

// The high-pass residuals of single planes, each over 5 x 5 pixels and
// scaled to unit noise gain, with a wide residual over the 5 x 5 pixels two
// apart:
// - fourth_difference: the fourth difference along Y of the fourth
//   differences along X; it vanishes wherever the plane is a cubic along Y or
//   along X;
// - cubic_fit: the pixel minus the value at its centre of the product of
//   cubics along Y and X least-squares fitted to its neighbourhood.
enum class spatial_residual { fourth_difference, cubic_fit };

// Block summaries of a spatial residual. The local mean of both residuals
// weighs the 5 x 5 pixels by the squared fourth-difference taps. Defined 4
// pixels in from every edge. `side` is `block`, or less when the plane is
// smaller; no blocks below 2 pixels.
[[nodiscard]] block_summaries spatial_block_summaries(const plane_stack& planes,
                                                      spatial_residual kind, int block,
                                                      int threads);

// Differences of neighbouring frames: `planes` holds `frames` frames of
// planes.count / frames planes each. For every pair (k, k + 1) and plane,
// each block of frame k + 1 is shifted by up to one pixel along Y and X;
// the residual is the difference over sqrt(2) and the wide residual the sum
// of its 3 x 3 neighbours over 3. The shift of a block is the one whose wide
// energy is lowest in pair k - 2 (pair k + 2 for the first two pairs; no
// shift when that pair does not exist), which shares no frame, and so no
// noise, with pair k. Defined 2 pixels in from every edge. Blocks are in
// the order (pair, plane, block row, block column).
[[nodiscard]] block_summaries temporal_block_summaries(const plane_stack& planes,
                                                       std::int64_t frames, int block, int threads);

// Block summaries as spatial_block_summaries and temporal_block_summaries,
// and in `parts` the blocks' pixels split by the level class of their local
// mean: records (block, count, mean, energy, wide), blocks in output order
// and classes ascending within a block; none when `levels` is empty. The
// class of a pixel is the number of `levels` (ascending) at or below its
// local mean (0 for NaN). The parts' local means weigh each pixel's
// neighbours as its residual's expected square does (for the cubic fit not
// as its blocks' means, nor as the local mean its pixels are sorted by,
// which weighs them by the squared fourth-difference taps).
// `left_out`, when given, holds a byte per pixel of `planes`: the residuals
// of the pixels where it is non-zero are left out of the parts (not of the
// blocks' summaries) of spatial_block_parts; in temporal_block_parts a
// difference either of whose pixels (the later frame's at the block's
// shift) is non-zero.
[[nodiscard]] block_summaries spatial_block_parts(const plane_stack& planes, spatial_residual kind,
                                                  int block, int threads,
                                                  const std::vector<double>& levels,
                                                  std::vector<double>& parts,
                                                  const std::uint8_t* left_out = nullptr);
[[nodiscard]] block_summaries temporal_block_parts(const plane_stack& planes, std::int64_t frames,
                                                   int block, int threads,
                                                   const std::vector<double>& levels,
                                                   std::vector<double>& parts,
                                                   const std::uint8_t* left_out = nullptr);

}  // namespace qv
