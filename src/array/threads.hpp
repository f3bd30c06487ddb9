// The largest thread count a computation starts, shared by every module that
// sets OpenMP's thread count from a caller's request.
#pragma once

#include <cstdint>

namespace qv {

// Threads a computation may start: the larger of 64 and four per processor
// available to the process. A request beyond it would only cost memory (each
// thread has its own stack and buffers) and, far beyond, crash the runtime.
[[nodiscard]] int max_thread_count();

// `requested` threads, at least 1 and at most max_thread_count(): every count
// up to the cap is kept as it is.
[[nodiscard]] int clamp_thread_count(std::int64_t requested);

}  // namespace qv
