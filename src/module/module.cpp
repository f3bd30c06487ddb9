// The _qv extension module: docstring, version and the six functions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/bindings.hpp"

namespace py = pybind11;

namespace {

constexpr const char* module_doc =
    "\n"
    "        quorvel 4.0 denoising\n"
    "        ---------------------\n"
    "\n"
    "        .. currentmodule:: quorvel\n"
    "\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "           _calibrate_gaussian\n"
    "           _denoise_gaussian\n"
    "           _calibrate_poisson_gaussian\n"
    "           _denoise_poisson_gaussian\n"
    "\n"
    "        .. rubric:: Reference\n"
    "        \n"
    "        .. Journal article: iterative non-local patch-based denoising of fluorescence "
    "microscopy images and image sequences with a growing search window and statistical "
    "patch tests.\n"
    "    ";

}  // namespace

PYBIND11_MODULE(_qv, m, py::multiple_interpreters::not_supported()) {
    m.doc() = module_doc;
    m.def("_calibrate_gaussian", &qv::binding::calibrate_gaussian,
          "quorvel gaussian noise std estimation");
    m.def("_calibrate_poisson_gaussian", &qv::binding::calibrate_poisson_gaussian,
          "quorvel noise estimation");
    m.def("_denoise_gaussian", &qv::binding::denoise_gaussian, "quorvel denoising");
    m.def("_denoise_poisson_gaussian", &qv::binding::denoise_poisson_gaussian, "quorvel denoising");
    m.def("test", &qv::binding::self_test, "quorvel test");
    m.def(
        "_pseudoresiduals",
        [](qv::binding::inplace_image image) { qv::binding::pseudoresiduals(image.array); },
        "quorvel pseudoresiduals");
    m.attr("__version__") = "dev";
}
