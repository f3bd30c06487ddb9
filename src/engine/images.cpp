#include "engine/images.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "denoise/row_pitch.hpp"
#include "module/convert.hpp"

namespace py = pybind11;

namespace qv::engine {

namespace {

constexpr const char* capsule_name = "quorvel.engine.image";

float_array view_of(std::unique_ptr<array> owned, const std::vector<py::ssize_t>& numpy_shape) {
    float* data = owned->data.data();
    py::capsule holder(owned.get(), capsule_name, [](void* p) {
        const std::unique_ptr<array> release(static_cast<array*>(p));
    });
    owned.release();  // the capsule owns it now
    return float_array(numpy_shape, data, holder);
}

std::vector<py::ssize_t> shape_of(const py::array& a) { return {a.shape(), a.shape() + a.ndim()}; }

void check_rank(py::ssize_t rank) {
    if (rank < 1 || rank > 5) {
        throw std::invalid_argument("an image has 1 to 5 axes (T, C, Z, Y, X), got " +
                                    std::to_string(rank));
    }
}

}  // namespace

image_arg checked_image(const py::array& a) {
    const char kind = a.dtype().kind();
    if (kind == 'c') {
        throw py::type_error("the image is complex; denoise its real and imaginary parts apart");
    }
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        throw py::type_error("the image must hold real numbers, got dtype " +
                             std::string(py::str(a.dtype())));
    }
    check_rank(a.ndim());
    auto converted = image_arg::ensure(a);
    if (!converted) {
        throw py::error_already_set();
    }
    return converted;
}

namespace {

// Capacity for the longer rows a run of the fast kernel gives its work
// images (row_pitch.hpp), so that the run reads the image in place.
void make_room_for_runs(array& image, const shape& s) {
    const std::uint64_t rows = s.nx > 0 ? s.size() / static_cast<std::uint64_t>(s.nx) : 0;
    image.data.reserve(static_cast<std::size_t>(rows) *
                       static_cast<std::size_t>(padded_row_length(s.nx)));
}

}  // namespace

array work_copy(const image_arg& a) {
    const shape s = shape_from_extents(a.shape(), a.ndim());
    array copy;
    make_room_for_runs(copy, s);
    copy.assign(a.data(), s);
    return copy;
}

float_array new_image(const std::vector<py::ssize_t>& numpy_shape) {
    check_rank(static_cast<py::ssize_t>(numpy_shape.size()));
    for (const py::ssize_t n : numpy_shape) {
        if (n < 0) {
            throw std::invalid_argument("a shape cannot have a negative extent");
        }
    }
    const shape s =
        shape_from_extents(numpy_shape.data(), static_cast<py::ssize_t>(numpy_shape.size()));
    auto owned = std::make_unique<array>();
    make_room_for_runs(*owned, s);
    owned->alloc(s);
    return view_of(std::move(owned), numpy_shape);
}

float_array adopt(array&& img, const py::array& like) {
    return view_of(std::make_unique<array>(std::move(img)), shape_of(like));
}

array* owned_image(const py::array& a) {
    const py::handle base = a.base();
    if (!base || !py::isinstance<py::capsule>(base)) {
        return nullptr;
    }
    const auto cap = py::reinterpret_borrow<py::capsule>(base);
    const char* name = cap.name();
    if (name == nullptr || std::string_view(name) != capsule_name) {
        return nullptr;
    }
    auto* img = cap.get_pointer<array>();
    const shape s = shape_from_extents(a.shape(), a.ndim());
    const bool whole = a.dtype().is(py::dtype::of<float>()) && s.nx == img->nx && s.ny == img->ny &&
                       s.nz == img->nz && s.nc == img->nc && s.nt == img->nt &&
                       (a.flags() & py::array::c_style) != 0 && a.data() == img->data.data() &&
                       static_cast<std::uint64_t>(a.size()) == img->data.size();
    return whole ? img : nullptr;
}

}  // namespace qv::engine
