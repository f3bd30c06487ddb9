#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "noise/noise_model.hpp"
#include "test_noise_data.hpp"

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

std::vector<double> sorted_intensities(const qv::plane_measurement& m) {
    std::vector<double> v;
    for (const qv::calibration_point& p : m.points) {
        v.push_back(p.intensity);
    }
    std::sort(v.begin(), v.end());
    return v;
}

qv::plane_measurement measure(const qv::array& image, std::int32_t c = 0) {
    const qv::noise_model model;
    return model.measure_plane(image, model.pseudo_residuals(image), c);
}

// Image whose value at every element is its coordinate along one axis.
enum class axis { x, y, t };

qv::array coordinate_image(axis a, std::int32_t n) {
    qv::shape s{1, 1, 1, 1, 1};
    if (a == axis::x) {
        s.nx = n;
    } else if (a == axis::y) {
        s.ny = n;
    } else {
        s.nt = n;
    }
    qv::array image;
    image.alloc(s);
    for (std::int32_t t = 0; t < s.nt; ++t) {
        for (std::int32_t y = 0; y < s.ny; ++y) {
            for (std::int32_t x = 0; x < s.nx; ++x) {
                const std::int32_t coord = a == axis::x ? x : (a == axis::y ? y : t);
                image.data[static_cast<std::size_t>(x + s.nx * (y + s.ny * t))] =
                    static_cast<float>(coord);
            }
        }
    }
    return image;
}

struct window_case {
    std::string name;
    axis along;
    std::vector<double> intensities;  // sorted
};

void PrintTo(const window_case& c, std::ostream* os) { *os << c.name; }

class NoiseWindows : public ::testing::TestWithParam<window_case> {};

// Nodes 0, 3, 6, 9 of a ten-long axis. Along x the window of node g is
// g-2..g+3 (medians 1.5, 3.5, 6.5 and, clipped to 7..9, 8); along y and t it
// is g-3..g+3 (clipped: 0..3, 0..6, 3..9, 6..9).
TEST_P(NoiseWindows, MedianIntensitiesOfTheGridNodes) {
    const window_case& wc = GetParam();
    const qv::array image = coordinate_image(wc.along, 10);
    EXPECT_EQ(sorted_intensities(measure(image)), wc.intensities);
}

INSTANTIATE_TEST_SUITE_P(Noise, NoiseWindows,
                         ::testing::Values(window_case{"x", axis::x, {1.5, 3.5, 6.5, 8.0}},
                                           window_case{"y", axis::y, {1.5, 3.0, 6.0, 7.5}},
                                           window_case{"t", axis::t, {1.5, 3.0, 6.0, 7.5}}),
                         [](const auto& info) { return info.param.name; });

TEST(NoiseMeasurePlane, PointOfASingleWindow) {
    // Residuals 0, -3/sqrt(6), 3/sqrt(2): median 0, median deviation 3/sqrt(6).
    const qv::array image = qv_test::row_image({0.0f, 0.0f, 3.0f});
    const qv::plane_measurement m = measure(image);
    ASSERT_EQ(m.points.size(), 1u);
    EXPECT_EQ(m.points[0].intensity, 0.0);
    const double d = std::fabs(static_cast<double>(-3.0f / std::sqrt(6.0f)));
    EXPECT_DOUBLE_EQ(m.points[0].variance, (1.4826 * d) * (1.4826 * d));
    EXPECT_EQ(m.sw, 1.0);
}

TEST(NoiseMeasurePlane, StaysInsideItsChannel) {
    qv::array image;
    image.alloc(qv::shape{9, 9, 1, 2, 1});
    std::fill(image.data.begin(), image.data.begin() + 81, 1.0f);
    std::fill(image.data.begin() + 81, image.data.end(), 50.0f);
    const std::vector<double> intensities = sorted_intensities(measure(image, 1));
    EXPECT_EQ(intensities, std::vector<double>(9, 50.0));
}

TEST(NoiseMeasurePlane, NanPointsAreListedButLeftOutOfTheSums) {
    // Node 0 sees only NaN, node 3 a NaN median; nodes 6 and 9 are numbers.
    const qv::array image =
        qv_test::row_image({nan_f, nan_f, nan_f, nan_f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f});
    const qv::plane_measurement m = measure(image);
    ASSERT_EQ(m.points.size(), 4u);
    double sw = 0.0, swx = 0.0, swy = 0.0;
    for (const qv::calibration_point& p : m.points) {
        if (!std::isnan(p.intensity) && !std::isnan(p.variance)) {
            sw += 1.0;
            swx += p.intensity;
            swy += p.variance;
        }
    }
    EXPECT_EQ(sw, 2.0);
    EXPECT_EQ(m.sw, sw);
    EXPECT_DOUBLE_EQ(m.swx, swx);
    EXPECT_DOUBLE_EQ(m.swy, swy);
}

// Points near the line variance = 2 * intensity + 25, with a small
// alternating scatter and optionally a few far outliers above it.
std::vector<qv::calibration_point> line_points(double scatter, int outliers) {
    std::vector<qv::calibration_point> pts;
    for (int i = 0; i < 100; ++i) {
        const double x = 10.0 * i;
        pts.push_back({x, 2.0 * x + 25.0 + ((i % 2 == 0) ? scatter : -scatter)});
    }
    for (int i = 0; i < outliers; ++i) {
        pts.push_back({100.0 + 300.0 * i, 5000.0});
    }
    return pts;
}

// Ordinary least squares, the starting line of the refit.
void least_squares(const std::vector<qv::calibration_point>& pts, double& p, double& q) {
    double sw = 0, sx = 0, sxx = 0, sy = 0, sxy = 0;
    for (const auto& pt : pts) {
        sw += 1;
        sx += pt.intensity;
        sxx += pt.intensity * pt.intensity;
        sy += pt.variance;
        sxy += pt.intensity * pt.variance;
    }
    const double det = sxx * sw - sx * sx;
    p = (sy * sxx - sxy * sx) / det;
    q = (sxy * sw - sy * sx) / det;
}

TEST(NoiseRefineFit, DiscountsAnOutlier) {
    const auto pts = line_points(3.0, 1);
    double p = 0, q = 0;
    least_squares(pts, p, q);
    ASSERT_GT(std::fabs(p - 25.0), 20.0);  // the outlier pulls the plain fit
    qv::noise_model{}.refine_fit(pts, p, q, 3.0);
    EXPECT_NEAR(q, 2.0, 0.01);
    EXPECT_NEAR(p, 25.0, 3.0);
}

TEST(NoiseRefineFit, LeavesTheLineWhenThereIsNothingToRefine) {
    const qv::noise_model model;
    // Exact points: e0 = 0.
    double p = 25.0, q = 2.0;
    model.refine_fit(line_points(0.0, 0), p, q, 3.0);
    EXPECT_EQ(p, 25.0);
    EXPECT_EQ(q, 2.0);
    // A NaN point makes e0 NaN.
    auto pts = line_points(3.0, 3);
    pts.push_back({std::nan(""), 1.0});
    p = 11.0;
    q = 1.5;
    model.refine_fit(pts, p, q, 3.0);
    EXPECT_EQ(p, 11.0);
    EXPECT_EQ(q, 1.5);
    // No point at all.
    model.refine_fit({}, p, q, 3.0);
    EXPECT_EQ(p, 11.0);
    EXPECT_EQ(q, 1.5);
}

class NoiseRefitScale : public ::testing::TestWithParam<double> {};

// Intensities scaled by s and variances by s^2 scale the slope by s and the
// intercept by s^2: the weights depend on the residuals relative to their own
// rms only.
TEST_P(NoiseRefitScale, FollowsTheIntensityScale) {
    const double s = GetParam();
    const auto pts = line_points(40.0, 3);
    auto scaled = pts;
    for (auto& pt : scaled) {
        pt.intensity *= s;
        pt.variance *= s * s;
    }
    double p = 0, q = 0, ps = 0, qs = 0;
    least_squares(pts, p, q);
    least_squares(scaled, ps, qs);
    const qv::noise_model model;
    model.refine_fit(pts, p, q, 3.0);
    model.refine_fit(scaled, ps, qs, 3.0);
    EXPECT_NEAR(qs, s * q, 1e-9 * std::fabs(s * q));
    EXPECT_NEAR(ps, s * s * p, 1e-9 * std::fabs(s * s * p));
    EXPECT_NEAR(q, 2.0, 0.05);  // and the refit did discount the outliers
}

INSTANTIATE_TEST_SUITE_P(Noise, NoiseRefitScale, ::testing::Values(1e-3, 0.1, 10.0, 1e3));

class NoiseCalibrateScale : public ::testing::TestWithParam<double> {};

TEST_P(NoiseCalibrateScale, GainScalesLinearlyAndOffsetQuadratically) {
    const double s = GetParam();
    const qv::array image = qv_test::poisson_gaussian_image(128, {}, 21);
    qv::array scaled = image;
    for (float& v : scaled.data) {
        v = static_cast<float>(s * v);
    }
    qv::noise_model base, model;
    base.calibrate(image);
    model.calibrate(scaled);
    // Rounding the scaled image and its residuals to float moves every point
    // by about 1e-7 of its value; the extrapolated offset is then held to the
    // same relative precision of the variances it is fitted to (about 2000
    // at the middle intensity, in the unscaled units).
    EXPECT_NEAR(model.gain[0], s * base.gain[0], 1e-5 * s * base.gain[0]);
    EXPECT_NEAR(model.offset[0], s * s * base.offset[0], 1e-5 * s * s * 2000.0);
}

INSTANTIATE_TEST_SUITE_P(Noise, NoiseCalibrateScale, ::testing::Values(10.0, 0.1));

// A noisy sequence of 24 frames: t nodes for several threads.
qv::array noisy_sequence() {
    qv::array image;
    image.alloc(qv::shape{30, 30, 1, 1, 24});
    for (std::int32_t t = 0; t < 24; ++t) {
        const qv::array frame = qv_test::poisson_gaussian_image(30, {}, 100u + t);
        std::copy(frame.data.begin(), frame.data.end(), image.data.begin() + 900 * t);
    }
    return image;
}

TEST(NoiseCalibrate, SameBitsForEveryThreadCount) {
    const qv::array image = noisy_sequence();
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const qv::plane_measurement one = measure(image);
    qv::noise_model single;
    single.calibrate(image);
    for (const int threads : {2, 3, 8}) {
        omp_set_num_threads(threads);
        const qv::plane_measurement m = measure(image);
        ASSERT_EQ(m.points.size(), one.points.size()) << threads << " threads";
        for (std::size_t i = 0; i < m.points.size(); ++i) {
            ASSERT_EQ(m.points[i].intensity, one.points[i].intensity) << threads << " threads";
            ASSERT_EQ(m.points[i].variance, one.points[i].variance) << threads << " threads";
        }
        EXPECT_EQ(std::vector<double>({m.sw, m.swx, m.swxx, m.swy, m.swxy}),
                  std::vector<double>({one.sw, one.swx, one.swxx, one.swy, one.swxy}));
        qv::noise_model model;
        model.calibrate(image);
        EXPECT_EQ(model.gain, single.gain) << threads << " threads";
        EXPECT_EQ(model.offset, single.offset) << threads << " threads";
    }
    omp_set_num_threads(saved);
}

}  // namespace
