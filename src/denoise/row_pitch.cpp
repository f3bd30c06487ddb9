#include "denoise/row_pitch.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace qv {

namespace {

// The count of the image's rows (every y, z, channel and t).
std::int64_t row_count(const array& image) {
    return std::int64_t{image.ny} * image.nz * image.nc * image.nt;
}

// How many of 64 cache sets (64-byte lines) the starts of 16 rows of nx
// floats fall in.
int sets_of_16_rows(std::int32_t nx) {
    std::set<std::int64_t> sets;
    for (std::int64_t r = 0; r < 16; ++r) {
        sets.insert((r * nx * 4 / 64) % 64);
    }
    return static_cast<int>(sets.size());
}

}  // namespace

std::int32_t padded_row_length(std::int32_t nx) {
    constexpr std::int32_t shortest_padded = 256;
    constexpr int fewest_sets = 8;
    if (nx < shortest_padded || sets_of_16_rows(nx) >= fewest_sets) {
        return nx;
    }
    return (nx + 15) / 32 * 32 + 16;
}

array with_row_pitch(const array& image, std::int32_t pitch) {
    array out;
    out.alloc(shape{pitch, image.ny, image.nz, image.nc, image.nt});
    const std::int64_t rows = row_count(image);
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(image.nx);
#pragma omp parallel for schedule(static)
    for (std::int64_t row = 0; row < rows; ++row) {
        std::memcpy(out.data.data() + row * pitch, image.data.data() + row * image.nx, bytes);
    }
    return out;
}

bool pad_rows_in_place(array& image, std::int32_t pitch) {
    const std::int64_t rows = row_count(image);
    const std::int32_t nx = image.nx;
    const auto padded = static_cast<std::size_t>(rows * pitch);
    if (pitch < nx || padded > image.data.capacity()) {
        return false;
    }
    image.data.resize(padded);
    // Row r moves from r * nx to r * pitch >= r * nx: in reverse row order no
    // row is overwritten before it moves.
    for (std::int64_t row = rows - 1; row >= 0; --row) {
        float* to = image.data.data() + row * pitch;
        std::memmove(to, image.data.data() + row * nx,
                     sizeof(float) * static_cast<std::size_t>(nx));
        std::fill(to + nx, to + pitch, 0.0f);
    }
    image.nx = pitch;
    return true;
}

void copy_rows(const array& image, std::int32_t nx, array& out) {
    out.alloc(shape{nx, image.ny, image.nz, image.nc, image.nt});
    const std::int64_t rows = row_count(image);
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(nx);
#pragma omp parallel for schedule(static)
    for (std::int64_t row = 0; row < rows; ++row) {
        std::memcpy(out.data.data() + row * nx, image.data.data() + row * image.nx, bytes);
    }
}

void keep_rows(array& image, std::int32_t nx) {
    const std::int64_t rows = row_count(image);
    const std::int32_t pitch = image.nx;
    if (pitch == nx) {
        return;
    }
    // Row r moves from r * pitch to r * nx <= r * pitch: in row order no row
    // is overwritten before it moves.
    for (std::int64_t row = 1; row < rows; ++row) {
        std::memmove(image.data.data() + row * nx, image.data.data() + row * pitch,
                     sizeof(float) * static_cast<std::size_t>(nx));
    }
    image.data.resize(static_cast<std::size_t>(rows * nx));
    image.nx = nx;
}

void invert_rows(array& image, std::int32_t nx) {
    const std::int64_t rows = row_count(image);
    const std::int32_t pitch = image.nx;
#pragma omp parallel for schedule(static)
    for (std::int64_t row = 0; row < rows; ++row) {
        float* v = image.data.data() + row * pitch;
        for (std::int32_t x = 0; x < nx; ++x) {
            v[x] = 1.0f / v[x];
        }
    }
}

}  // namespace qv
