// The patch-based estimation kernel: one pass of weighted patch means over a
// search window, an acceptance test, and aggregation into the sum images.
#pragma once

#include "array/array.hpp"
#include "denoise/denoiser.hpp"

namespace qv {

// One estimation pass; adds into sum_estimate, sum_variance, contrib_count.
void estimation_pass(const denoise_params& params, const array& noisy, float sigma,
                     const axis5& window, const array& prev_estimate, const array& prev_variance,
                     array& sum_estimate, array& sum_variance, array& contrib_count);

}  // namespace qv
