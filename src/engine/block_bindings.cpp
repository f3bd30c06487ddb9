#include "engine/block_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
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

// The levels as given: at least one, finite and ascending; none when not given.
std::vector<double> checked_levels(const std::optional<std::vector<double>>& levels) {
    if (!levels) {
        return {};
    }
    if (levels->empty()) {
        throw std::invalid_argument("levels must hold at least one value");
    }
    for (std::size_t i = 0; i < levels->size(); ++i) {
        if (!std::isfinite((*levels)[i]) || (i > 0 && !((*levels)[i - 1] < (*levels)[i]))) {
            throw std::invalid_argument("levels must be finite and strictly ascending");
        }
    }
    return *levels;
}

// (block, count, mean, energy, wide) arrays of the records in `parts`.
py::tuple parts_to_python(const std::vector<double>& parts) {
    constexpr std::size_t fields = 5;
    const auto n = static_cast<py::ssize_t>(parts.size() / fields);
    py::array_t<std::int64_t> block(n);
    std::vector<py::array_t<double>> values;
    for (std::size_t f = 1; f < fields; ++f) {
        values.emplace_back(n);
    }
    for (py::ssize_t i = 0; i < n; ++i) {
        const double* record = parts.data() + static_cast<std::size_t>(i) * fields;
        block.mutable_data()[i] = static_cast<std::int64_t>(record[0]);
        for (std::size_t f = 1; f < fields; ++f) {
            values[f - 1].mutable_data()[i] = record[f];
        }
    }
    return py::make_tuple(block, values[0], values[1], values[2], values[3]);
}

py::tuple to_python(const block_summaries& b, const std::optional<std::vector<double>>& levels,
                    const std::vector<double>& parts) {
    if (!levels) {
        return py::make_tuple(b.side, to_numpy(b.mean), to_numpy(b.energy), to_numpy(b.wide));
    }
    return py::make_tuple(b.side, to_numpy(b.mean), to_numpy(b.energy), to_numpy(b.wide),
                          parts_to_python(parts));
}

using mask_arg = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

// The pixels of `image` left out of the parts, checked: null when not given.
const std::uint8_t* checked_left_out(const image_arg& image,
                                     const std::optional<std::vector<double>>& levels,
                                     const std::optional<mask_arg>& left_out) {
    if (!left_out) {
        return nullptr;
    }
    if (!levels) {
        throw std::invalid_argument("left_out needs levels: it applies to the parts");
    }
    bool same = left_out->ndim() == image.ndim();
    for (py::ssize_t i = 0; same && i < image.ndim(); ++i) {
        same = left_out->shape(i) == image.shape(i);
    }
    if (!same) {
        throw std::invalid_argument("left_out must have the shape of the image");
    }
    return left_out->data();
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
    "mean, mean squared residual and mean squared wide residual (float64).\n\n"
    "With `levels` (ascending), a fifth item `(block, count, mean, energy, wide)`:\n"
    "each block's pixels split by the number of levels at or below their local\n"
    "mean, one record per non-empty class (blocks in order, classes ascending):\n"
    "the block's index, the pixel count and the class's mean local mean, mean\n"
    "squared residual and mean squared wide residual. The classes are those of\n"
    "the local mean above; the parts' mean local mean weighs the pixels as the\n"
    "residual's expected square does: for \"cubic\" by (delta - k)**2 over its\n"
    "sum, k the cubic fit's kernel. `left_out` (with `levels`; the shape of\n"
    "`planes`): the pixels where it is true are left out of the parts, not of\n"
    "the blocks.";

constexpr const char* temporal_doc =
    "Block summaries of differences of neighbouring frames.\n\n"
    "`frames` (T, ..., Y, X) is read as float32. For each pair of frames k, k + 1\n"
    "and plane, the residual is their difference over sqrt(2) (frame k + 1\n"
    "shifted per block by up to one pixel along Y and X), the wide residual the\n"
    "sum of its 3 x 3 neighbours over 3, the local mean their average. A block\n"
    "takes the shift with the lowest wide energy in pair k - 2 (k + 2 for the\n"
    "first two pairs; none when that pair does not exist). Returns\n"
    "`(side, mean, energy, wide)` as `spatial_blocks`, blocks in the order\n"
    "(pair, plane, block row, block column); with `levels`, the blocks' pixels\n"
    "split by level as `spatial_blocks` gives them. `left_out` (with `levels`;\n"
    "the shape of `frames`): the differences either of whose pixels (the later\n"
    "frame's at the block's shift) is true there are left out of the parts, not\n"
    "of the blocks.";

}  // namespace

void bind_block_summaries(py::module_& m) {
    m.def(
        "spatial_blocks",
        [](const image_arg& planes, const std::string& residual, int block, int threads,
           const std::optional<std::vector<double>>& levels,
           const std::optional<mask_arg>& left_out) {
            check_threads(threads);
            if (residual != "fourth" && residual != "cubic") {
                throw py::value_error("residual must be 'fourth' or 'cubic', got '" + residual +
                                      "'");
            }
            const spatial_residual kind = residual == "fourth" ? spatial_residual::fourth_difference
                                                               : spatial_residual::cubic_fit;
            const plane_stack s = planes_of(planes, 2);
            const std::vector<double> split = checked_levels(levels);
            const std::uint8_t* skip = checked_left_out(planes, levels, left_out);
            block_summaries b;
            std::vector<double> parts;
            {
                const py::gil_scoped_release release;
                b = spatial_block_parts(s, kind, block, threads, split, parts, skip);
            }
            return to_python(b, levels, parts);
        },
        py::arg("planes"), py::kw_only(), py::arg("residual"), py::arg("block"), py::arg("threads"),
        py::arg("levels") = py::none(), py::arg("left_out") = py::none(), spatial_doc);
    m.def(
        "temporal_blocks",
        [](const image_arg& frames, int block, int threads,
           const std::optional<std::vector<double>>& levels,
           const std::optional<mask_arg>& left_out) {
            check_threads(threads);
            const plane_stack s = planes_of(frames, 3);
            const std::int64_t count = frames.shape(0);
            const std::vector<double> split = checked_levels(levels);
            const std::uint8_t* skip = checked_left_out(frames, levels, left_out);
            block_summaries b;
            std::vector<double> parts;
            {
                const py::gil_scoped_release release;
                b = temporal_block_parts(s, count, block, threads, split, parts, skip);
            }
            return to_python(b, levels, parts);
        },
        py::arg("frames"), py::kw_only(), py::arg("block"), py::arg("threads"),
        py::arg("levels") = py::none(), py::arg("left_out") = py::none(), temporal_doc);
}

}  // namespace qv::engine
