// Every kernel table this CPU supports against the sequential definition.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/row_store.h"
#include "hnsw/visit.h"
#include "metrics/kernels.h"
#include "metrics/metrics.h"

using namespace orbisk;

namespace {

// Every table this CPU supports, the portable one first.
template <class Table>
std::vector<const Table*> tables_of(const Table& (*table)(Isa)) {
    std::vector<const Table*> out;
    for (Isa isa : supported_isas()) out.push_back(&table(isa));
    return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(const void* a, const void* b, std::size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

struct Case {
    std::vector<double> block;  // lanes rows, interleaved
    std::vector<double> query;
};

Case make_case(std::size_t dim, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const double specials[] = {
        0.0, -0.0, 1e300, -1e-300, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    auto value = [&] { return rng() % 13 == 0 ? specials[rng() % 6] : normal(rng); };
    Case c{std::vector<double>(dim * lanes), std::vector<double>(dim)};
    for (auto& v : c.block) v = value();
    for (auto& v : c.query) v = value();
    return c;
}

bool same_value(double got, double want) { return same_bits(got, want) || (std::isnan(got) && std::isnan(want)); }

/// The sum of squared differences, from +0.0 in element order.
double sequential_squares(Vec q, Vec row) {
    double sum = 0.0;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const double d = q[i] - row[i];
        sum += d * d;
    }
    return sum;
}

// Row-major rows in groups of eight, 1 to `slots` groups, summed in steps
// of uneven length: each lane must end with its row's sequential sum.
TEST(KernelTables, RowGroupsMatchSequentialSums) {
    const auto tables = tables_of(distance_kernels);
    const std::size_t count = tables.size();
    std::mt19937_64 rng(23);
    for (std::size_t dim : {1, 3, 5, 7, 8, 9, 13, 15, 16, 17, 31, 32, 33, 128, 130}) {
        std::vector<Case> rows;
        for (std::size_t r = 0; r < slots; ++r) rows.push_back(make_case(dim, rng));
        // The interleaved blocks give slots * lanes rows; lay them out row-major.
        std::vector<double> store(slots * lanes * dim);
        for (std::size_t g = 0; g < slots; ++g) {
            for (std::size_t r = 0; r < lanes; ++r) {
                for (std::size_t i = 0; i < dim; ++i) store[(g * lanes + r) * dim + i] = rows[g].block[i * lanes + r];
            }
        }
        const std::vector<double>& q = rows[0].query;
        // The same rows as float32 (a value float32 cannot hold becomes its
        // largest finite one), and those widened: the float kernels must
        // give the sums of the widened rows.
        std::vector<float> floats(store.size());
        for (std::size_t i = 0; i < store.size(); ++i) {
            floats[i] = is_float32(store[i]) ? static_cast<float>(store[i]) : std::numeric_limits<float>::max();
        }
        const std::vector<double> widened(floats.begin(), floats.end());
        for (std::size_t t = 0; t < count; ++t) {
            for (std::size_t groups = 1; groups <= slots; ++groups) {
                std::int64_t offsets[slots * lanes];
                // Rows in a scrambled order, as a walk finds them.
                for (std::size_t r = 0; r < groups * lanes; ++r) {
                    offsets[r] = static_cast<std::int64_t>(((r * 7) % (slots * lanes)) * dim);
                }
                double l2[slots * lanes] = {}, dots[slots * lanes] = {};
                double l2f[slots * lanes] = {}, dotsf[slots * lanes] = {};
                for (std::size_t at = 0; at < dim;) {
                    const std::size_t to = std::min(dim, at + 1 + rng() % 11);
                    tables[t]->squared_l2_rows(store.data(), offsets, groups, q.data(), at, to, l2);
                    tables[t]->dot_rows(store.data(), offsets, groups, q.data(), at, to, dots);
                    tables[t]->squared_l2_floats(floats.data(), offsets, groups, q.data(), at, to, l2f);
                    tables[t]->dot_floats(floats.data(), offsets, groups, q.data(), at, to, dotsf);
                    at = to;
                }
                for (std::size_t r = 0; r < groups * lanes; ++r) {
                    const Vec row(store.data() + offsets[r], dim), wide(widened.data() + offsets[r], dim);
                    EXPECT_TRUE(same_value(l2[r], sequential_squares(q, row))) << tables[t]->name << " dim " << dim;
                    EXPECT_TRUE(same_value(dots[r], sum_of_products(q.data(), row.data(), dim))) << tables[t]->name;
                    EXPECT_TRUE(same_value(l2f[r], sequential_squares(q, wide))) << tables[t]->name << " (floats)";
                    EXPECT_TRUE(same_value(dotsf[r], sum_of_products(q.data(), wide.data(), dim)))
                        << tables[t]->name << " (floats) dim " << dim << " row " << r;
                }
            }
        }
    }
}

// Whole rows in one call, every dimension from 1 to 300: the whole chunks of
// elements and the tail after them, values of scattered magnitudes so that
// any other order of the adds would change some sum's bits.
TEST(KernelTables, WholeRowsOfEveryDimensionMatchSequentialSums) {
    const auto tables = tables_of(distance_kernels);
    std::mt19937_64 rng(31);
    std::normal_distribution<double> normal(0.0, 1.0);
    constexpr std::size_t rows = slots * lanes;
    for (std::size_t dim = 1; dim <= 300; ++dim) {
        std::vector<float> floats(rows * dim);
        std::vector<double> q(dim);
        for (auto& v : floats) v = static_cast<float>(std::ldexp(normal(rng), static_cast<int>(rng() % 41) - 20));
        for (auto& v : q) v = std::ldexp(normal(rng), static_cast<int>(rng() % 41) - 20);
        const std::vector<double> store(floats.begin(), floats.end());
        std::int64_t offsets[rows];
        for (std::size_t r = 0; r < rows; ++r) offsets[r] = static_cast<std::int64_t>(((r * 5) % rows) * dim);
        for (const Kernels* t : tables) {
            double l2[rows] = {}, dots[rows] = {}, l2f[rows] = {}, dotsf[rows] = {};
            t->squared_l2_rows(store.data(), offsets, slots, q.data(), 0, dim, l2);
            t->dot_rows(store.data(), offsets, slots, q.data(), 0, dim, dots);
            t->squared_l2_floats(floats.data(), offsets, slots, q.data(), 0, dim, l2f);
            t->dot_floats(floats.data(), offsets, slots, q.data(), 0, dim, dotsf);
            for (std::size_t r = 0; r < rows; ++r) {
                const Vec row(store.data() + offsets[r], dim);
                const double squares = sequential_squares(q, row), dot = sum_of_products(q.data(), row.data(), dim);
                ASSERT_TRUE(same_bits(l2[r], squares) && same_bits(l2f[r], squares)) << t->name << " dim " << dim;
                ASSERT_TRUE(same_bits(dots[r], dot) && same_bits(dotsf[r], dot)) << t->name << " dim " << dim;
            }
        }
    }
}

// Each table's block encoder against encode() and norm() of each row, over
// doubles and floats, rows without a code among them.
TEST(KernelTables, BlockEncodersGiveEachRowsCodeAndNorm) {
    const auto tables = tables_of(distance_kernels);
    std::mt19937_64 rng(31);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::size_t dim : {1, 3, 4, 5, 8, 13, 16, 17, 31, 64, 130}) {
        std::vector<double> rows(code_lanes * dim);
        for (double& v : rows) v = static_cast<float>(rng() % 4 ? normal(rng) : std::round(normal(rng) * 40));
        const double special[] = {std::numeric_limits<double>::quiet_NaN(), -INFINITY, 1e38, 1e-38, 0.0};
        for (std::size_t k = 0; k < 5; ++k) rows[(2 + 3 * k) * dim + (k % dim)] = static_cast<float>(special[k]);
        std::fill_n(rows.begin(), dim, 0.0);
        const std::vector<float> floats(rows.begin(), rows.end());
        for (MetricKind kind : {MetricKind::Euclidean, MetricKind::Dot}) {
            const std::size_t bytes = code_bytes(dim);
            std::vector<std::uint8_t> want(code_lanes * bytes), row_major(code_lanes * bytes);
            CodeInfo want_info[code_lanes];
            double want_norms[code_lanes];
            for (std::size_t r = 0; r < code_lanes; ++r) {
                const Vec row(rows.data() + r * dim, dim);
                want_info[r] = encode(row, kind, row_major.data() + r * bytes);
                want_norms[r] = norm(row);
            }
            interleave_codes(row_major.data(), bytes, want.data());
            for (const Kernels* t : tables) {
                for (bool as_floats : {false, true}) {
                    std::vector<std::uint8_t> block(want.size(), 0xAA);
                    CodeInfo info[code_lanes];
                    double norms[code_lanes];
                    if (as_floats) {
                        t->encode_floats(floats.data(), dim, kind, block.data(), info, norms);
                    } else {
                        t->encode_doubles(rows.data(), dim, kind, block.data(), info, norms);
                    }
                    EXPECT_EQ(block, want) << t->name << " dim " << dim << (as_floats ? " floats" : "");
                    for (std::size_t r = 0; r < code_lanes; ++r) {
                        EXPECT_TRUE(same_bits(&info[r], &want_info[r], sizeof(CodeInfo)))
                            << t->name << " dim " << dim << " row " << r << (as_floats ? " floats" : "");
                        EXPECT_TRUE(same_value(norms[r], want_norms[r])) << t->name << " dim " << dim << " row " << r;
                    }
                }
            }
        }
    }
}

// Visiting a run: exactly the unstamped ids, in list order, with their
// codes, stamped afterwards; ids rebuilt from shared or separate high bits.
TEST(KernelTables, VisitRunTakesExactlyTheNewIds) {
    const auto tables = tables_of(visit_kernels);
    const std::size_t count = tables.size();
    std::mt19937_64 rng(29);
    constexpr std::uint32_t nodes = 3 << 16;
    for (int round = 0; round < 100; ++round) {
        const std::size_t size = 1 + rng() % 32;
        const bool wide = round % 3 == 0;
        std::uint16_t low[32], high[32];
        std::uint8_t run_codes[32];
        const std::uint32_t base = static_cast<std::uint32_t>(rng() % 3) << 16;
        std::vector<std::uint32_t> ids;
        while (ids.size() < 32) {  // distinct ids, as in a list
            const std::uint32_t id =
                wide ? static_cast<std::uint32_t>(rng() % nodes) : base | static_cast<std::uint32_t>(rng() % 65536);
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
        for (std::size_t j = 0; j < 32; ++j) {
            low[j] = static_cast<std::uint16_t>(ids[j]);
            high[j] = static_cast<std::uint16_t>(ids[j] >> 16);
            run_codes[j] = static_cast<std::uint8_t>(rng());
        }
        std::vector<std::uint32_t> stamps(nodes);
        for (auto& st : stamps) st = rng() % 2 ? 7 : 6;
        for (std::size_t t = 0; t < count; ++t) {
            std::vector<std::uint32_t> got_stamps = stamps, out(32 + visit_room);
            std::vector<std::uint8_t> out_codes(32 + visit_room);
            const std::uint32_t use = round % 2 ? ~std::uint32_t{0} : static_cast<std::uint32_t>(rng());
            const std::size_t added = tables[t]->visit_run(low, base, wide ? high : nullptr, run_codes, size, use,
                                                           got_stamps.data(), 7, out.data(), out_codes.data());
            std::vector<std::uint32_t> want;
            std::vector<std::uint8_t> want_codes;
            for (std::size_t j = 0; j < size; ++j) {
                if ((use >> j & 1) && stamps[ids[j]] != 7) {
                    want.push_back(ids[j]);
                    want_codes.push_back(run_codes[j]);
                }
            }
            ASSERT_EQ(added, want.size()) << tables[t]->name;
            for (std::size_t j = 0; j < added; ++j) {
                EXPECT_EQ(out[j], want[j]) << tables[t]->name;
                EXPECT_EQ(out_codes[j], want_codes[j]) << tables[t]->name;
            }
            for (std::size_t j = 0; j < 32; ++j) {
                const bool used = j < size && (use >> j & 1);
                EXPECT_EQ(got_stamps[ids[j]], used ? 7u : stamps[ids[j]]) << tables[t]->name;
            }
        }
    }
}

TEST(KernelTables, PortableTableAlwaysFirst) {
    ASSERT_GE(supported_isas().size(), 1u);
    EXPECT_EQ(supported_isas()[0], Isa::Scalar);
    EXPECT_EQ(best_isa(), supported_isas().back());
    EXPECT_STREQ(tables_of(distance_kernels)[0]->name, "scalar");
    EXPECT_STREQ(tables_of(visit_kernels)[0]->name, "scalar");
}

}  // namespace
