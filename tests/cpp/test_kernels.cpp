// Every kernel table this CPU supports against the sequential definition.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "metrics/kernels.h"

using namespace orbisk;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Case {
    std::vector<double> block;  // lanes rows, interleaved
    std::vector<double> query;
};

Case make_case(std::size_t dim, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const double specials[] = {0.0, -0.0, 1e300, -1e-300, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};
    auto value = [&] { return rng() % 13 == 0 ? specials[rng() % 6] : normal(rng); };
    Case c{std::vector<double>(dim * lanes), std::vector<double>(dim)};
    for (auto& v : c.block) v = value();
    for (auto& v : c.query) v = value();
    return c;
}

class KernelTables : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KernelTables, MatchSequentialSumsBitForBit) {
    const Kernels* tables[3];
    const std::size_t count = supported_kernels(tables, 3);
    std::mt19937_64 rng(GetParam());
    for (int round = 0; round < 50; ++round) {
        const std::size_t dim = GetParam();
        const Case c = make_case(dim, rng);
        for (std::size_t t = 0; t < count; ++t) {
            double l2[lanes], dot[lanes];
            ASSERT_TRUE(tables[t]->squared_l2(c.block.data(), c.query.data(), dim,
                                              std::numeric_limits<double>::quiet_NaN(), l2));
            tables[t]->dot(c.block.data(), c.query.data(), dim, dot);
            for (std::size_t r = 0; r < lanes; ++r) {
                double want_l2 = 0.0, want_dot = 0.0;
                for (std::size_t i = 0; i < dim; ++i) {
                    const double d = c.query[i] - c.block[i * lanes + r];
                    want_l2 += d * d;
                    want_dot += c.query[i] * c.block[i * lanes + r];
                }
                EXPECT_TRUE(same_bits(l2[r], want_l2) || (std::isnan(l2[r]) && std::isnan(want_l2)))
                    << tables[t]->name << " dim " << dim << " lane " << r;
                EXPECT_TRUE(same_bits(dot[r], want_dot) || (std::isnan(dot[r]) && std::isnan(want_dot)))
                    << tables[t]->name << " dim " << dim << " lane " << r;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, KernelTables,
                         ::testing::Values(0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 128));

TEST(KernelTables, AbandonOnlyWhenEveryLaneReachesTheBound) {
    const Kernels* tables[3];
    const std::size_t count = supported_kernels(tables, 3);
    const std::size_t dim = 64;
    std::vector<double> block(dim * lanes, 1.0), query(dim, 0.0);
    for (std::size_t t = 0; t < count; ++t) {
        double out[lanes];
        // After 16 elements every lane holds 16.0.
        EXPECT_FALSE(tables[t]->squared_l2(block.data(), query.data(), dim, 16.0, out)) << tables[t]->name;
        EXPECT_TRUE(tables[t]->squared_l2(block.data(), query.data(), dim, 64.5, out)) << tables[t]->name;
        EXPECT_EQ(out[0], 64.0);
        block[3] = 0.0;  // lane 3 stays below the bound at the first look
        for (std::size_t i = 0; i < 16; ++i) block[i * lanes + 3] = 0.0;
        EXPECT_TRUE(tables[t]->squared_l2(block.data(), query.data(), 17, 16.0, out)) << tables[t]->name;
        for (std::size_t i = 0; i < 16; ++i) block[i * lanes + 3] = 1.0;
    }
}

TEST(KernelTables, PortableTableAlwaysFirst) {
    const Kernels* tables[3];
    ASSERT_GE(supported_kernels(tables, 3), 1u);
    EXPECT_STREQ(tables[0]->name, "scalar");
}

}  // namespace
