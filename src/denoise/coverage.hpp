// The contribution counts of an estimation pass without a count image: the
// number of reference patches covering a pixel follows from the geometry of
// the pass, less the patches of the few positions without an estimate.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "array/array.hpp"
#include "denoise/kernel.hpp"

namespace qv {

class pass_coverage {
 public:
    // The coverage of every pass over an image shaped like `noisy` with
    // these parameters (the positions a pass visits do not depend on its
    // window or on the image's values); with row_extent > 0, over rows of
    // that many pixels (`noisy`'s own rows being longer: row_pitch.hpp).
    pass_coverage(const denoise_params& params, const array& noisy, std::int32_t row_extent = 0);

    // Takes the positions without an estimate of one pass (pass_hooks).
    void set_missing(const std::vector<std::array<std::int32_t, 5>>& missing);

    // The count of every pixel of row (y, z, t), for x = 0 .. nx-1: what a
    // pass adds into contrib_count there, as the same float.
    void row_counts(std::int32_t y, std::int32_t z, std::int32_t t, float* out) const;

    // The image's row length (nx): the counts row_counts gives.
    [[nodiscard]] std::int32_t row_length() const { return extent_[0]; }

 private:
    position extent_{};
    position radius_{};
    // Per region, per axis (x, y, z, t): how many of the region's positions
    // have a patch covering each coordinate.
    std::vector<std::array<std::vector<float>, 4>> cover_;
    // Per row index (y + ny * (z + nz * t)): first x of each missing patch
    // that covers the row.
    std::unordered_map<std::int64_t, std::vector<std::int32_t>> missing_rows_;
};

// update_pass with the counts of `coverage` in place of a count image.
void update_pass(const array& noisy, float renoise_variance, const array& prev_estimate,
                 const array& prev_variance, array& sum_estimate, array& sum_variance,
                 const pass_coverage& coverage, const denoise_params& params);

}  // namespace qv
