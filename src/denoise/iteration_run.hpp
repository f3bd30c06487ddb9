// A run of the denoiser one iteration at a time, which can be continued with
// more iterations later: iteration k depends only on the noisy image and the
// estimate and variance after iteration k - 1, so a run of k iterations
// continued by one more gives the same bits as a run of k + 1.
#pragma once

#include <cstdint>
#include <optional>

#include "array/array.hpp"
#include "denoise/coverage.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/kernel.hpp"

namespace qv {

class iteration_run {
 public:
    // Starts a run of `d` on `noisy` with noise level `sigma`: calls the
    // denoiser's iteration callbacks once. `d` and `noisy` are kept by
    // reference and must outlive the run unchanged; d.params.max_iter is not
    // read. With the fast kernel and counts from the coverage, the work
    // images (and a copy of `noisy`) may get longer rows (row_pitch.hpp);
    // with image_nx > 0, `noisy` already has them, the image's rows being
    // image_nx long.
    iteration_run(denoiser& d, const array& noisy, float sigma, std::int32_t image_nx = 0);

    // Runs iteration done() + 1; with a monitor whose cancel flag is set it
    // throws run_cancelled, and the run must not be continued.
    void next();

    [[nodiscard]] std::int32_t done() const { return done_; }
    // The estimate after the last iteration (the noisy image before the
    // first), copied into `out` (its storage reused when it has the size).
    void copy_estimate(array& out) const;
    // The per-pixel variance of that estimate, moved into `out`; the run
    // must not go on after it.
    void take_variance(array& out);

 private:
    denoiser& d_;
    // The image's row length (the work images' rows may be longer).
    std::int32_t nx_;
    // The noisy image with rows of the work images' length, where they are
    // longer than the image's.
    array padded_noisy_;
    const array& noisy_;
    float sigma_;
    float renoise_variance_;
    std::int32_t done_ = 0;
    // prev_* receive the previous iteration's results through the swap at
    // the start of every iteration: the first one starts from the noisy image
    // and a variance of sigma^2 / 4.
    array prev_estimate_;
    array prev_variance_;
    array sum_estimate_;
    array sum_variance_;
    array contrib_count_;
    pass_hooks hooks_;
    std::optional<pass_coverage> coverage_;
};

}  // namespace qv
