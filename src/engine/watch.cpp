#include "engine/watch.hpp"

#include <omp.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace py = pybind11;

namespace qv::engine {

namespace {

constexpr auto report_interval = std::chrono::milliseconds(100);

// What the worker hands back to the calling thread.
struct worker_state {
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    std::exception_ptr error;
};

// Calls the progress callable and lets pending signal handlers run; throws
// error_already_set when either raised.
void report(const py::object& progress, const run_monitor& monitor) {
    const py::gil_scoped_acquire acquire;
    if (!progress.is_none()) {
        progress(monitor.fraction());
    }
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

}  // namespace

void run_watched(const std::function<void()>& work, int threads, const py::object& progress,
                 run_monitor& monitor) {
    worker_state state;
    const py::gil_scoped_release release;
    std::thread worker([&] {
        omp_set_num_threads(threads);
        try {
            work();
        } catch (...) {
            state.error = std::current_exception();
        }
        {
            const std::lock_guard lock(state.mutex);
            state.finished = true;
        }
        state.finished_cv.notify_one();
    });
    try {
        std::unique_lock lock(state.mutex);
        while (!state.finished_cv.wait_for(lock, report_interval, [&] { return state.finished; })) {
            lock.unlock();
            report(progress, monitor);
            lock.lock();
        }
    } catch (...) {
        monitor.cancel.store(true);
        worker.join();
        throw;
    }
    worker.join();
    if (state.error) {
        std::rethrow_exception(state.error);
    }
}

}  // namespace qv::engine
