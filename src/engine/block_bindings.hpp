// Bindings of the block summaries that the package's noise calibration fits.
#pragma once

#include <pybind11/pybind11.h>

namespace qv::engine {

// Adds `spatial_blocks` and `temporal_blocks` to the module.
void bind_block_summaries(pybind11::module_& m);

}  // namespace qv::engine
