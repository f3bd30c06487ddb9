// The iteration driver: work images, the growing search window, and one
// estimation pass and one update pass per iteration.
#include "denoise/denoiser.hpp"

#include <optional>

#include "denoise/coverage.hpp"
#include "denoise/kernel.hpp"
#include "denoise/run_monitor.hpp"

namespace qv {

void denoiser::call_iteration_callbacks() {
    for (const auto& callback : iteration_callbacks) {
        callback(this);
    }
}

void denoiser::run(array& image, float sigma) {
    params.min_weight_sum = sigma * params.min_weight_factor;

    // prev_* receive the previous iteration's results through the swap at the
    // start of every iteration: the first one starts from the noisy image
    // and a variance of sigma^2 / 4.
    array prev_estimate;
    array prev_variance;
    array sum_estimate;
    array sum_variance;
    array contrib_count;
    prev_estimate.alloc(image);
    prev_variance.alloc(image);
    sum_estimate.assign(image.data.data(), image);
    sum_variance.alloc(image).fill((sigma * 0.25f) * sigma);
    if (!counts_from_coverage) {
        contrib_count.alloc(image).fill(0.0f);
    }
    pass_hooks hooks;
    hooks.monitor = monitor;
    hooks.list_missing = counts_from_coverage;
    std::optional<pass_coverage> coverage;
    if (counts_from_coverage) {
        coverage.emplace(params, image);
    }

    const float renoise_variance =
        params.renoise_factor > 0.0f
            ? (sigma * sigma) / (params.renoise_factor * params.renoise_factor)
            : 0.0f;

    if (monitor != nullptr) {
        monitor->iteration_work.clear();
        for (std::int32_t k = 0; k < params.max_iter; ++k) {
            monitor->iteration_work.push_back(iteration_work(
                image, params.patch_radius, reach_window(image, params.search_axis,
                                                         params.search_reach, k)));
        }
    }

    call_iteration_callbacks();
    for (std::int32_t k = 0; k < params.max_iter; ++k) {
        const axis5 window = reach_window(image, params.search_axis, params.search_reach, k);
        prev_estimate.swap(sum_estimate);
        prev_variance.swap(sum_variance);
        sum_estimate.fill(0.0f);
        sum_variance.fill(0.0f);
        contrib_count.fill(0.0f);
        if (monitor != nullptr) {
            monitor->done.store(0, std::memory_order_relaxed);
            monitor->total.store(0, std::memory_order_relaxed);
            monitor->iteration.store(k, std::memory_order_release);
        }
        estimation_pass(params, image, sigma, window, prev_estimate, prev_variance, sum_estimate,
                        sum_variance, contrib_count, hooks);
        if (monitor != nullptr && monitor->cancelled()) {
            throw run_cancelled();
        }
        if (coverage) {
            coverage->set_missing(hooks.missing);
            update_pass(image, renoise_variance, prev_estimate, prev_variance, sum_estimate,
                        sum_variance, *coverage, params);
        } else {
            update_pass(image, renoise_variance, prev_estimate, prev_variance, sum_estimate,
                        sum_variance, contrib_count, params);
        }
        if (iterates_out != nullptr) {
            iterates_out->emplace_back().assign(sum_estimate.data.data(), sum_estimate);
        }
        call_iteration_callbacks();
    }
    // The image's storage is reused (same size), so a view of it stays valid.
    image.assign(sum_estimate.data.data(), sum_estimate);
    if (variance_out != nullptr) {
        variance_out->swap(sum_variance);
    }
}

}  // namespace qv
