#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "denoise/transforms.hpp"
#include "noise/noise_model.hpp"

namespace {

qv::noise_model model_of(std::vector<float> gain, std::vector<float> offset) {
    qv::noise_model m;
    m.gain = std::move(gain);
    m.offset = std::move(offset);
    return m;
}

qv::array image_of(const std::vector<float>& values, std::int32_t nx, std::int32_t nc,
                   std::int32_t nt) {
    return qv::array(values.data(), nx, 1, 1, nc, nt);
}

TEST(Transform, UnitGainIsTheClassicAnscombePair) {
    const auto m = model_of({1.0f}, {0.0f});
    qv::array a = image_of({0.0f, 1.0f, 4.0f, 100.0f}, 4, 1, 1);
    m.forward_transform(a);
    for (std::size_t i = 0; i < 4; ++i) {
        const float v = std::vector<float>{0.0f, 1.0f, 4.0f, 100.0f}[i];
        EXPECT_FLOAT_EQ(a.data[i], 2.0f * std::sqrt(v + 0.375f));
    }
    qv::array y = image_of({0.0f, 2.0f, 10.0f}, 3, 1, 1);
    m.inverse_transform(y);
    EXPECT_FLOAT_EQ(y.data[0], -0.125f);
    EXPECT_FLOAT_EQ(y.data[1], 1.0f - 0.125f);
    EXPECT_FLOAT_EQ(y.data[2], 25.0f - 0.125f);
}

struct gain_offset {
    float gain;
    float offset;
};

class RoundTrip : public ::testing::TestWithParam<gain_offset> {};

TEST_P(RoundTrip, InverseOfForwardAddsAQuarter) {
    const auto [g, o] = GetParam();
    const auto m = model_of({g}, {o});
    std::vector<float> values;
    for (float v = 0.0f; v < 3000.0f; v += 37.5f) {
        if (g * v + 0.375f * g * g + o >= 0.0f) values.push_back(v);
    }
    qv::array a = image_of(values, static_cast<std::int32_t>(values.size()), 1, 1);
    m.forward_transform(a);
    m.inverse_transform(a);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_NEAR(a.data[i], values[i] + 0.25f, 2e-4f * (values[i] + 10.0f)) << "v=" << values[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Models, RoundTrip,
                         ::testing::Values(gain_offset{1.0f, 0.0f}, gain_offset{2.0f, 25.0f},
                                           gain_offset{0.5f, -3.0f}, gain_offset{7.5f, 400.0f}));

TEST(Transform, ValuesBelowTheClipMapToTheFloor) {
    const float g = 2.0f, o = 25.0f;
    const auto m = model_of({g}, {o});
    qv::array a = image_of({-100.0f, std::nanf("")}, 2, 1, 1);
    m.forward_transform(a);
    EXPECT_EQ(a.data[0], 0.0f);
    EXPECT_EQ(a.data[1], 0.0f);
    m.inverse_transform(a);
    EXPECT_FLOAT_EQ(a.data[0], 0.25f - 0.375f * g - o / g);
}

TEST(Transform, EachChannelUsesItsOwnParametersAtEveryTime) {
    // Two channels, three time points; extra list entries are ignored.
    const auto m = model_of({1.0f, 4.0f, 99.0f}, {0.0f, 10.0f, 99.0f});
    std::vector<float> values(2 * 2 * 3, 9.0f);
    qv::array a = image_of(values, 2, 2, 3);
    m.forward_transform(a);
    const float c0 = 2.0f * std::sqrt(9.0f + 0.375f);
    const float c1 = std::sqrt(4.0f * 9.0f + (4.0f * 0.375f) * 4.0f + 10.0f) * 0.5f;
    for (std::int32_t t = 0; t < 3; ++t) {
        for (std::int32_t x = 0; x < 2; ++x) {
            EXPECT_FLOAT_EQ(a.data[static_cast<std::size_t>(x + 2 * (0 + 2 * t))], c0);
            EXPECT_FLOAT_EQ(a.data[static_cast<std::size_t>(x + 2 * (1 + 2 * t))], c1);
        }
    }
}

}  // namespace

namespace {

struct bad_model {
    std::vector<float> gain;
    std::vector<float> offset;
    const char* message;
};

class TransformCheck : public ::testing::TestWithParam<bad_model> {};

TEST_P(TransformCheck, RefusesModelsTheTransformCannotUse) {
    qv::noise_model m;
    m.gain = GetParam().gain;
    m.offset = GetParam().offset;
    try {
        qv::check_transform_parameters(m, 2);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
}

constexpr const char* per_channel = "gain and offset must have one entry per channel";
constexpr const char* bad_value = "gain must be > 0 and offset finite";

INSTANTIATE_TEST_SUITE_P(Models, TransformCheck,
                         ::testing::Values(bad_model{{1.0f}, {0.0f, 0.0f}, per_channel},
                                           bad_model{{1.0f, 1.0f}, {0.0f}, per_channel},
                                           bad_model{{1.0f, 0.0f}, {0.0f, 0.0f}, bad_value},
                                           bad_model{{1.0f, -2.0f}, {0.0f, 0.0f}, bad_value},
                                           bad_model{{1.0f, INFINITY}, {0.0f, 0.0f}, bad_value},
                                           bad_model{{1.0f, 1.0f}, {0.0f, NAN}, bad_value}));

TEST(TransformCheck, AcceptsLongerListsAndNegativeOffsets) {
    qv::noise_model m;
    m.gain = {1.0f, 2.0f, 0.0f};
    m.offset = {-5.0f, 3.0f};
    EXPECT_NO_THROW(qv::check_transform_parameters(m, 2));
    EXPECT_NO_THROW(qv::check_transform_parameters(m, 0));
}

}  // namespace
