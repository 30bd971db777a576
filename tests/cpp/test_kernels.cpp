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

double sequential_l2(const Case& c, std::size_t r, std::size_t dim) {
    double sum = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        const double d = c.query[i] - c.block[i * lanes + r];
        sum += d * d;
    }
    return sum;
}

double sequential_dot(const Case& c, std::size_t r, std::size_t dim) {
    double sum = 0.0;
    for (std::size_t i = 0; i < dim; ++i) sum += c.query[i] * c.block[i * lanes + r];
    return sum;
}

bool same_value(double got, double want) { return same_bits(got, want) || (std::isnan(got) && std::isnan(want)); }

class KernelTables : public ::testing::TestWithParam<std::size_t> {};

// Every slot count, blocks advanced in uneven steps from their own
// positions: each lane must end with the sequential sum of its row.
TEST_P(KernelTables, MatchSequentialSumsBitForBit) {
    const Kernels* tables[3];
    const std::size_t count = supported_kernels(tables, 3);
    const std::size_t dim = GetParam();
    std::mt19937_64 rng(dim);
    for (int round = 0; round < 20; ++round) {
        std::vector<Case> cases;
        for (std::size_t s = 0; s < slots; ++s) cases.push_back(make_case(dim, rng));
        for (std::size_t t = 0; t < count; ++t) {
            for (std::size_t used = 1; used <= slots; ++used) {
                const double* blocks[slots];
                std::size_t from[slots] = {};
                double acc[slots * lanes] = {};
                for (std::size_t s = 0; s < used; ++s) blocks[s] = cases[s].block.data();
                for (std::size_t done = 0; done < dim;) {
                    const std::size_t steps = std::min<std::size_t>(dim - done, 1 + rng() % 9);
                    // Every slot sees the same query here; positions agree.
                    tables[t]->squared_l2_slots(blocks, from, used, cases[0].query.data(), steps, acc);
                    for (std::size_t s = 0; s < used; ++s) from[s] += steps;
                    done += steps;
                }
                double dots[slots * lanes];
                tables[t]->dot_blocks(blocks, used, cases[0].query.data(), dim, dots);
                for (std::size_t s = 0; s < used; ++s) {
                    Case c = cases[s];
                    c.query = cases[0].query;
                    for (std::size_t r = 0; r < lanes; ++r) {
                        EXPECT_TRUE(same_value(acc[s * lanes + r], sequential_l2(c, r, dim)))
                            << tables[t]->name << " dim " << dim << " slot " << s << " lane " << r;
                        EXPECT_TRUE(same_value(dots[s * lanes + r], sequential_dot(c, r, dim)))
                            << tables[t]->name << " dim " << dim << " slot " << s << " lane " << r;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, KernelTables,
                         ::testing::Values(0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 128));

// Slots at different positions read their own elements of the query.
TEST(KernelTables, SlotsKeepTheirOwnPositions) {
    const Kernels* tables[3];
    const std::size_t count = supported_kernels(tables, 3);
    std::mt19937_64 rng(11);
    const std::size_t dim = 40;
    std::vector<Case> cases;
    for (std::size_t s = 0; s < slots; ++s) cases.push_back(make_case(dim, rng));
    const std::vector<double> query = cases[0].query;
    for (std::size_t t = 0; t < count; ++t) {
        const double* blocks[slots];
        std::size_t from[slots];
        double acc[slots * lanes] = {};
        for (std::size_t s = 0; s < slots; ++s) {
            blocks[s] = cases[s].block.data();
            from[s] = 3 * s;  // staggered starts: slot s has done its first 3s elements
            Case c = cases[s];
            c.query = query;
            for (std::size_t r = 0; r < lanes; ++r) acc[s * lanes + r] = sequential_l2(c, r, 3 * s);
        }
        tables[t]->squared_l2_slots(blocks, from, slots, query.data(), dim - 3 * (slots - 1), acc);
        for (std::size_t s = 0; s < slots; ++s) {
            Case c = cases[s];
            c.query = query;
            for (std::size_t r = 0; r < lanes; ++r) {
                EXPECT_TRUE(same_value(acc[s * lanes + r], sequential_l2(c, r, 3 * s + dim - 3 * (slots - 1))))
                    << tables[t]->name << " slot " << s << " lane " << r;
            }
        }
    }
}

TEST(KernelTables, PortableTableAlwaysFirst) {
    const Kernels* tables[3];
    ASSERT_GE(supported_kernels(tables, 3), 1u);
    EXPECT_STREQ(tables[0]->name, "scalar");
}

}  // namespace
