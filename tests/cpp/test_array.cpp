#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "array/array.hpp"
#include "array/threads.hpp"

namespace {

qv::array ramp(const qv::shape& s) {
    qv::array a;
    a.alloc(s);
    std::iota(a.data.begin(), a.data.end(), 0.0f);
    return a;
}

void expect_empty(const qv::array& a) {
    EXPECT_EQ(a.nx, 0);
    EXPECT_EQ(a.ny, 0);
    EXPECT_EQ(a.nz, 0);
    EXPECT_EQ(a.nc, 0);
    EXPECT_EQ(a.nt, 0);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_TRUE(a.data.empty());
}

TEST(Array, DefaultIsEmptyWithoutStorage) {
    const qv::array a;
    expect_empty(a);
    EXPECT_EQ(a.data.capacity(), 0u);
}

class ZeroCountShape : public ::testing::TestWithParam<qv::shape> {};

TEST_P(ZeroCountShape, AllocAndAssignGiveTheEmptyArray) {
    qv::array a = ramp({2, 2, 1, 1, 1});
    a.alloc(GetParam());
    expect_empty(a);
    const std::vector<float> src(64, 1.0f);
    qv::array b = ramp({2, 2, 1, 1, 1});
    b.assign(src.data(), GetParam());
    expect_empty(b);
    const qv::array c(src.data(), GetParam().nx, GetParam().ny, GetParam().nz, GetParam().nc,
                      GetParam().nt);
    expect_empty(c);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ZeroCountShape,
                         ::testing::Values(qv::shape{5, 0, 3, 1, 1}, qv::shape{0, 0, 0, 0, 0},
                                           qv::shape{1, 1, 1, 1, 0}, qv::shape{0, 4, 4, 4, 4}));

TEST(Array, AssignWithNullSourceIsEmpty) {
    qv::array a = ramp({3, 3, 1, 1, 1});
    a.assign(nullptr, qv::shape{4, 4, 1, 1, 1});
    expect_empty(a);
}

TEST(Array, AllocZeroesEvenForTheSameElementCount) {
    qv::array a = ramp({4, 3, 1, 1, 1});
    a.alloc(qv::shape{2, 6, 1, 1, 1});
    EXPECT_EQ(a.nx, 2);
    EXPECT_EQ(a.ny, 6);
    ASSERT_EQ(a.data.size(), 12u);
    for (const float v : a.data) EXPECT_EQ(v, 0.0f);
}

TEST(Array, ReallocKeepsCapacityAndClearReleasesIt) {
    qv::array a;
    a.alloc(qv::shape{8, 8, 2, 1, 1});
    const float* block = a.data.data();
    const std::size_t cap = a.data.capacity();
    a.alloc(qv::shape{4, 4, 1, 1, 1});
    EXPECT_EQ(a.data.data(), block);
    EXPECT_EQ(a.data.capacity(), cap);
    a.alloc(qv::shape{8, 8, 2, 1, 1});
    EXPECT_EQ(a.data.data(), block);
    a.clear();
    expect_empty(a);
    EXPECT_EQ(a.data.capacity(), 0u);
}

TEST(Array, AssignCopiesAndTakesTheShape) {
    const qv::array b = ramp({3, 2, 2, 1, 1});
    qv::array a = ramp({7, 1, 1, 1, 1});
    a.assign(b.data.data(), b);
    EXPECT_EQ(a.nx, 3);
    EXPECT_EQ(a.ny, 2);
    EXPECT_EQ(a.nz, 2);
    EXPECT_EQ(a.data, b.data);
    EXPECT_NE(a.data.data(), b.data.data());
}

TEST(Array, AssignFromOwnStorageIsSafe) {
    qv::array a = ramp({4, 4, 1, 1, 1});
    a.assign(a.data.data() + 4, qv::shape{4, 3, 1, 1, 1});
    ASSERT_EQ(a.data.size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(a.data[i], static_cast<float>(i + 4));
}

TEST(Array, FillAndChaining) {
    qv::array a;
    a.alloc(qv::shape{3, 3, 1, 2, 1}).fill(2.5f);
    EXPECT_EQ(a.nc, 2);
    for (const float v : a.data) EXPECT_EQ(v, 2.5f);
    a.fill(0.0f);
    for (const float v : a.data) EXPECT_EQ(v, 0.0f);
    qv::array e;
    e.fill(1.0f);
    expect_empty(e);
}

TEST(Array, SwapExchangesStorageWithoutCopying) {
    qv::array a = ramp({4, 3, 2, 1, 1});
    qv::array b;
    const float* block = a.data.data();
    a.swap(b);
    expect_empty(a);
    EXPECT_EQ(b.nx, 4);
    EXPECT_EQ(b.nz, 2);
    EXPECT_EQ(b.data.data(), block);
    b.swap(b);
    EXPECT_EQ(b.nx, 4);
    EXPECT_EQ(b.ny, 3);
    EXPECT_EQ(b.data.data(), block);
    EXPECT_EQ(b.data.size(), 24u);
}

TEST(Array, SizeIsSixtyFourBit) {
    const qv::shape s{65536, 65536, 4, 1, 1};
    EXPECT_EQ(s.size(), 17179869184ull);
    const qv::shape big{2147483647, 2147483647, 1, 1, 1};
    EXPECT_EQ(big.size(), 4611686014132420609ull);
}

TEST(Array, OffsetFormulaMatchesBufferOrder) {
    const qv::array a = ramp({4, 3, 2, 2, 2});
    const int x = 1, y = 2, z = 1, c = 1, t = 1;
    const int off = x + a.nx * (y + a.ny * (z + a.nz * (c + a.nc * t)));
    EXPECT_EQ(off, 93);
    EXPECT_EQ(a.data[93], 93.0f);
}

TEST(ThreadCount, KeepsEveryCountUpToTheCap) {
    const int cap = qv::max_thread_count();
    EXPECT_GE(cap, 64);
    for (const std::int64_t n : {1, 3, 5, 64}) {
        EXPECT_EQ(qv::clamp_thread_count(n), n);
    }
    EXPECT_EQ(qv::clamp_thread_count(cap), cap);
    for (const std::int64_t n : {std::int64_t{cap} + 1, std::int64_t{1} << 40}) {
        EXPECT_EQ(qv::clamp_thread_count(n), cap) << n;
    }
    for (const std::int64_t n : {0, -1, -100000}) {
        EXPECT_EQ(qv::clamp_thread_count(n), 1) << n;
    }
}

}  // namespace
