// Checks of a noise model before its variance-stabilising transforms run.
#pragma once

#include <cstdint>

#include "noise/noise_model.hpp"

namespace qv {

// Throws std::invalid_argument unless gain and offset hold an entry for each
// of nc channels, every gain a finite number above 0 and every offset finite.
void check_transform_parameters(const noise_model& model, std::int32_t nc);

}  // namespace qv
