// The approximate graph: its invariants after every change, scores bit for
// bit the flat index's, recall floors on seeded data, the same bits for any
// thread count, and hostile parts refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "common/interrupt.h"
#include "each_table.h"
#include "flat/flat_index.h"
#include "graph/graph.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;

/// Rows around 32 centres (d values each), and a few exact duplicates.
V clustered(std::size_t n, std::size_t dim, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    V centres(32 * dim), data(n * dim);
    for (double& x : centres) x = normal(gen);
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t c = gen() % 32;
        for (std::size_t i = 0; i < dim; ++i) data[r * dim + i] = centres[c * dim + i] + 0.3 * normal(gen);
    }
    for (std::size_t r = 5; r < n; r += 97) std::copy_n(data.begin() + (r - 1) * dim, dim, data.begin() + r * dim);
    return data;
}

GraphParams params(std::size_t dim, MetricKind metric, Isa isa = best_isa(), std::uint32_t m = 8) {
    GraphParams p;
    p.dim = static_cast<std::uint32_t>(dim);
    p.metric = metric;
    p.m = m;
    p.ef_construction = 64;
    p.seed = 7;
    p.isa = isa;
    return p;
}

/// Row i of `data` as a query; for a product, turned around, so that the
/// rows ranked first are the most like it (the way a user asks for them).
V query_of(const V& data, std::size_t dim, std::size_t i, MetricKind metric) {
    V q(data.begin() + i * dim, data.begin() + (i + 1) * dim);
    if (metric != MetricKind::Euclidean) {
        for (double& x : q) x = -x;
    }
    return q;
}

/// The flat index's answer over the same rows: the truth, and the bits.
std::vector<Candidate> flat_answer(const V& data, std::size_t dim, MetricKind metric, Vec q, std::uint32_t k,
                                   const RowSet* set = nullptr) {
    Flat flat(static_cast<std::uint32_t>(dim), metric);
    flat.append_rows(data.data(), data.size() / dim);
    std::vector<Candidate> out;
    if (set) {
        flat.search(q, k, *set, out);
        return out;
    }
    const bool failed = flat.search(q, k, out).has_value();
    EXPECT_FALSE(failed);
    return out;
}

double recall(const std::vector<Candidate>& found, const std::vector<Candidate>& truth) {
    std::size_t hits = 0;
    for (const Candidate& t : truth) {
        hits += std::any_of(found.begin(), found.end(), [&](const Candidate& f) { return f.id == t.id; });
    }
    return static_cast<double>(hits) / static_cast<double>(truth.size());
}

/// Every result's distance is the flat definition's bits for its row.
void expect_exact(const Graph& g, Vec q, const std::vector<Candidate>& found) {
    const Metric m(g.params().metric);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const double d = m.distance(q, g.row(found[i].id));
        ASSERT_EQ(std::memcmp(&d, &found[i].distance, sizeof d), 0) << "row " << found[i].id;
        if (i) ASSERT_TRUE(ranks_before(found[i - 1], found[i]));
    }
}

using Case = std::tuple<MetricKind, Isa>;

class GraphOnTables : public ::testing::TestWithParam<Case> {
  protected:
    static MetricKind metric() { return std::get<0>(GetParam()); }
    static Isa isa() { return std::get<1>(GetParam()); }
};

TEST_P(GraphOnTables, FindsTheFlatAnswerWithItsBits) {
    const std::size_t dim = 24, n = 3000;
    const V data = clustered(n + 60, dim, 1);  // the last 60 held out as queries
    Graph g(params(dim, metric(), isa()));
    g.add(data.data(), n);
    ASSERT_EQ(g.check(), "");
    const V rows(data.begin(), data.begin() + n * dim);
    double total = 0;
    std::vector<Candidate> out;
    for (std::size_t i = n; i < n + 60; ++i) {
        const V q = query_of(data, dim, i, metric());
        g.search(q, 10, 32, nullptr, out);
        ASSERT_EQ(out.size(), 10u);
        expect_exact(g, q, out);
        total += recall(out, flat_answer(rows, dim, metric(), q, 10));
    }
    EXPECT_GE(total / 60, 0.97);
}

INSTANTIATE_TEST_SUITE_P(Tables, GraphOnTables,
                         ::testing::Combine(::testing::Values(MetricKind::Euclidean, MetricKind::Cosine,
                                                              MetricKind::Dot),
                                            ::testing::ValuesIn(every_table())),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(metric_name(std::get<0>(info.param))) + "_" +
                                    isa_name(std::get<1>(info.param));
                         });

}  // namespace
