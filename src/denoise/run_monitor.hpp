// Watching a denoising run from another thread: how far it got, and a flag
// that stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace qv {

// Thrown by denoiser::run when the monitor's cancel flag was set.
struct run_cancelled : std::runtime_error {
    run_cancelled() : std::runtime_error("denoising cancelled") {}
};

// Shared between a run (which writes the counters) and an observer thread
// (which reads them and may set `cancel`). The estimation pass checks the
// flag after every row of reference positions.
struct run_monitor {
    std::atomic<bool> cancel{false};
    // The current iteration, -1 before the first one.
    std::atomic<std::int32_t> iteration{-1};
    // Reference positions of the current pass: visited so far, and in all.
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{0};
    // Relative work of each iteration (candidates per reference position),
    // set once before the first iteration.
    std::vector<double> iteration_work;

    // Work done over all iterations, in [0, 1]; approximate while a pass
    // runs, never above the end of the current iteration.
    [[nodiscard]] double fraction() const noexcept {
        const std::int32_t k = iteration.load(std::memory_order_acquire);
        if (k < 0 || iteration_work.empty()) {
            return 0.0;
        }
        double before = 0.0;
        double all = 0.0;
        for (std::size_t i = 0; i < iteration_work.size(); ++i) {
            if (static_cast<std::int32_t>(i) < k) {
                before += iteration_work[i];
            }
            all += iteration_work[i];
        }
        const auto n = static_cast<double>(total.load(std::memory_order_relaxed));
        const auto d = static_cast<double>(done.load(std::memory_order_relaxed));
        double within = n > 0.0 ? d / n : 0.0;
        within = within < 1.0 ? within : 1.0;
        const std::size_t kk = static_cast<std::size_t>(k);
        const double current = kk < iteration_work.size() ? iteration_work[kk] : 0.0;
        return all > 0.0 ? (before + current * within) / all : 0.0;
    }

    [[nodiscard]] bool cancelled() const noexcept { return cancel.load(std::memory_order_relaxed); }
};

}  // namespace qv
