// What the denoiser reads around a pixel, axis by axis: the search window of
// every iteration, the reference grid's step, how far a pixel's result
// depends on its neighbours (the halo a block of an image needs to be
// denoised as in the whole image), and whether the far end of an axis is
// covered by any reference patch. Axes are numbered x = 0, y = 1, z = 2,
// c = 3, t = 4, as in denoise_params.
#pragma once

#include <cstdint>
#include <vector>

namespace qv {

// Search-window half-size along `axis` in iterations 0 .. iterations-1 for an
// axis of `extent` pixels, searched or not, with a reach (-1 for none): as
// reach_window gives it.
[[nodiscard]] std::vector<std::int32_t> axis_windows(int axis, std::int32_t extent, bool searched,
                                                     std::int32_t iterations,
                                                     std::int32_t reach = -1);

// Step of the interior reference grid along `axis`.
[[nodiscard]] std::int32_t axis_grid_step(int axis, std::int32_t extent, std::int32_t radius);

// How far a pixel's result depends on pixels along `axis`:
// sum_k (2 radius + w_k) over the iterations' windows w_k, plus one when the
// radius exceeds 1 and the first window is 0 (the far plane of reference
// positions then reaches one pixel further); 0 along c and axes of one pixel.
[[nodiscard]] std::int64_t axis_halo(int axis, std::int32_t extent, std::int32_t radius,
                                     bool searched, std::int32_t iterations,
                                     std::int32_t reach = -1);

// Whether no reference patch covers the last pixel along `axis` (x, y or z):
// with a radius of 1 the grid steps by 2 and no far plane runs, so an even
// length leaves its last pixel with the input's noise.
[[nodiscard]] bool far_end_uncovered(int axis, std::int32_t extent, std::int32_t radius);

}  // namespace qv
