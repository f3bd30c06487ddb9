// quorvel._engine: the denoiser with keyword arguments, search reach per
// axis, progress reports, cancellation and the variance of the result; and
// the block summaries of the noise calibration (block_bindings.cpp).
#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "array/threads.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/iteration_run.hpp"
#include "denoise/run_monitor.hpp"
#include "denoise/transforms.hpp"
#include "engine/block_bindings.hpp"
#include "engine/core_bindings.hpp"
#include "engine/images.hpp"
#include "engine/watch.hpp"
#include "module/convert.hpp"
#include "noise/noise_model.hpp"

namespace py = pybind11;

namespace qv::engine {

namespace {

// The settings shared by both noise paths.
struct run_settings {
    std::vector<int> patch_radius;
    std::vector<int> search;
    std::vector<int> reach;
    int max_iter;
    float pvalue;
    int threads;
    float renoise;
    py::object progress;
    bool return_variance;
    std::string kernel;
};

// The largest iteration count: the search window doubles along x and y with
// every iteration, and 2^30 pixels is beyond any image.
constexpr int max_iterations = 30;

void check_iterations(int iterations, const char* name) {
    if (iterations < 1 || iterations > max_iterations) {
        throw std::invalid_argument(std::string(name) + " must be between 1 and 30, got " +
                                    std::to_string(iterations));
    }
}

// Checks of the arguments that make_denoiser leaves to the engine, before
// any work.
void check_settings(const run_settings& s, float sigma) {
    if (!(std::isfinite(sigma) && sigma > 0.0f)) {
        throw std::invalid_argument("sigma must be a positive finite number");
    }
    check_iterations(s.max_iter, "max_iter");
    if (!s.progress.is_none() && !PyCallable_Check(s.progress.ptr())) {
        throw py::type_error("progress must be callable or None");
    }
}

// The estimation kernel named by the caller.
kernel_kind kernel_of(const std::string& name) {
    if (name == "fast") {
        return kernel_kind::fast;
    }
    if (name == "exact") {
        return kernel_kind::exact;
    }
    throw std::invalid_argument("kernel must be 'fast' or 'exact'");
}

// The image to denoise: the engine's own buffer behind `image` (denoised in
// place), or a copy of the float32 array the image converts to, which
// receives the result at the end (the caller's own array when it is
// already C-contiguous float32: then it must be writeable, checked first).
struct work_image {
    py::array target;
    array* owned = nullptr;
    image_arg converted;
    array copy;

    explicit work_image(const py::array& image)
        : target(image), owned(owned_image(image)), converted(checked_image(image)) {
        const bool in_place = owned != nullptr || converted.ptr() == image.ptr();
        if (in_place && !target.writeable()) {
            throw std::domain_error("array is not writeable");
        }
        if (owned == nullptr) {
            copy = work_copy(converted);
        }
    }
    array& get() { return owned != nullptr ? *owned : copy; }
};

axis5 reach5(const std::vector<int>& reach) {
    axis5 out = {-1, -1, -1, -1, -1};
    if (reach.empty()) {
        return out;
    }
    if (reach.size() != 5) {
        throw std::invalid_argument("reach must have 5 entries");
    }
    std::copy(reach.begin(), reach.end(), out.begin());
    return out;
}

// The thread count of a run: n > 0 threads, or with n <= 0 the processors
// less -n (at least one), whatever an earlier call set; capped like _qv's.
// The calling thread keeps it as its OpenMP setting, as with _qv.
int resolve_threads(int nthreads) {
    const std::int64_t wanted =
        nthreads > 0 ? nthreads : static_cast<std::int64_t>(omp_get_num_procs()) + nthreads;
    const int count = clamp_thread_count(wanted);
    omp_set_num_threads(count);
    return count;
}

// image *= factor, each element on its own (static schedule: the same bits
// for any thread count).
void scale_in_place(array& image, float factor) {
    float* v = image.data.data();
    const auto n = static_cast<std::int64_t>(image.data.size());
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < n; ++i) {
        v[i] *= factor;
    }
}

// image /= divisor, each element on its own.
void divide_in_place(array& image, float divisor) {
    float* v = image.data.data();
    const auto n = static_cast<std::int64_t>(image.data.size());
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < n; ++i) {
        v[i] /= divisor;
    }
}

// The denoiser for a run at unit noise (the image divided by sigma).
denoiser prepare(const array& img, const run_settings& s, float sigma) {
    check_settings(s, sigma);
    denoiser d =
        make_denoiser(img, s.patch_radius, s.search, s.max_iter, s.pvalue, 1.0f, s.renoise);
    d.params.search_reach = reach5(s.reach);
    d.params.kernel = kernel_of(s.kernel);
    d.counts_from_coverage = true;
    for (int a : {2, 4}) {
        // A reach asks for a search along its axis.
        const std::int32_t extent = a == 2 ? img.nz : img.nt;
        if (d.params.search_reach[a] >= 0 && extent > 1) {
            d.params.search_axis[a] = 1;
        }
    }
    return d;
}

py::object finish(work_image& w, array&& variance, bool return_variance) {
    py::object result;
    if (w.owned != nullptr) {
        result = w.target;
    } else {
        write_back(w.converted, w.copy);
        result = w.converted;
    }
    if (!return_variance) {
        return result;
    }
    return py::make_tuple(result, adopt(std::move(variance), w.target));
}

// Hands the heap's free memory back to the system: the blocks under the
// mapping threshold that a noise estimate or the package's own work (its
// many smaller arrays) freed stay in the heap otherwise, and the run's work
// images would come on top of them.
void return_free_heap() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Runs the iterations on `img` on a worker thread, watched for progress and
// cancellation; the final variance goes into `variance` when it is asked for.
// The run is at unit noise: `img` is divided by sigma before and multiplied
// after (the variance by sigma^2), so that a result never depends on the
// image's units (the core's floors of the weight sum and of the variance are
// fixed numbers).
void run_monitored(denoiser& d, array& img, float sigma, int threads, const run_settings& s,
                   array& variance) {
    return_free_heap();
    run_monitor monitor;
    d.monitor = &monitor;
    d.variance_out = s.return_variance ? &variance : nullptr;
    run_watched(
        [&] {
            if (sigma != 1.0f) {
                divide_in_place(img, sigma);
            }
            d.run(img, 1.0f);
            if (sigma != 1.0f) {
                scale_in_place(img, sigma);
                if (d.variance_out != nullptr) {
                    scale_in_place(variance, sigma * sigma);
                }
            }
        },
        threads, s.progress, monitor);
    d.monitor = nullptr;
}

py::object denoise_gaussian(const py::array& image, float sigma, const run_settings& s) {
    const int threads = resolve_threads(s.threads);
    work_image w(image);
    array& img = w.get();
    denoiser d = prepare(img, s, sigma);
    array variance;
    run_monitored(d, img, sigma, threads, s, variance);
    return finish(w, std::move(variance), s.return_variance);
}

// A run on the Gaussian path kept between calls, so that more iterations can
// follow later: a copy of the noisy image, the denoiser and the run's work
// images. Its address must not change (the run refers to the others).
class gaussian_run {
 public:
    gaussian_run(const py::array& image, float sigma, run_settings s)
        : like_(image),
          noisy_(unit_noise(from_numpy(checked_image(image)), sigma)),
          sigma_(sigma),
          threads_(resolve_threads(s.threads)),
          d_(prepare(noisy_, s, sigma)),
          run_(d_, noisy_, 1.0f) {}
    gaussian_run(const gaussian_run&) = delete;
    gaussian_run& operator=(const gaussian_run&) = delete;

    [[nodiscard]] int done() const { return run_.done(); }

    // Runs up to `iterations` in all and returns the estimate after each
    // iteration it ran.
    py::list advance(int iterations) {
        // One thread at a time: the run's work images are not shared.
        if (busy_.exchange(true)) {
            throw std::runtime_error("a run is advanced by one thread at a time");
        }
        const struct release_on_exit {
            std::atomic<bool>& flag;
            ~release_on_exit() { flag.store(false); }
        } release{busy_};
        if (stopped_) {
            throw std::runtime_error("the run was stopped and cannot go on");
        }
        check_iterations(iterations, "iterations");
        if (iterations < run_.done()) {
            throw std::invalid_argument("iterations must be at least the iterations done");
        }
        std::vector<array> iterates;
        run_monitor monitor;
        d_.iterates_out = &iterates;
        d_.monitor = &monitor;
        try {
            run_watched(
                [&] {
                    while (run_.done() < iterations) {
                        run_.next();
                    }
                },
                threads_, py::none(), monitor);
        } catch (...) {
            // An iteration left half done: its sums are incomplete.
            stopped_ = true;
            d_.iterates_out = nullptr;
            d_.monitor = nullptr;
            throw;
        }
        d_.iterates_out = nullptr;
        d_.monitor = nullptr;
        py::list out;
        for (array& estimate : iterates) {
            if (sigma_ != 1.0f) {
                scale_in_place(estimate, sigma_);
            }
            out.append(adopt(std::move(estimate), like_));
        }
        return out;
    }

 private:
    static array unit_noise(array image, float sigma) {
        if (std::isfinite(sigma) && sigma > 0.0f && sigma != 1.0f) {
            divide_in_place(image, sigma);
        }
        return image;
    }

    py::array like_;
    array noisy_;
    float sigma_;
    int threads_;
    denoiser d_;
    iteration_run run_;
    bool stopped_ = false;
    std::atomic<bool> busy_{false};
};

// Carries the variance of a stabilised estimate y back through the inverse
// transform to first order: var * (dx/dy)^2 with dx/dy = gain * y / 2.
void variance_to_intensity(const noise_model& model, const array& stabilised, array& variance) {
    const std::int64_t plane =
        static_cast<std::int64_t>(stabilised.nx) * stabilised.ny * stabilised.nz;
    for (std::int32_t t = 0; t < stabilised.nt; ++t) {
        for (std::int32_t c = 0; c < stabilised.nc; ++c) {
            const float g = model.gain[static_cast<std::size_t>(c)];
            const std::int64_t first = (static_cast<std::int64_t>(t) * stabilised.nc + c) * plane;
            for (std::int64_t i = first; i < first + plane; ++i) {
                const float slope = (g * 0.5f) * stabilised.data[static_cast<std::size_t>(i)];
                variance.data[static_cast<std::size_t>(i)] *= slope * slope;
            }
        }
    }
}

py::object denoise_poisson_gaussian(const py::array& image, float sigma,
                                    const std::vector<float>& gain,
                                    const std::vector<float>& offset, const run_settings& s) {
    const int threads = resolve_threads(s.threads);
    noise_model model;
    model.gain = gain;
    model.offset = offset;
    work_image w(image);
    array& img = w.get();
    const auto channels = static_cast<std::size_t>(img.nc);
    if (img.size() > 0 && (gain.size() != channels || offset.size() != channels)) {
        throw std::invalid_argument("gain and offset need one entry per channel: the image has " +
                                    std::to_string(channels) + ", got " +
                                    std::to_string(gain.size()) + " and " +
                                    std::to_string(offset.size()));
    }
    check_transform_parameters(model, img.nc);
    // Checked before the transform touches the caller's buffer.
    denoiser d = prepare(img, s, sigma);
    array variance;
    // A stopped run leaves an engine-owned buffer in the stabilised domain
    // (a converted copy is simply dropped).
    model.forward_transform(img);
    run_monitored(d, img, sigma, threads, s, variance);
    if (s.return_variance) {
        variance_to_intensity(model, img, variance);
    }
    model.inverse_transform(img);
    return finish(w, std::move(variance), s.return_variance);
}

}  // namespace

}  // namespace qv::engine

namespace {

// glibc raises its threshold for mapping large blocks after one is freed,
// and later blocks of that size then come from the heap, which keeps what
// is freed: a denoising run after a noise estimate would peak at the
// estimate's freed buffers plus its own work images. A fixed threshold keeps
// every block of 1 MiB or more mapped, and so returned when freed.
void map_large_blocks() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

constexpr const char* gaussian_doc =
    "Denoise an image with Gaussian noise of standard deviation `sigma`.\n\n"
    "`image` has 1 to 5 axes (T, C, Z, Y, X from the last one). An image made by\n"
    "`new_image` is denoised in place and returned; any other is converted to a\n"
    "float32 copy, and when it is a C-contiguous float32 array the result is\n"
    "written back into it. `reach` (5 ints, x y z c t; -1 = default schedule)\n"
    "sets the search half-size per axis. `progress(fraction)` is called about\n"
    "every 0.1 s; an exception it raises, or Ctrl-C, stops the run. With\n"
    "`return_variance` the result is `(image, variance)`. `kernel`: \"fast\"\n"
    "(float32, fused multiply-adds, its own exp; the same bits for any thread\n"
    "count) or \"exact\" (the arithmetic of `_qv`, whose results it matches).";

constexpr const char* gaussian_run_doc =
    "A run on the Gaussian path that can be continued: `advance(k)` runs up to k\n"
    "iterations in all and returns the estimate after each iteration it ran (the\n"
    "estimate after iteration k is the result of `denoise_gaussian` with\n"
    "`max_iter=k`, also when the run went there in several calls). The run keeps a\n"
    "copy of `image`; Ctrl-C stops `advance`, and a stopped run cannot go on.";

constexpr const char* poisson_doc =
    "Denoise an image with Poisson-Gaussian noise (variance gain * intensity +\n"
    "offset per channel) through a variance-stabilising transform; `sigma` is\n"
    "the noise level after it. The variance returned with `return_variance` is\n"
    "carried back to intensity units to first order. Otherwise as\n"
    "`denoise_gaussian`.";

}  // namespace

PYBIND11_MODULE(_engine, m, py::multiple_interpreters::not_supported()) {
    using qv::engine::run_settings;
    map_large_blocks();
    m.doc() = "quorvel's denoising engine: keyword arguments, search reach, progress and cancel.";
    m.def("new_image", &qv::engine::new_image, py::arg("shape"),
          "A zero-filled float32 array whose buffer the engine can denoise in place.");
    m.def(
        "denoise_gaussian",
        [](const py::array& image, float sigma, const std::vector<int>& patch_radius,
           const std::vector<int>& search, const std::vector<int>& reach, int max_iter,
           float pvalue, int threads, float renoise, const py::object& progress,
           bool return_variance, const std::string& kernel) {
            return qv::engine::denoise_gaussian(
                image, sigma,
                run_settings{patch_radius, search, reach, max_iter, pvalue, threads, renoise,
                             progress, return_variance, kernel});
        },
        py::arg("image"), py::kw_only(), py::arg("sigma"), py::arg("patch_radius"),
        py::arg("search"), py::arg("reach") = std::vector<int>{}, py::arg("max_iter") = 4,
        py::arg("pvalue") = 0.01f, py::arg("threads") = 0, py::arg("renoise") = 0.0f,
        py::arg("progress") = py::none(), py::arg("return_variance") = false,
        py::arg("kernel") = "fast", gaussian_doc);
    py::class_<qv::engine::gaussian_run>(m, "GaussianRun", gaussian_run_doc)
        .def(py::init([](const py::array& image, float sigma, const std::vector<int>& patch_radius,
                         const std::vector<int>& search, const std::vector<int>& reach,
                         float pvalue, int threads, float renoise, const std::string& kernel) {
                 return std::make_unique<qv::engine::gaussian_run>(
                     image, sigma,
                     run_settings{patch_radius, search, reach, 1, pvalue, threads, renoise,
                                  py::none(), false, kernel});
             }),
             py::arg("image"), py::kw_only(), py::arg("sigma"), py::arg("patch_radius"),
             py::arg("search"), py::arg("reach") = std::vector<int>{}, py::arg("pvalue") = 0.01f,
             py::arg("threads") = 0, py::arg("renoise") = 0.0f, py::arg("kernel") = "fast")
        .def("advance", &qv::engine::gaussian_run::advance, py::arg("iterations"))
        .def_property_readonly("done", &qv::engine::gaussian_run::done, "Iterations run so far.");
    m.def(
        "denoise_poisson_gaussian",
        [](const py::array& image, float sigma, const std::vector<float>& gain,
           const std::vector<float>& offset, const std::vector<int>& patch_radius,
           const std::vector<int>& search, const std::vector<int>& reach, int max_iter,
           float pvalue, int threads, float renoise, const py::object& progress,
           bool return_variance, const std::string& kernel) {
            return qv::engine::denoise_poisson_gaussian(
                image, sigma, gain, offset,
                run_settings{patch_radius, search, reach, max_iter, pvalue, threads, renoise,
                             progress, return_variance, kernel});
        },
        py::arg("image"), py::kw_only(), py::arg("sigma"), py::arg("gain"), py::arg("offset"),
        py::arg("patch_radius"), py::arg("search"), py::arg("reach") = std::vector<int>{},
        py::arg("max_iter") = 4, py::arg("pvalue") = 0.01f, py::arg("threads") = 0,
        py::arg("renoise") = 0.0f, py::arg("progress") = py::none(),
        py::arg("return_variance") = false, py::arg("kernel") = "fast", poisson_doc);
    qv::engine::bind_block_summaries(m);
    qv::engine::bind_calibrations(m);
    qv::engine::bind_geometry(m);
}
