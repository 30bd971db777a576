// The exhaustive index: ids, ranking, k, errors, batch appends, and every
// scan against a plain sort of the sequential distances.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "each_table.h"
#include "flat/flat_index.h"
#include "metric_kind.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;
const double nan = std::numeric_limits<double>::quiet_NaN();

Rows rows(const std::vector<V>& vs) {
    Rows r;
    for (const V& v : vs) r.append(v);
    return r;
}

struct Hit {
    std::uint32_t id;
    double distance;
};

// Results as (id, distance); distances compared bit for bit, NaN with NaN.
void expect_hits(const std::vector<Candidate>& got, const std::vector<Hit>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << "position " << i;
        const bool same = std::memcmp(&got[i].distance, &want[i].distance, sizeof(double)) == 0 ||
                          (std::isnan(got[i].distance) && std::isnan(want[i].distance));
        EXPECT_TRUE(same) << "position " << i << ": " << got[i].distance << " vs " << want[i].distance;
    }
}

std::vector<Candidate> search(const Flat& f, const V& q, std::uint32_t k) {
    std::vector<Candidate> out;
    EXPECT_FALSE(f.search(q, k, out));
    return out;
}

// The small cases, on each table.
class FlatIndex : public OnEachTable {
  protected:
    static Flat make(std::uint32_t dim, MetricFn metric, const std::vector<V>& vs) {
        Flat f(dim, kind_of(metric), isa());
        for (const V& v : vs) f.insert(v);
        return f;
    }
};

TEST_P(FlatIndex, RanksAscendingAndStopsAtK) {
    const Flat f = make(2, euclidean_distance, {{0, 0}, {3, 4}, {0, 1}});
    expect_hits(search(f, {0, 0}, 2), {{0, 0.0}, {2, 1.0}});
    expect_hits(search(f, {0, 0}, 10), {{0, 0.0}, {2, 1.0}, {1, 5.0}});
    expect_hits(search(f, {0, 0}, 0), {{0, 0.0}});
    expect_hits(search(f, {3, 4}, 1), {{1, 0.0}});
}

TEST_P(FlatIndex, EqualDistancesByAscendingId) {
    expect_hits(search(make(2, euclidean_distance, {{1, 0}, {0, 1}}), {0, 0}, 2), {{0, 1.0}, {1, 1.0}});
    // Twenty copies across several blocks, with a closer vector late: the
    // kept ties must be the smallest ids, whatever block they sit in.
    std::vector<V> vs(20, V{1.0, 1.0});
    vs[17] = {0.5, 0.5};
    const Flat f = make(2, euclidean_distance, vs);
    const double d = std::sqrt(2.0);
    expect_hits(search(f, {0, 0}, 4), {{17, std::sqrt(0.5)}, {0, d}, {1, d}, {2, d}});
    const std::vector<Candidate> all = search(f, {0, 0}, 100);
    ASSERT_EQ(all.size(), 20u);
    for (std::uint32_t i = 1; i < 20; ++i) EXPECT_EQ(all[i].id, i < 18 ? i - 1 : i);
}

TEST_P(FlatIndex, NaNDistancesComeLast) {
    const Flat f = make(2, cosine_similarity, {{1, 0}, {0, 0}, {0, 1}, {1, 1}});
    expect_hits(search(f, {1, 0}, 10), {{2, 0.0}, {3, 1.0 / (1.0 * std::sqrt(2.0))}, {0, 1.0}, {1, nan}});
    expect_hits(search(f, {1, 0}, 3), {{2, 0.0}, {3, 1.0 / std::sqrt(2.0)}, {0, 1.0}});
    // A zero query makes every distance NaN: id order.
    expect_hits(search(f, {0, 0}, 3), {{0, nan}, {1, nan}, {2, nan}});
    const Flat e = make(1, euclidean_distance, {{nan}, {5}, {nan}, {1}});
    expect_hits(search(e, {0}, 10), {{3, 1.0}, {1, 5.0}, {0, nan}, {2, nan}});
}

TEST_P(FlatIndex, SimilaritiesRankTheLeastSimilarFirst) {
    const Flat f = make(2, dot_product, {{1, 0}, {10, 0}});
    expect_hits(search(f, {1, 0}, 1), {{0, 1.0}});
    expect_hits(search(f, {-1, 0}, 2), {{1, -10.0}, {0, -1.0}});
}

TEST_P(FlatIndex, EmptyIndex) {
    std::vector<Candidate> out{{1.0, 1}};
    EXPECT_EQ(Flat(3, MetricKind::Euclidean, isa()).search(V{1, 2, 3}, 5, out), FlatError::EmptyIndex);
    EXPECT_TRUE(out.empty());
    // Dimension 0 accepts empty vectors and stores nothing.
    Flat zero(0, MetricKind::Dot, isa());
    zero.insert(V{});
    EXPECT_FALSE(zero.create(rows({{}, {}})));
    EXPECT_EQ(zero.size(), 0u);
    EXPECT_EQ(zero.search(V{}, 1, out), FlatError::EmptyIndex);
    EXPECT_EQ(name(FlatError::EmptyIndex), "EmptyIndex");
}

// The names are the texts of the Python errors ("... error: EmptyIndex"),
// those no index call returns included.
TEST(FlatErrorNames, EveryVariant) {
    const std::vector<std::pair<FlatError, std::string_view>> names = {
        {FlatError::EmptyIndex, "EmptyIndex"},
        {FlatError::EmptyVectors, "EmptyVectors"},
        {FlatError::MetadataMismatch, "MetadataMismatch"},
        {FlatError::NoSchema, "NoSchema"},
        {FlatError::EmptySchema, "EmptySchema"},
        {FlatError::AttributeNotFound, "AttributeNotFound"}};
    for (const auto& [e, text] : names) EXPECT_EQ(name(e), text);
}

TEST_P(FlatIndex, CreateAppends) {
    Flat f = make(1, euclidean_distance, {{0}, {10}, {20}});
    EXPECT_EQ(f.create(Rows{}), FlatError::EmptyVectors);
    EXPECT_EQ(f.size(), 3u);
    ASSERT_FALSE(f.create(rows({{30}, {40}})));
    EXPECT_EQ(f.vectors(), (V{0, 10, 20, 30, 40}));
    expect_hits(search(f, {41}, 2), {{4, 1.0}, {3, 11.0}});
}

TEST_P(FlatIndex, WrongLengthStopsCreateAndKeepsEarlierVectors) {
    Flat f(2, MetricKind::Euclidean, isa());
    try {
        f.create(rows({{1, 2}, {3}, {4, 5}}));
        ADD_FAILURE() << "no InternalFailure";
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "Vector length 1 does not match index dimension 2");
    }
    EXPECT_EQ(f.size(), 1u);
    EXPECT_EQ(f.vectors(), (V{1, 2}));
    f.insert(V{6, 7});
    expect_hits(search(f, {6, 7}, 1), {{1, 0.0}});
    try {
        f.insert(V{1, 2, 3});
        ADD_FAILURE() << "no InternalFailure";
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "Vector length 3 does not match index dimension 2");
    }
    EXPECT_EQ(f.size(), 2u);
}

// Every metric, tail-heavy dimensions, odd counts, and indexes past 65,536
// rows grown by every path: the scan (blocks, kernels, early abandoning,
// precomputed norms) must give exactly the first max(k, 1) of the sorted
// sequential distances.
struct ScanCase {
    MetricFn metric;
    std::uint32_t dim;
    std::uint32_t rows = 45;
    int rounds = 30;  ///< queries
};

std::string scan_name(const ScanCase& c) {
    return std::string(c.metric == euclidean_distance ? "euclidean"
                       : c.metric == dot_product      ? "dot"
                                                      : "cosine") +
           "_dim" + std::to_string(c.dim) + (c.rows == 45 ? "" : "_rows" + std::to_string(c.rows));
}

// Printed by field: the struct's padding bytes are never written.
void PrintTo(const ScanCase& c, std::ostream* os) { *os << scan_name(c); }

class FlatScan : public ::testing::TestWithParam<std::tuple<ScanCase, Isa>> {};

TEST_P(FlatScan, MatchesSortedSequentialDistances) {
    const auto [c, isa] = GetParam();
    const auto [metric, dim, count, rounds] = c;
    std::mt19937_64 rng(7 * dim + 1);
    std::normal_distribution<double> normal(0.0, 1.0);
    // Small integers make ties; an occasional special value joins in.
    auto value = [&] {
        const auto r = rng() % 64;
        if (r == 0) return nan;
        if (r == 1) return std::numeric_limits<double>::infinity();
        if (r < 24) return static_cast<double>(static_cast<int>(rng() % 3) - 1);
        return std::ldexp(normal(rng), static_cast<int>(rng() % 21) - 10);
    };
    std::vector<V> data(count, V(dim));
    for (auto& v : data) {
        for (auto& x : v) x = value();
    }
    data[6] = V(dim, 0.0);
    data[30] = data[3];
    data[count - 1] = data[3];  // a tie far from its twin
    // Rows one by one (the store doubling as it goes), then appended rows
    // that start inside an open block, then a batch.
    const std::size_t inserted = count * 13 / 45, appended = count * 40 / 45;
    Flat f(dim, kind_of(metric), isa);
    for (std::size_t i = 0; i < inserted; ++i) f.insert(data[i]);
    std::vector<double> bulk;
    for (std::size_t i = inserted; i < appended; ++i) bulk.insert(bulk.end(), data[i].begin(), data[i].end());
    f.append_rows(bulk.data(), appended - inserted);
    std::vector<V> rest(data.begin() + static_cast<std::ptrdiff_t>(appended), data.end());
    ASSERT_FALSE(f.create(rows(rest)));
    ASSERT_EQ(f.size(), data.size());
    for (int round = 0; round < rounds; ++round) {
        V q(dim);
        for (auto& x : q) x = value();
        if (round == 0) q = data[12];
        if (round == 1) q = data[count - 2];
        std::vector<Candidate> all;
        for (std::uint32_t i = 0; i < data.size(); ++i) all.push_back({metric(q, data[i]), i});
        std::stable_sort(all.begin(), all.end(), ranks_before);
        for (std::uint32_t k : {0u, 1u, 5u, 8u, 9u, 45u, 1000u, count}) {
            const std::size_t n = std::min<std::size_t>(all.size(), std::max<std::uint32_t>(k, 1));
            std::vector<Hit> want;
            for (std::size_t i = 0; i < n; ++i) want.push_back({all[i].id, all[i].distance});
            SCOPED_TRACE("round " + std::to_string(round) + " k " + std::to_string(k));
            expect_hits(search(f, q, k), want);
        }
    }
}

// clang-format off: the cases in rows, as they were chosen
INSTANTIATE_TEST_SUITE_P(
    Metrics, FlatScan,
    on_each_table(std::vector<ScanCase>{
        {euclidean_distance, 1}, {euclidean_distance, 7}, {euclidean_distance, 17}, {euclidean_distance, 100},
        {dot_product, 1}, {dot_product, 9}, {dot_product, 16},
        {cosine_similarity, 2}, {cosine_similarity, 15}, {cosine_similarity, 33},
        // Past 16-bit ids, with a tail of five rows; 20 elements let the
        // bound drop blocks.
        {euclidean_distance, 20, 70013, 3}, {dot_product, 2, 70013, 3}, {cosine_similarity, 3, 70013, 3}}),
    case_on_table_name<ScanCase>(scan_name));
// clang-format on

INSTANTIATE_ON_EACH_TABLE(FlatIndex);

}  // namespace
