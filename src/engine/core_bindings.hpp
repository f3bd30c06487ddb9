// Bindings of what the package needs from the core besides denoising: the
// noise calibrations (with a thread count, reporting instead of printing),
// and the denoiser's geometry and transforms, so that the package derives
// halos, grids and stabilised images from the core itself.
#pragma once

#include <pybind11/pybind11.h>

namespace qv::engine {

// Adds `calibrate_gaussian` and `calibrate_poisson_gaussian`.
void bind_calibrations(pybind11::module_& m);

// Adds `search_half_sizes`, `grid_step`, `halo`, `far_end_uncovered`,
// `anscombe` and `inverse_anscombe`.
void bind_geometry(pybind11::module_& m);

}  // namespace qv::engine
