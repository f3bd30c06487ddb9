// Wall time of a whole Gaussian denoising run with the fast estimation pass
// and with the straightforward reference pass, on a raw float32 image.
//
//   kernel_bench IMAGE.f32 NX NY SIGMA THREADS REPEAT [fast|reference|both] [NZ NT]
//
// NZ planes and NT time points (default 1 each): the file then holds
// NX * NY * NZ * NT floats, x fastest. The run uses the default parameters of
// the package: 7 x 7 patches, the window growing along z and t as well.
//
// Prints one line per pass: "<pass> <best wall seconds> cpu <best CPU seconds>"
// of REPEAT runs, and with
// both passes (the default) whether they gave the same bits. Both runs use the driver below,
// the iteration loop of denoiser::run with the pass exchanged. Build and use:
// see bench/README.md.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "denoise/denoiser.hpp"
#include "denoise/kernel.hpp"

namespace {

using pass_function = void (*)(const qv::denoise_params&, const qv::array&, float, const qv::axis5&,
                               const qv::array&, const qv::array&, qv::array&, qv::array&,
                               qv::array&);

// denoiser::run with a chosen estimation pass (renoise off).
qv::array denoise_with(pass_function pass, const qv::array& noisy, float sigma) {
    const qv::denoiser d =
        qv::make_denoiser(noisy, {3, 3, 0, 0, 0}, {1, 1, 1, 0, 1}, 4, 0.01f, sigma, 0.0f);
    qv::denoise_params params = d.params;
    params.min_weight_sum = sigma * params.min_weight_factor;
    qv::array prev_estimate, prev_variance, sum_estimate, sum_variance, contrib_count;
    prev_estimate.alloc(noisy);
    prev_variance.alloc(noisy);
    sum_estimate.assign(noisy.data.data(), noisy);
    sum_variance.alloc(noisy).fill((sigma * 0.25f) * sigma);
    contrib_count.alloc(noisy);
    for (std::int32_t k = 0; k < params.max_iter; ++k) {
        const qv::axis5 window = qv::search_window(noisy, params.search_axis, k);
        prev_estimate.swap(sum_estimate);
        prev_variance.swap(sum_variance);
        sum_estimate.fill(0.0f);
        sum_variance.fill(0.0f);
        contrib_count.fill(0.0f);
        pass(params, noisy, sigma, window, prev_estimate, prev_variance, sum_estimate, sum_variance,
             contrib_count);
        qv::update_pass(noisy, 0.0f, prev_estimate, prev_variance, sum_estimate, sum_variance,
                        contrib_count, params);
    }
    return sum_estimate;
}

// CPU seconds of the whole process (all threads).
double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct timing {
    double wall = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
};

// Best wall time and best CPU time of `repeat` runs. On a loaded machine the
// CPU time of a one-thread run is the steadier of the two.
timing best_seconds(pass_function pass, const qv::array& noisy, float sigma, int repeat,
                    qv::array& result) {
    timing best;
    for (int i = 0; i < repeat; ++i) {
        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        result = denoise_with(pass, noisy, sigma);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best.wall = std::min(best.wall, took.count());
        best.cpu = std::min(best.cpu, process_cpu_seconds() - cpu_start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8 && argc != 10) {
        std::fprintf(stderr,
                     "usage: %s IMAGE.f32 NX NY SIGMA THREADS REPEAT [fast|reference|both] "
                     "[NZ NT]\n",
                     argv[0]);
        return 2;
    }
    const std::int32_t nx = std::atoi(argv[2]);
    const std::int32_t ny = std::atoi(argv[3]);
    const std::int32_t nz = argc == 10 ? std::atoi(argv[8]) : 1;
    const std::int32_t nt = argc == 10 ? std::atoi(argv[9]) : 1;
    const float sigma = std::strtof(argv[4], nullptr);
    const int threads = std::atoi(argv[5]);
    const int repeat = std::max(1, std::atoi(argv[6]));
    std::vector<float> pixels(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) *
                              static_cast<std::size_t>(nz) * static_cast<std::size_t>(nt));
    std::ifstream in(argv[1], std::ios::binary);
    in.read(reinterpret_cast<char*>(pixels.data()),
            static_cast<std::streamsize>(pixels.size() * sizeof(float)));
    if (!in) {
        std::fprintf(stderr, "cannot read %d x %d x %d x %d floats from %s\n", nx, ny, nz, nt,
                     argv[1]);
        return 1;
    }
    const qv::array noisy(pixels.data(), nx, ny, nz, 1, nt);
    omp_set_num_threads(threads);
    const std::string which = argc >= 8 ? argv[7] : "both";
    qv::array fast, reference;
    if (which != "reference") {
        const timing t = best_seconds(qv::estimation_pass, noisy, sigma, repeat, fast);
        std::printf("fast %.4f cpu %.4f\n", t.wall, t.cpu);
    }
    if (which != "fast") {
        const timing t = best_seconds(qv::reference_estimation_pass, noisy, sigma, repeat, reference);
        std::printf("reference %.4f cpu %.4f\n", t.wall, t.cpu);
    }
    if (which != "both") {
        return 0;
    }
    const bool same =
        fast.data.size() == reference.data.size() &&
        std::memcmp(fast.data.data(), reference.data.data(), fast.data.size() * sizeof(float)) == 0;
    std::printf("identical %s\n", same ? "yes" : "no");
    return same ? 0 : 1;
}
