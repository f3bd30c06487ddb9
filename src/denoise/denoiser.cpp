// The iteration driver: work images, the growing search window, and one
// estimation pass and one update pass per iteration (iteration_run.hpp).
#include "denoise/denoiser.hpp"

#include "denoise/iteration_run.hpp"
#include "denoise/run_monitor.hpp"

namespace qv {

void denoiser::call_iteration_callbacks() {
    for (const auto& callback : iteration_callbacks) {
        callback(this);
    }
}

iteration_run::iteration_run(denoiser& d, const array& noisy, float sigma)
    : d_(d), noisy_(noisy), sigma_(sigma) {
    d_.params.min_weight_sum = sigma * d_.params.min_weight_factor;
    renoise_variance_ =
        d_.params.renoise_factor > 0.0f
            ? (sigma * sigma) / (d_.params.renoise_factor * d_.params.renoise_factor)
            : 0.0f;
    prev_estimate_.alloc(noisy);
    prev_variance_.alloc(noisy);
    sum_estimate_.assign(noisy.data.data(), noisy);
    sum_variance_.alloc(noisy).fill((sigma * 0.25f) * sigma);
    if (!d_.counts_from_coverage) {
        contrib_count_.alloc(noisy).fill(0.0f);
    }
    hooks_.monitor = d_.monitor;
    hooks_.list_missing = d_.counts_from_coverage;
    if (d_.counts_from_coverage) {
        coverage_.emplace(d_.params, noisy);
    }
    d_.call_iteration_callbacks();
}

namespace {

// v = 1 / v at every element; the fast kernel reads inverse variances.
void invert_in_place(array& image) {
    float* v = image.data.data();
    const auto n = static_cast<std::int64_t>(image.data.size());
#pragma omp parallel for schedule(static)
    for (std::int64_t i = 0; i < n; ++i) {
        v[i] = 1.0f / v[i];
    }
}

}  // namespace

void iteration_run::next() {
    const std::int32_t k = done_;
    const denoise_params& params = d_.params;
    const axis5 window = reach_window(noisy_, params.search_axis, params.search_reach, k);
    prev_estimate_.swap(sum_estimate_);
    prev_variance_.swap(sum_variance_);
    sum_estimate_.fill(0.0f);
    sum_variance_.fill(0.0f);
    contrib_count_.fill(0.0f);
    run_monitor* monitor = d_.monitor;
    hooks_.monitor = monitor;
    if (monitor != nullptr) {
        monitor->done.store(0, std::memory_order_relaxed);
        monitor->total.store(0, std::memory_order_relaxed);
        monitor->iteration.store(k, std::memory_order_release);
    }
    const bool inverse = params.kernel == kernel_kind::fast;
    if (inverse) {
        invert_in_place(prev_variance_);
    }
    estimation_pass(params, noisy_, sigma_, window, prev_estimate_, prev_variance_, sum_estimate_,
                    sum_variance_, contrib_count_, hooks_);
    if (inverse) {
        invert_in_place(prev_variance_);
    }
    if (monitor != nullptr && monitor->cancelled()) {
        throw run_cancelled();
    }
    if (coverage_) {
        coverage_->set_missing(hooks_.missing);
        update_pass(noisy_, renoise_variance_, prev_estimate_, prev_variance_, sum_estimate_,
                    sum_variance_, *coverage_, params);
    } else {
        update_pass(noisy_, renoise_variance_, prev_estimate_, prev_variance_, sum_estimate_,
                    sum_variance_, contrib_count_, params);
    }
    ++done_;
    if (d_.iterates_out != nullptr) {
        d_.iterates_out->emplace_back().assign(sum_estimate_.data.data(), sum_estimate_);
    }
    d_.call_iteration_callbacks();
}

void denoiser::run(array& image, float sigma) {
    if (monitor != nullptr) {
        monitor->iteration_work.clear();
        for (std::int32_t k = 0; k < params.max_iter; ++k) {
            monitor->iteration_work.push_back(
                iteration_work(image, params.patch_radius,
                               reach_window(image, params.search_axis, params.search_reach, k)));
        }
    }
    iteration_run run(*this, image, sigma);
    while (run.done() < params.max_iter) {
        run.next();
    }
    // The image's storage is reused (same size), so a view of it stays valid.
    image.assign(run.estimate().data.data(), run.estimate());
    if (variance_out != nullptr) {
        variance_out->swap(run.variance());
    }
}

}  // namespace qv
