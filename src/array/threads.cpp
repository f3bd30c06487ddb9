#include "array/threads.hpp"

#include <omp.h>

#include <algorithm>

namespace qv {

namespace {

constexpr int min_thread_cap = 64;
constexpr int threads_per_processor = 4;

}  // namespace

int max_thread_count() {
    const int processors = std::max(1, omp_get_num_procs());
    return std::max(min_thread_cap, threads_per_processor * processors);
}

int clamp_thread_count(std::int64_t requested) {
    return static_cast<int>(
        std::clamp<std::int64_t>(requested, 1, static_cast<std::int64_t>(max_thread_count())));
}

}  // namespace qv
