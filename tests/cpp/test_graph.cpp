// The approximate graph: its invariants after every change, scores bit for
// bit the flat index's, recall floors on seeded data, the same bits for any
// thread count, and hostile parts refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <chrono>
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

/// The same rows in the same order with the same bits.
bool same(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const Candidate& x, const Candidate& y) {
               return x.id == y.id && std::memcmp(&x.distance, &y.distance, 8) == 0;
           });
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
        if (i) {
            ASSERT_TRUE(ranks_before(found[i - 1], found[i]));
        }
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

namespace {

std::unique_ptr<Graph> built(const V& data, std::size_t dim, MetricKind metric, unsigned threads = 1,
                             std::uint32_t m = 8) {
    auto g = std::make_unique<Graph>(params(dim, metric, best_isa(), m));
    g->add(data.data(), data.size() / dim, threads);
    return g;
}

std::vector<std::uint32_t> all_links(const Graph& g) {
    std::vector<std::uint32_t> out;
    for (std::size_t id = 0; id < g.size(); ++id) {
        out.push_back(g.level(id));
        for (std::uint32_t layer = 0; layer <= g.level(id); ++layer) {
            const auto l = g.links(id, layer);
            out.push_back(static_cast<std::uint32_t>(l.size()));
            out.insert(out.end(), l.begin(), l.end());
        }
    }
    out.push_back(g.entry());
    return out;
}

TEST(Graph, RefusesParametersOutOfRange) {
    for (const auto& [m, ef, dim] : {std::tuple{1u, 10u, 4u}, {65u, 10u, 4u}, {8u, 0u, 4u}, {8u, 10u, 0u}}) {
        GraphParams p;
        p.m = m;
        p.ef_construction = ef;
        p.dim = dim;
        EXPECT_THROW(Graph{p}, std::invalid_argument);
    }
}

TEST(Graph, OneThreadBuildsTheSameGraphHoweverTheRowsAreSplit) {
    const std::size_t dim = 12, n = 1500;
    const V data = clustered(n, dim, 3);
    const auto made = built(data, dim, MetricKind::Euclidean);
    const Graph& whole = *made;
    Graph parts(params(dim, MetricKind::Euclidean));
    parts.add(data.data(), 1);
    parts.add(data.data() + dim, 700);
    parts.add(data.data() + 701 * dim, n - 701);
    EXPECT_EQ(all_links(whole), all_links(parts));
    EXPECT_EQ(whole.check(), "");
    // Levels follow the geometric law: about n / m of them above 0.
    std::size_t above = 0;
    for (std::size_t id = 0; id < n; ++id) above += whole.level(id) > 0;
    EXPECT_NEAR(static_cast<double>(above), n / 8.0, n / 8.0 * 0.3);
    std::uint32_t top = 0;
    for (std::size_t id = 0; id < n; ++id) top = std::max(top, whole.level(id));
    EXPECT_EQ(whole.level(whole.entry()), top);
}

TEST(Graph, BuildsAndSearchesOnSeveralThreads) {
    const std::size_t dim = 16, n = 4000;
    const V data = clustered(n + 50, dim, 4);
    const V rows(data.begin(), data.begin() + n * dim);
    for (unsigned threads : {2u, 3u}) {
        const auto made = built(rows, dim, MetricKind::Euclidean, threads);
        const Graph& g = *made;
        ASSERT_EQ(g.check(), "");
        double total = 0;
        std::vector<Candidate> out;
        for (std::size_t i = n; i < n + 50; ++i) {
            const V q = query_of(data, dim, i, MetricKind::Euclidean);
            g.search(q, 10, 40, nullptr, out);
            total += recall(out, flat_answer(rows, dim, MetricKind::Euclidean, q, 10));
        }
        EXPECT_GE(total / 50, 0.95) << threads << " threads";
        // A batch's row i is search(query i), the same bits for any thread count.
        const std::size_t m = 50;
        std::vector<std::int64_t> ids(m * 10);
        std::vector<double> d(m * 10);
        for (unsigned t : {1u, 2u, 5u}) {
            g.search_batch(data.data() + n * dim, m, 10, 40, nullptr, ids.data(), d.data(), t);
            for (std::size_t i = 0; i < m; ++i) {
                g.search(Vec(data.data() + (n + i) * dim, dim), 10, 40, nullptr, out);
                for (std::size_t j = 0; j < 10; ++j) {
                    ASSERT_EQ(ids[i * 10 + j], out[j].id);
                    ASSERT_EQ(std::memcmp(&d[i * 10 + j], &out[j].distance, 8), 0);
                }
            }
        }
    }
}

TEST(Graph, AStopKeepsTheRowsLinkedSoFar) {
    const std::size_t dim = 8, n = 4000;
    const V data = clustered(n, dim, 5);
    for (unsigned threads : {1u, 2u}) {
        Graph g(params(dim, MetricKind::Euclidean));
        // Asked every 20 ms: the first look lets the build start, the next
        // one (10 ms on at least) stops it, some rows in.
        using Clock = std::chrono::steady_clock;
        Clock::time_point first{};
        auto after_10ms = [](void* c) {
            auto& start = *static_cast<Clock::time_point*>(c);
            if (start == Clock::time_point{}) start = Clock::now();
            return Clock::now() - start > std::chrono::milliseconds(10);
        };
        EXPECT_THROW(g.add(data.data(), n, threads, Poll{after_10ms, &first}), Interrupted);
        EXPECT_GT(g.size(), 0u);
        EXPECT_LT(g.size(), n);
        ASSERT_EQ(g.check(), "");
        const std::size_t kept = g.size();
        g.add(data.data() + kept * dim, n - kept, threads);
        ASSERT_EQ(g.size(), n);
        ASSERT_EQ(g.check(), "");
    }
}

TEST(Graph, AskedForMoreThanEfItWidensAndForEveryRowItGivesThemAll) {
    const std::size_t dim = 6, n = 2500;
    const V data = clustered(n, dim, 6);
    const auto made = built(data, dim, MetricKind::Cosine);
    const Graph& g = *made;
    std::vector<Candidate> out;
    const V q = query_of(data, dim, 17, MetricKind::Cosine);
    for (std::uint32_t k : {100u, 2499u, 2500u, 9000u}) {
        g.search(q, k, 10, nullptr, out);
        ASSERT_EQ(out.size(), std::min<std::size_t>(k, n));
        expect_exact(g, q, out);
    }
    EXPECT_TRUE(same(out, flat_answer(data, dim, MetricKind::Cosine, q, n)));
}

}  // namespace
