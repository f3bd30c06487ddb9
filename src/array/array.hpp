// The one image type of quorvel: a dense float32 block over five axes.
#pragma once

#include <cstdint>
#include <vector>

namespace qv {

// Extents of the five axes: x (columns, fastest), y (rows), z (planes),
// c (channels) and t (time points).
struct shape {
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int32_t nz = 0;
    std::int32_t nc = 0;
    std::int32_t nt = 0;

    // Element count, every extent widened to 64 bits before multiplying.
    [[nodiscard]] std::uint64_t size() const noexcept {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(nx)) *
               static_cast<std::uint64_t>(static_cast<std::int64_t>(ny)) *
               static_cast<std::uint64_t>(static_cast<std::int64_t>(nz)) *
               static_cast<std::uint64_t>(static_cast<std::int64_t>(nc)) *
               static_cast<std::uint64_t>(static_cast<std::int64_t>(nt));
    }
};

// An image that owns its storage. Element (x, y, z, c, t) lives at
// x + nx*(y + ny*(z + nz*(c + nc*t))). An array is either empty (all extents
// 0, no elements) or sized (every extent >= 1 and exactly size() elements).
struct array : shape {
    std::vector<float> data;

    array() = default;
    // Copies nx*ny*nz*nc*nt floats from src (or stays empty for a null
    // source or a zero count).
    array(const float* src, std::int32_t nx, std::int32_t ny, std::int32_t nz, std::int32_t nc,
          std::int32_t nt);

    // Every element 0 in shape s; the empty array when s holds no elements.
    array& alloc(const shape& s);
    // A copy of s.size() floats from src in shape s; the empty array when src
    // is null or s holds no elements.
    array& assign(const float* src, const shape& s);
    // The empty array, with its storage released.
    array& clear();
    // Every element becomes v; the extents stay.
    array& fill(float v);
    // Exchanges extents and storage in constant time.
    void swap(array& other) noexcept;

    [[nodiscard]] const shape& extents() const noexcept { return *this; }

 private:
    void set_extents(const shape& s) noexcept;
    // Makes data hold exactly n elements, reusing the capacity it has and
    // releasing the old block first when it is too small.
    void resize_storage(std::uint64_t n);
};

}  // namespace qv
