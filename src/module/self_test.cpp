#include <cstdio>

#include "module/bindings.hpp"

namespace qv::binding {

namespace {

// Text buffer of the shape line; only test() writes it, with the interpreter
// lock held, so calls never overlap.
char shape_text[512];

}  // namespace

image_arg self_test(image_arg image) {
    std::printf("array conversion\n");
    std::printf(" - py::array -> qv::array\n");
    const array img = from_numpy(image);
    std::snprintf(shape_text, sizeof shape_text, "%d x %d x %d x %d x %d", img.nx, img.ny, img.nz,
                  img.nc, img.nt);
    std::printf("shape: %s\n", shape_text);
    std::printf(" - qv::array -> py::array\n");
    write_back(image, img);
    return image;
}

}  // namespace qv::binding
