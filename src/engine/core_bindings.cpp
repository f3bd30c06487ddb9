#include "engine/core_bindings.hpp"

#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "array/threads.hpp"
#include "denoise/geometry.hpp"
#include "denoise/transforms.hpp"
#include "engine/images.hpp"
#include "module/convert.hpp"
#include "noise/noise_model.hpp"

namespace py = pybind11;

namespace qv::engine {

namespace {

// The calling thread's OpenMP count for a calibration: n > 0 threads, else
// the processors less -n (at least one), capped.
void use_threads(int n) {
    const std::int64_t wanted = n > 0 ? n : static_cast<std::int64_t>(omp_get_num_procs()) + n;
    omp_set_num_threads(clamp_thread_count(wanted));
}

double calibrate_gaussian(const py::array& image, int threads) {
    const array img = from_numpy(checked_image(image));
    use_threads(threads);
    const int count = omp_get_max_threads();
    const py::gil_scoped_release release;
    return gaussian_sigma(img, count);
}

// gain and offset per channel, and (channel, diagnostic) for every channel
// whose fit failed (gain 1, offset 0 there), as the core's own calibration
// gives them.
std::tuple<std::vector<float>, std::vector<float>,
           std::vector<std::pair<std::int32_t, std::string>>>
calibrate_poisson_gaussian(const py::array& image, int threads) {
    const array img = from_numpy(checked_image(image));
    use_threads(threads);
    noise_model model;
    std::vector<std::pair<std::int32_t, std::string>> failures;
    {
        const py::gil_scoped_release release;
        model.calibrate(
            img, [&](std::int32_t c, const std::string& text) { failures.emplace_back(c, text); });
    }
    return {model.gain, model.offset, failures};
}

// The model of one channel per entry of gain and offset, checked for the
// image's channels.
noise_model transform_model(const array& img, const std::vector<float>& gain,
                            const std::vector<float>& offset) {
    noise_model model;
    model.gain = gain;
    model.offset = offset;
    if (gain.size() != static_cast<std::size_t>(img.nc) ||
        offset.size() != static_cast<std::size_t>(img.nc)) {
        throw std::invalid_argument("gain and offset need one entry per channel");
    }
    check_transform_parameters(model, img.nc);
    return model;
}

float_array transformed(const py::array& image, const std::vector<float>& gain,
                        const std::vector<float>& offset, bool forward) {
    array img = from_numpy(checked_image(image));
    const noise_model model = transform_model(img, gain, offset);
    if (forward) {
        model.forward_transform(img);
    } else {
        model.inverse_transform(img);
    }
    return adopt(std::move(img), image);
}

int axis_index(int axis) {
    if (axis < 0 || axis > 4) {
        throw std::invalid_argument("axis must be 0 to 4 (x, y, z, c, t)");
    }
    return axis;
}

}  // namespace

void bind_calibrations(py::module_& m) {
    m.def("calibrate_gaussian", &calibrate_gaussian, py::arg("image"), py::kw_only(),
          py::arg("threads") = 0,
          "Gaussian noise standard deviation of an image: the core's estimate (robust scale of "
          "its pseudo-residuals), with `threads` OpenMP threads (0: every processor).");
    m.def("calibrate_poisson_gaussian", &calibrate_poisson_gaussian, py::arg("image"),
          py::kw_only(), py::arg("threads") = 0,
          "The core's Poisson-Gaussian calibration: `(gain, offset, failures)`, one gain and "
          "offset per channel, and `(channel, text)` for every channel whose points fix no "
          "line (gain 1, offset 0 there): the diagnostic `_qv` prints instead.");
}

void bind_geometry(py::module_& m) {
    m.def(
        "search_half_sizes",
        [](int axis, std::int32_t extent, bool searched, std::int32_t iterations,
           std::int32_t reach) {
            return axis_windows(axis_index(axis), extent, searched, iterations, reach);
        },
        py::arg("axis"), py::arg("extent"), py::arg("searched"), py::arg("iterations"),
        py::arg("reach") = -1,
        "Search-window half-size along `axis` (0 x, 1 y, 2 z, 3 c, 4 t) in each iteration.");
    m.def(
        "grid_step",
        [](int axis, std::int32_t extent, std::int32_t radius) {
            return axis_grid_step(axis_index(axis), extent, radius);
        },
        py::arg("axis"), py::arg("extent"), py::arg("radius"),
        "Step of the reference grid along `axis`.");
    m.def(
        "halo",
        [](int axis, std::int32_t extent, std::int32_t radius, bool searched,
           std::int32_t iterations, std::int32_t reach) {
            return axis_halo(axis_index(axis), extent, radius, searched, iterations, reach);
        },
        py::arg("axis"), py::arg("extent"), py::arg("radius"), py::arg("searched"),
        py::arg("iterations"), py::arg("reach") = -1,
        "How far a pixel's result depends on its neighbours along `axis`.");
    m.def(
        "far_end_uncovered",
        [](int axis, std::int32_t extent, std::int32_t radius) {
            return axis_index(axis) != 3 && far_end_uncovered(axis, extent, radius);
        },
        py::arg("axis"), py::arg("extent"), py::arg("radius"),
        "Whether no reference patch covers the last pixel along `axis`.");
    m.def(
        "anscombe",
        [](const py::array& image, const std::vector<float>& gain,
           const std::vector<float>& offset) { return transformed(image, gain, offset, true); },
        py::arg("image"), py::kw_only(), py::arg("gain"), py::arg("offset"),
        "The denoiser's generalized Anscombe transform of `image` (a copy), per channel.");
    m.def(
        "inverse_anscombe",
        [](const py::array& image, const std::vector<float>& gain,
           const std::vector<float>& offset) { return transformed(image, gain, offset, false); },
        py::arg("image"), py::kw_only(), py::arg("gain"), py::arg("offset"),
        "The denoiser's inverse of `anscombe` (algebraic, with its bias correction of 1/4).");
}

}  // namespace qv::engine
