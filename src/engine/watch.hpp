// Running a denoiser on a worker thread while the calling Python thread
// reports its progress, answers Ctrl-C and stops it on request.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "denoise/run_monitor.hpp"

namespace qv::engine {

// Runs `work` on a new thread with `threads` OpenMP threads, the interpreter
// lock released. About every 0.1 s the calling thread takes the lock, calls
// `progress(fraction)` (unless None) and checks for signals; when either
// raises, it sets the monitor's cancel flag, waits for the worker to stop and
// re-raises. An exception of `work` is re-raised once the worker has ended.
void run_watched(const std::function<void()>& work, int threads, const pybind11::object& progress,
                 run_monitor& monitor);

}  // namespace qv::engine
