#include "engine/block_bindings.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "module/convert.hpp"
#include "noise/block_residuals.hpp"

namespace py = pybind11;

namespace qv::engine {

namespace {

// The array's planes (all axes before the last two folded together).
plane_stack planes_of(const image_arg& a, py::ssize_t min_axes) {
    if (a.ndim() < min_axes) {
        throw std::invalid_argument("expected an array of at least " + std::to_string(min_axes) +
                                    " axes, got " + std::to_string(a.ndim()));
    }
    plane_stack s;
    s.data = a.data();
    s.ny = a.shape(a.ndim() - 2);
    s.nx = a.shape(a.ndim() - 1);
    s.count = 1;
    for (py::ssize_t i = 0; i < a.ndim() - 2; ++i) {
        s.count *= a.shape(i);
    }
    return s;
}

void check_threads(int threads) {
    if (threads < 1) {
        throw std::invalid_argument("threads must be >= 1, got " + std::to_string(threads));
    }
}

py::array_t<double> to_numpy(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

py::tuple to_python(const block_summaries& b) {
    return py::make_tuple(b.side, to_numpy(b.mean), to_numpy(b.energy), to_numpy(b.wide));
}

constexpr const char* spatial_doc =
    "Block summaries of a high-pass residual of single planes.\n\n"
    "`planes` (..., Y, X) is read as float32. Each pixel 4 or more pixels in\n"
    "from the edges gets a residual over its 5 x 5 neighbourhood (unit noise\n"
    "gain): with `residual` \"fourth\" the fourth difference along Y of the\n"
    "fourth differences along X, with \"cubic\" the pixel minus the centre value\n"
    "of a product of cubics fitted to the neighbourhood; a wide residual from\n"
    "the 5 x 5 pixels two apart; and a local mean weighted by the squared\n"
    "fourth-difference taps. Returns `(side, mean, energy, wide)`: the block side\n"
    "used (`block`, less on small planes, 0 when no block of 2 pixels fits) and,\n"
    "per block in the order (plane, block row, block column), the mean local\n"
    "mean, mean squared residual and mean squared wide residual (float64).";

constexpr const char* temporal_doc =
    "Block summaries of differences of neighbouring frames.\n\n"
    "`frames` (T, ..., Y, X) is read as float32. For each pair of frames k, k + 1\n"
    "and plane, the residual is their difference over sqrt(2) (frame k + 1\n"
    "shifted per block by up to one pixel along Y and X), the wide residual the\n"
    "sum of its 3 x 3 neighbours over 3, the local mean their average. A block\n"
    "takes the shift with the lowest wide energy in pair k - 2 (k + 2 for the\n"
    "first two pairs; none when that pair does not exist). Returns\n"
    "`(side, mean, energy, wide)` as `spatial_blocks`, blocks in the order\n"
    "(pair, plane, block row, block column).";

}  // namespace

void bind_block_summaries(py::module_& m) {
    m.def(
        "spatial_blocks",
        [](const image_arg& planes, const std::string& residual, int block, int threads) {
            check_threads(threads);
            if (residual != "fourth" && residual != "cubic") {
                throw py::value_error("residual must be 'fourth' or 'cubic', got '" + residual +
                                      "'");
            }
            const spatial_residual kind = residual == "fourth"
                                              ? spatial_residual::fourth_difference
                                              : spatial_residual::cubic_fit;
            const plane_stack s = planes_of(planes, 2);
            block_summaries b;
            {
                const py::gil_scoped_release release;
                b = spatial_block_summaries(s, kind, block, threads);
            }
            return to_python(b);
        },
        py::arg("planes"), py::kw_only(), py::arg("residual"), py::arg("block"),
        py::arg("threads"), spatial_doc);
    m.def(
        "temporal_blocks",
        [](const image_arg& frames, int block, int threads) {
            check_threads(threads);
            const plane_stack s = planes_of(frames, 3);
            const std::int64_t count = frames.shape(0);
            block_summaries b;
            {
                const py::gil_scoped_release release;
                b = temporal_block_summaries(s, count, block, threads);
            }
            return to_python(b);
        },
        py::arg("frames"), py::kw_only(), py::arg("block"), py::arg("threads"), temporal_doc);
}

}  // namespace qv::engine
