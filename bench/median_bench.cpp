// Medians by selection (the library's) against a full sort with NaN last, on
// the list sizes of the calibration windows and on a whole image. Prints the
// best time of each, interleaved, and their ratio.
//
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/median_bench.cpp \
//       build/cpp/libqv_core.a -fopenmp -o /tmp/median_bench && /tmp/median_bench
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "noise/noise_model.hpp"

namespace {

double sorted_median(std::vector<double>& v) {
    const auto end = std::partition(v.begin(), v.end(), [](double x) { return !std::isnan(x); });
    std::sort(v.begin(), end);
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[(n - 1) / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

template <typename F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(100.0, 10.0);
    for (const std::size_t size : {42UL, 294UL, 2058UL, 1UL << 20}) {
        const std::size_t lists = std::max<std::size_t>(1, (std::size_t{1} << 22) / size);
        std::vector<std::vector<double>> data(lists, std::vector<double>(size));
        for (auto& list : data) {
            for (double& v : list) {
                v = noise(rng);
            }
        }
        double best_select = 1e30, best_sort = 1e30;
        std::vector<double> by_select(lists), by_sort(lists);
        for (int repeat = 0; repeat < 5; ++repeat) {
            auto a = data;
            auto b = data;
            best_select = std::min(best_select, seconds([&] {
                for (std::size_t i = 0; i < lists; ++i) by_select[i] = qv::median_in_place(a[i]);
            }));
            best_sort = std::min(best_sort, seconds([&] {
                for (std::size_t i = 0; i < lists; ++i) by_sort[i] = sorted_median(b[i]);
            }));
        }
        std::printf("%8zu values x %6zu lists: selection %.4f s, sort %.4f s, sort/selection %.2f, "
                    "%s\n",
                    size, lists, best_select, best_sort, best_sort / best_select,
                    by_select == by_sort ? "same medians" : "MEDIANS DIFFER");
    }
    return 0;
}
