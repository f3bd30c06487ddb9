// Wall time of a whole Gaussian denoising run with the fast estimation pass
// and with the straightforward reference pass, on a raw float32 image.
//
//   kernel_bench IMAGE.f32 NX NY SIGMA THREADS REPEAT [fast|reference|both]
//
// Prints one line per pass: "<pass> <best seconds of REPEAT runs>", and with
// both passes (the default) whether they gave the same bits. Both runs use the driver below,
// the iteration loop of denoiser::run with the pass exchanged. Build and use:
// see bench/README.md.
#include <omp.h>

#include <algorithm>
#include <chrono>
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
        qv::make_denoiser(noisy, {3, 3, 0, 0, 0}, {1, 1, 0, 0, 0}, 4, 0.01f, sigma, 0.0f);
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

double best_seconds(pass_function pass, const qv::array& noisy, float sigma, int repeat,
                    qv::array& result) {
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        result = denoise_with(pass, noisy, sigma);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr,
                     "usage: %s IMAGE.f32 NX NY SIGMA THREADS REPEAT [fast|reference|both]\n",
                     argv[0]);
        return 2;
    }
    const std::int32_t nx = std::atoi(argv[2]);
    const std::int32_t ny = std::atoi(argv[3]);
    const float sigma = std::strtof(argv[4], nullptr);
    const int threads = std::atoi(argv[5]);
    const int repeat = std::max(1, std::atoi(argv[6]));
    std::vector<float> pixels(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny));
    std::ifstream in(argv[1], std::ios::binary);
    in.read(reinterpret_cast<char*>(pixels.data()),
            static_cast<std::streamsize>(pixels.size() * sizeof(float)));
    if (!in) {
        std::fprintf(stderr, "cannot read %d x %d floats from %s\n", nx, ny, argv[1]);
        return 1;
    }
    const qv::array noisy(pixels.data(), nx, ny, 1, 1, 1);
    omp_set_num_threads(threads);
    const std::string which = argc == 8 ? argv[7] : "both";
    qv::array fast, reference;
    if (which != "reference") {
        std::printf("fast %.4f\n", best_seconds(qv::estimation_pass, noisy, sigma, repeat, fast));
    }
    if (which != "fast") {
        std::printf("reference %.4f\n",
                    best_seconds(qv::reference_estimation_pass, noisy, sigma, repeat, reference));
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
