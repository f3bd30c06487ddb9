#include "module/convert.hpp"

#include <omp.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "array/threads.hpp"

namespace qv {

namespace {

constexpr std::int64_t max_elements = std::numeric_limits<std::int32_t>::max();

}  // namespace

shape shape_from_extents(const pybind11::ssize_t* extents, pybind11::ssize_t rank) {
    if (rank < 1) {
        throw std::runtime_error("Array should have at least 1 dimension.");
    }
    if (rank > 5) {
        throw std::runtime_error("Array should have less than 5 dimensions.");
    }
    // The computations index elements with 32-bit offsets: refuse any axis or
    // element count they could not address, rather than wrap around.
    std::int32_t ext[5] = {1, 1, 1, 1, 1};
    std::int64_t count = 1;
    bool empty = false;
    for (pybind11::ssize_t i = 0; i < rank; ++i) {
        const std::int64_t len = extents[rank - 1 - i];
        if (len == 0) {
            empty = true;
        }
        if (len > max_elements) {
            throw std::length_error("array is too large (at most 2147483647 elements)");
        }
        ext[i] = static_cast<std::int32_t>(len);
        if (!empty) {
            count *= len;
            if (count > max_elements) {
                throw std::length_error("array is too large (at most 2147483647 elements)");
            }
        }
    }
    if (empty) {
        return shape{};
    }
    return shape{ext[0], ext[1], ext[2], ext[3], ext[4]};
}

array from_numpy(const image_arg& a) {
    const image_arg held = a;  // our own reference for the duration of the copy
    const shape s = shape_from_extents(held.shape(), held.ndim());
    return array(held.data(), s.nx, s.ny, s.nz, s.nc, s.nt);
}

void write_back(image_arg& a, const array& img) {
    float* dst = a.mutable_data();  // raises domain_error for a read-only array
    const auto n = static_cast<std::size_t>(a.size());
    if (n > 0) {
        std::memcpy(dst, img.data.data(), n * sizeof(float));
    }
}

void set_thread_count(int n) {
    const std::int64_t wanted = n > 0 ? n : static_cast<std::int64_t>(omp_get_max_threads()) + n;
    omp_set_num_threads(clamp_thread_count(wanted));
}

}  // namespace qv
