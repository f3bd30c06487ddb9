#include "array/array.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace qv {

array::array(const float* src, std::int32_t nx_, std::int32_t ny_, std::int32_t nz_,
             std::int32_t nc_, std::int32_t nt_) {
    assign(src, shape{nx_, ny_, nz_, nc_, nt_});
}

void array::set_extents(const shape& s) noexcept {
    nx = s.nx;
    ny = s.ny;
    nz = s.nz;
    nc = s.nc;
    nt = s.nt;
}

void array::resize_storage(std::uint64_t n) {
    if (n > data.max_size()) {
        // Same error the vector itself would raise, before any state changes.
        throw std::length_error("array is too large");
    }
    const auto count = static_cast<std::size_t>(n);
    if (count > data.capacity()) {
        // Release the old block before taking the new one, so peak memory
        // never holds both.
        std::vector<float>().swap(data);
        data.reserve(count);
    }
    data.resize(count);
}

array& array::alloc(const shape& s) {
    const std::uint64_t n = s.size();
    if (n == 0) {
        return clear();
    }
    resize_storage(n);
    std::memset(data.data(), 0, data.size() * sizeof(float));
    set_extents(s);
    return *this;
}

array& array::assign(const float* src, const shape& s) {
    const std::uint64_t n = s.size();
    if (src == nullptr || n == 0) {
        return clear();
    }
    if (src >= data.data() && src < data.data() + data.size()) {
        // Assigning from our own storage: copy through a fresh block.
        std::vector<float> copy(src, src + n);
        data.swap(copy);
    } else {
        resize_storage(n);
        std::memcpy(data.data(), src, static_cast<std::size_t>(n) * sizeof(float));
    }
    set_extents(s);
    return *this;
}

array& array::clear() {
    std::vector<float>().swap(data);
    set_extents(shape{});
    return *this;
}

array& array::fill(float v) {
    if (data.empty()) {
        return *this;
    }
    if (v == 0.0f && !std::signbit(v)) {
        std::memset(data.data(), 0, data.size() * sizeof(float));
    } else {
        std::fill(data.begin(), data.end(), v);
    }
    return *this;
}

void array::swap(array& other) noexcept {
    std::swap(nx, other.nx);
    std::swap(ny, other.ny);
    std::swap(nz, other.nz);
    std::swap(nc, other.nc);
    std::swap(nt, other.nt);
    if (&other != this) {
        data.swap(other.data);
    }
}

}  // namespace qv
