// The iteration driver: work images, the growing search window, and one
// estimation pass and one update pass per iteration (iteration_run.hpp).
#include "denoise/denoiser.hpp"

#include "denoise/iteration_run.hpp"
#include "denoise/row_pitch.hpp"
#include "denoise/run_monitor.hpp"

namespace qv {

void denoiser::call_iteration_callbacks() {
    for (const auto& callback : iteration_callbacks) {
        callback(this);
    }
}

namespace {

// The row length of a run's work images: longer than the image's only for
// the fast kernel with counts from the coverage (the update then keeps to
// the image's rows).
std::int32_t work_row_length(const denoiser& d, const array& noisy) {
    const bool padded = d.params.kernel == kernel_kind::fast && d.counts_from_coverage;
    return padded ? padded_row_length(noisy.nx) : noisy.nx;
}

}  // namespace

iteration_run::iteration_run(denoiser& d, const array& noisy, float sigma, std::int32_t image_nx)
    : d_(d),
      nx_(image_nx > 0 ? image_nx : noisy.nx),
      padded_noisy_(image_nx <= 0 && work_row_length(d, noisy) != noisy.nx
                        ? with_row_pitch(noisy, work_row_length(d, noisy))
                        : array()),
      noisy_(padded_noisy_.size() != 0 ? padded_noisy_ : noisy),
      sigma_(sigma) {
    d_.params.min_weight_sum = sigma * d_.params.min_weight_factor;
    renoise_variance_ =
        d_.params.renoise_factor > 0.0f
            ? (sigma * sigma) / (d_.params.renoise_factor * d_.params.renoise_factor)
            : 0.0f;
    prev_estimate_.alloc(noisy_);
    prev_variance_.alloc(noisy_);
    sum_estimate_.assign(noisy_.data.data(), noisy_);
    sum_variance_.alloc(noisy_).fill((sigma * 0.25f) * sigma);
    if (!d_.counts_from_coverage) {
        contrib_count_.alloc(noisy_).fill(0.0f);
    }
    hooks_.monitor = d_.monitor;
    hooks_.list_missing = d_.counts_from_coverage;
    hooks_.row_extent = noisy_.nx != nx_ ? nx_ : 0;
    if (d_.counts_from_coverage) {
        coverage_.emplace(d_.params, noisy_, nx_);
    }
    d_.call_iteration_callbacks();
}

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
        invert_rows(prev_variance_, nx_);
    }
    estimation_pass(params, noisy_, sigma_, window, prev_estimate_, prev_variance_, sum_estimate_,
                    sum_variance_, contrib_count_, hooks_);
    if (inverse) {
        invert_rows(prev_variance_, nx_);
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
        copy_rows(sum_estimate_, nx_, d_.iterates_out->emplace_back());
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
    // Where the image's storage has room for the work images' longer rows
    // (row_pitch.hpp), the run reads it with them instead of a copy; a run
    // that stops leaves the noisy image as it was.
    const std::int32_t nx = image.nx;
    const std::int32_t pitch = work_row_length(*this, image);
    const bool in_place = pitch != nx && pad_rows_in_place(image, pitch);
    try {
        iteration_run run(*this, image, sigma, in_place ? nx : 0);
        while (run.done() < params.max_iter) {
            run.next();
        }
        // The image's storage is reused (it has room for the result), so a
        // view of it stays valid.
        run.copy_estimate(image);
        if (variance_out != nullptr) {
            run.take_variance(*variance_out);
        }
    } catch (...) {
        if (in_place) {
            keep_rows(image, nx);
        }
        throw;
    }
}

void iteration_run::copy_estimate(array& out) const { copy_rows(sum_estimate_, nx_, out); }

void iteration_run::take_variance(array& out) {
    keep_rows(sum_variance_, nx_);
    out.swap(sum_variance_);
}

}  // namespace qv
