// Work images whose rows are longer than the image's: the fast kernel reads
// its candidates' patches row by row over every frame and plane of a window,
// and where a row's length in bytes is a multiple of a large power of two
// those rows all fall in the same few sets of the CPU's first-level cache
// and evict each other (on 24 still frames, rows of 1024 floats took 1.7
// times as long as rows of 1040). Padding the rows to an odd count of
// 64-byte lines spreads them over every set. The padding is never a
// position of the image (the passes' ranges come from the image's extents),
// holds zeros, and no estimate reads it into a result: the same bits.
#pragma once

#include <cstdint>

#include "array/array.hpp"

namespace qv {

// The row length the fast kernel's work images get for rows of nx floats:
// nx itself where 16 consecutive rows already start in at least 8 different
// sets of 64 lines of 64 bytes (and for rows under 256 floats, where a
// frame's window stays cached anyway); else the next length that is an odd
// multiple of 16 floats.
[[nodiscard]] std::int32_t padded_row_length(std::int32_t nx);

// A copy of `image` with rows of `pitch` >= image.nx floats, the rest zero.
[[nodiscard]] array with_row_pitch(const array& image, std::int32_t pitch);

// `image` given rows of `pitch` >= image.nx floats (the rest zero) within
// its storage, where its capacity has room: the storage stays where it is.
// False (and `image` unchanged) where it has no room.
bool pad_rows_in_place(array& image, std::int32_t pitch);

// The first nx floats of every row of `image` (rows of image.nx floats),
// into `out` (resized to nx columns; its storage is reused when it holds
// as many floats).
void copy_rows(const array& image, std::int32_t nx, array& out);

// The same in place: `image` ends with rows of nx floats.
void keep_rows(array& image, std::int32_t nx);

// v = 1 / v at the first nx elements of every row.
void invert_rows(array& image, std::int32_t nx);

}  // namespace qv
