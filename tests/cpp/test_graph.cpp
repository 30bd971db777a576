// The approximate graph: its invariants after every change, scores bit for
// bit the flat index's, recall floors on seeded data, the same bits for any
// thread count, and hostile parts refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <thread>
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
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const Candidate& x, const Candidate& y) {
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
        WalkCounts counts;
        g.search(q, 10, 32, nullptr, out, &counts);
        ASSERT_EQ(out.size(), 10u);
        ASSERT_EQ(counts.exact, 32u);  // W's nodes, each scored once
        ASSERT_GT(counts.coded, counts.expanded);
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

TEST(Graph, ABatchTooLargeAddsNothing) {
    const V data = clustered(100, 4, 2);
    Graph g(params(4, MetricKind::Euclidean));
    g.add(data.data(), 100);
    EXPECT_THROW(g.add(data.data(), max_vectors), CapacityExceeded);
    EXPECT_THROW(g.add(data.data(), std::size_t{1} << 40), CapacityExceeded);
    EXPECT_EQ(g.size(), 100u);
    EXPECT_EQ(g.check(), "");
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
            // A poll saying stop stops the batch (what helpers wrote before stays).
            auto at_once = [](void*) { return true; };
            EXPECT_THROW(
                g.search_batch(data.data(), m, 10, 40, nullptr, ids.data(), d.data(), t, Poll{at_once, nullptr}),
                Interrupted);
        }
    }
}

TEST(Graph, AStopKeepsTheRowsLinkedSoFar) {
    // 60 dimensions: records of two lines. A row removed before the stop.
    const std::size_t dim = 60, n = 4000;
    const V data = clustered(n, dim, 5);
    for (unsigned threads : {1u, 2u}) {
        Graph g(params(dim, MetricKind::Euclidean));
        g.add(data.data(), 1);
        g.remove(std::vector<std::uint32_t>{0});
        // Asked every 20 ms: the first look lets the build start, the next
        // one (10 ms on at least) stops it, some rows in.
        using Clock = std::chrono::steady_clock;
        Clock::time_point first{};
        auto after_10ms = [](void* c) {
            auto& start = *static_cast<Clock::time_point*>(c);
            if (start == Clock::time_point{}) start = Clock::now();
            return Clock::now() - start > std::chrono::milliseconds(10);
        };
        EXPECT_THROW(g.add(data.data() + dim, n - 1, threads, Poll{after_10ms, &first}), Interrupted);
        EXPECT_GT(g.size(), 1u);
        EXPECT_LT(g.size(), n);
        ASSERT_EQ(g.check(), "");
        EXPECT_EQ(g.live_rows().count, g.size() - 1);
        const std::size_t kept = g.size();
        g.add(data.data() + kept * dim, n - kept, threads);
        ASSERT_EQ(g.size(), n);
        ASSERT_EQ(g.check(), "");
        EXPECT_EQ(g.live_rows().count, n - 1);
        g.compact();  // the entry point stays
        EXPECT_EQ(g.size(), n - 1);
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

namespace {

/// A set of the rows of `n` whose bit `pick` sets, as a RowSet over `words`.
template <class Pick>
RowSet rows_where(std::size_t n, std::vector<std::uint64_t>& words, Pick pick) {
    words.assign((n + 63) / 64, 0);
    std::size_t count = 0;
    for (std::size_t id = 0; id < n; ++id) {
        if (!pick(id)) continue;
        words[id / 64] |= std::uint64_t{1} << (id % 64);
        ++count;
    }
    return {0, n, words.data(), count};
}

TEST(Graph, AFilterReportsOnlyItsRowsScanningFewAndWalkingMany) {
    const std::size_t dim = 10, n = 6000;
    const V data = clustered(n + 40, dim, 8);
    const V rows(data.begin(), data.begin() + n * dim);
    const auto made = built(rows, dim, MetricKind::Euclidean);
    const Graph& g = *made;
    std::vector<std::uint64_t> words;
    // One row in 500 (a scan), one in 2 (a walk), every row but one.
    for (std::size_t every : {500u, 2u, 1u}) {
        const RowSet set = rows_where(n, words, [&](std::size_t id) { return id % every == 0 && id != 6; });
        double total = 0;
        std::vector<Candidate> out;
        for (std::size_t i = n; i < n + 40; ++i) {
            const V q = query_of(data, dim, i, MetricKind::Euclidean);
            g.search(q, 10, 40, &set, out);
            for (const Candidate& c : out) ASSERT_TRUE(set.has(c.id));
            const auto truth = flat_answer(rows, dim, MetricKind::Euclidean, q, 10, &set);
            if (every == 500) {
                ASSERT_LT(set.count, g.scan_below());
                ASSERT_TRUE(same(out, truth));
            }
            std::vector<Candidate> scanned;
            g.scan(q, 10, set, scanned);
            ASSERT_TRUE(same(scanned, truth));
            total += recall(out, truth);
        }
        EXPECT_GE(total / 40, 0.95) << "one row in " << every;
        if (every == 1) {
            // A W too long to keep in order walks with heaps: the same order.
            const V q = query_of(data, dim, n, MetricKind::Euclidean);
            g.search(q, 10, 1400, nullptr, out);
            EXPECT_TRUE(same(out, flat_answer(rows, dim, MetricKind::Euclidean, q, 10)));
        }
        if (every == 2) {
            EXPECT_GE(set.count, g.scan_below());
        }
    }
}

TEST(Graph, RemovedRowsAreStepsNeverResultsUntilCompactDropsThem) {
    const std::size_t dim = 10, n = 5000;
    const V data = clustered(n + 40, dim, 9);
    const V rows(data.begin(), data.begin() + n * dim);
    auto made = built(rows, dim, MetricKind::Cosine);
    Graph& g = *made;
    std::vector<std::uint32_t> gone;
    for (std::uint32_t id = 0; id < n; id += 3) gone.push_back(id);
    gone.push_back(g.entry() % 3 ? g.entry() : 1);  // the entry point among them
    EXPECT_THROW(g.remove(std::vector<std::uint32_t>{5, 5}), std::invalid_argument);
    EXPECT_THROW(g.remove(std::vector<std::uint32_t>{5, static_cast<std::uint32_t>(n)}), std::out_of_range);
    EXPECT_EQ(g.removed(), 0u);
    g.remove(gone);
    EXPECT_THROW(g.remove(std::vector<std::uint32_t>{0}), std::invalid_argument);
    ASSERT_EQ(g.removed(), gone.size());
    std::vector<std::uint64_t> words;
    const RowSet kept = rows_where(n, words, [&](std::size_t id) { return !g.is_removed(id); });
    V rows_kept;
    for (std::size_t id = 0; id < n; ++id) {
        if (!g.is_removed(id))
            rows_kept.insert(rows_kept.end(), rows.begin() + id * dim, rows.begin() + (id + 1) * dim);
    }
    std::vector<Candidate> out;
    double before = 0;
    for (std::size_t i = n; i < n + 40; ++i) {
        const V q = query_of(data, dim, i, MetricKind::Cosine);
        g.search(q, 10, 40, nullptr, out);
        for (const Candidate& c : out) ASSERT_FALSE(g.is_removed(c.id));
        before += recall(out, flat_answer(rows, dim, MetricKind::Cosine, q, 10, &kept));
    }
    EXPECT_GE(before / 40, 0.95);
    g.compact();
    ASSERT_EQ(g.check(), "");
    ASSERT_EQ(g.size(), n - gone.size());
    ASSERT_EQ(g.removed(), 0u);
    ASSERT_TRUE(std::equal(rows_kept.begin(), rows_kept.end(), g.row_store().data()));
    double after = 0;
    for (std::size_t i = n; i < n + 40; ++i) {
        const V q = query_of(data, dim, i, MetricKind::Cosine);
        g.search(q, 10, 40, nullptr, out);
        expect_exact(g, q, out);
        after += recall(out, flat_answer(rows_kept, dim, MetricKind::Cosine, q, 10));
    }
    EXPECT_GE(after / 40, 0.95);
    // Removing every row leaves an empty graph that still takes rows.
    std::vector<std::uint32_t> every(g.size());
    for (std::uint32_t id = 0; id < every.size(); ++id) every[id] = id;
    g.remove(every);
    g.search(query_of(data, dim, n, MetricKind::Cosine), 10, 40, nullptr, out);
    EXPECT_TRUE(out.empty());
    g.compact();
    EXPECT_EQ(g.size(), 0u);
    g.add(rows.data(), 100);
    EXPECT_EQ(g.check(), "");
}

TEST(Graph, OddRowsAndQueriesRankLikeTheFlatIndex) {
    // NaN and infinite rows, zero rows (no direction for cosine), duplicates:
    // nothing crashes, NaN ranks last, and a query without a code is scanned.
    const std::size_t dim = 5, n = 3000;
    V data = clustered(n, dim, 10);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (std::size_t r = 0; r < n; r += 41) std::fill_n(data.begin() + r * dim, dim, 0.0);
    data[7 * dim] = nan;
    data[8 * dim + 1] = inf;
    data[9 * dim + 2] = 1e300;
    for (MetricKind metric : {MetricKind::Euclidean, MetricKind::Cosine, MetricKind::Dot}) {
        const auto made = built(data, dim, metric);
        const Graph& g = *made;
        ASSERT_EQ(g.check(), "");
        std::vector<Candidate> out;
        for (const V& q : {V(dim, 0.0), V{nan, 1, 2, 3, 4}, V{inf, 0, 0, 0, 1}, query_of(data, dim, 20, metric)}) {
            g.search(q, 3000, 10, nullptr, out);
            ASSERT_TRUE(same(out, flat_answer(data, dim, metric, q, 3000))) << metric_name(metric);
        }
    }
}

TEST(Graph, HoldsAtMostHalfAgainItsRowsBytes) {
    // 50 dimensions, m = 16: the rows are 400 bytes, the record 64, the
    // bottom list 128, a level and the upper lists about 5.
    const std::size_t dim = 50, n = 2000;
    const V data = clustered(n, dim, 11);
    GraphParams p = params(dim, MetricKind::Cosine);
    p.m = 16;
    Graph g(p);
    g.add(data.data(), n);
    EXPECT_LE(static_cast<double>(g.bytes()), 1.5 * static_cast<double>(n * dim * 8));
}

}  // namespace

namespace {

/// A graph's parts, copied so that a test can spoil them.
struct Copied {
    std::size_t count;
    V rows;
    std::vector<std::uint8_t> levels, records;
    std::vector<std::uint32_t> bottom, upper;
    std::uint32_t entry;
    explicit Copied(const Graph& g) : count(g.size()), entry(g.parts().entry) {
        const GraphParts p = g.parts();
        rows.assign(p.rows, p.rows + count * g.dim());
        levels.assign(p.levels, p.levels + count);
        records.assign(p.records, p.records + count * g.record_bytes());
        bottom.assign(p.bottom, p.bottom + count * g.capacity(0));
        upper.assign(p.upper, p.upper + p.upper_size);
    }
    GraphParts parts() const {
        return {rows.data(), levels.data(), bottom.data(), upper.data(), upper.size(), entry, records.data()};
    }
};

TEST(Graph, RestoresItsPartsAndRefusesHostileOnes) {
    const std::size_t dim = 9, n = 2000;
    const V data = clustered(n, dim, 12);
    const auto made = built(data, dim, MetricKind::Euclidean);
    const Graph& g = *made;
    const Copied good(g);
    const GraphParams p = params(dim, MetricKind::Euclidean);
    for (int how : {0, 1, 2}) {  // codes checked, taken, or computed
        Graph r(p);
        GraphParts parts = good.parts();
        if (how == 2) parts.records = nullptr;
        ASSERT_EQ(r.restore(n, parts, nullptr, how == 0), "");
        EXPECT_EQ(r.check(), "");
        EXPECT_EQ(all_links(r), all_links(g));
        EXPECT_EQ(r.row_store().data(), good.rows.data());  // read in place
        std::vector<Candidate> a, b;
        for (std::size_t i = 0; i < 20; ++i) {
            g.search(Vec(data.data() + i * dim, dim), 10, 20, nullptr, a);
            r.search(Vec(data.data() + i * dim, dim), 10, 20, nullptr, b);
            ASSERT_TRUE(same(a, b));
        }
    }
    {
        // A graph without a link is a graph: its walks find nothing, and the
        // scan that follows them answers.
        Copied bare(g);
        std::fill(bare.bottom.begin(), bare.bottom.end(), no_link);
        std::fill(bare.upper.begin(), bare.upper.end(), no_link);
        Graph r(p);
        ASSERT_EQ(r.restore(n, bare.parts(), nullptr, false), "");
        std::vector<Candidate> out;
        const Vec q(data.data() + 5 * dim, dim);
        r.search(q, 10, 20, nullptr, out);
        EXPECT_TRUE(same(out, flat_answer(data, dim, MetricKind::Euclidean, q, 10)));
    }
    std::uint32_t high = 0, low = 0;  // the first node above the bottom, the first on it alone
    while (g.level(high) == 0) ++high;
    while (g.level(low) != 0) ++low;
    const std::size_t cap = g.capacity(0);
    using Spoil = std::function<void(Copied&)>;
    const std::vector<std::pair<const char*, Spoil>> spoils = {
        {"a link past the last node", [&](Copied& c) { c.bottom[3 * cap] = n; }},
        {"a link to itself", [&](Copied& c) { c.bottom[3 * cap] = 3; }},
        {"a link twice", [&](Copied& c) { c.bottom[3 * cap + 1] = c.bottom[3 * cap]; }},
        {"a link after an empty slot", [&](Copied& c) { c.bottom[3 * cap] = no_link; }},
        {"a level above the highest", [&](Copied& c) { c.levels[4] = 200; }},
        {"the upper lists do not match the levels", [&](Copied& c) { c.levels[high] += 1; }},
        {"a link to a node below the layer", [&](Copied& c) { c.upper[0] = low; }},
        {"the entry point is past the last node", [&](Copied& c) { c.entry = 5000; }},
        {"the entry point is not on the top level", [&](Copied& c) { c.entry = low; }},
        {"its code is not its row's", [&](Copied& c) { c.records[0] ^= 1; }},
    };
    for (const auto& [what, spoil] : spoils) {
        Copied bad(g);
        spoil(bad);
        Graph r(p);
        const std::string reason = r.restore(n, bad.parts(), nullptr, true);
        EXPECT_NE(reason.find(what), std::string::npos) << what << ", refused for: " << reason;
        EXPECT_EQ(r.size(), 0u) << what;
    }
}

}  // namespace

namespace {

TEST(Graph, CodeDistancesStayWithinTheRoundingOfTheirCodes) {
    // A walk ranks by |q' - x'|^2 (q' the query turned around for a product,
    // both scaled to length one for cosine; the squares left out for the
    // inner product) from codes of step t and s: each coded element is
    // within half a step, so the product of the codes errs by at most
    // |q'| s/2 sqrt(d) + |x'| t/2 sqrt(d) + d t s / 4, and the distance by
    // twice that. The query here is constant, coded without error; rows of
    // scales far apart make an error in a row's scale or offset show.
    const std::size_t dim = 32, n = 200;
    std::mt19937 gen(13);
    std::normal_distribution<double> normal;
    V data(n * dim);
    for (std::size_t r = 0; r < n; ++r) {
        const double size = std::exp(3 * normal(gen));
        for (std::size_t i = 0; i < dim; ++i) data[r * dim + i] = size * (1.0 + normal(gen));
    }
    const V q(dim, 0.75);
    for (MetricKind metric : {MetricKind::Euclidean, MetricKind::Cosine, MetricKind::Dot}) {
        const auto made = built(data, dim, metric);
        auto coded = [&](Vec v, double sign) {
            const double n = metric == MetricKind::Cosine ? norm(v) : 1.0;
            V out(v.size());
            for (std::size_t i = 0; i < v.size(); ++i) out[i] = sign * v[i] / n;
            return out;
        };
        const V qq = coded(q, metric == MetricKind::Euclidean ? 1.0 : -1.0);
        for (std::uint32_t id = 0; id < n; ++id) {
            const V x = coded(made->row(id), 1.0);
            double top = 0;
            for (double v : x) top = std::max(top, std::fabs(v));
            const double s = top / 127 * (1 + 1e-6), t = std::fabs(qq[0]) / 127 * (1 + 1e-6),
                         root = std::sqrt(double(dim));
            const double dot = sum_of_products(qq.data(), x.data(), dim);
            const double qn = norm(qq), xn = norm(x);
            const double ideal = metric == MetricKind::Dot ? -2 * dot : qn * qn + xn * xn - 2 * dot;
            const double slack =
                2 * (qn * s / 2 * root + xn * t / 2 * root + dim * s * t / 4) + 1e-6 * (qn * qn + xn * xn);
            ASSERT_NEAR(made->code_distance(q, id), ideal, slack) << metric_name(metric) << " row " << id;
            // Between rows the distance is the same from either end, to the bit.
            const std::uint32_t other = (id * 7 + 3) % n;
            const double there = made->code_distance(id, other), back = made->code_distance(other, id);
            ASSERT_EQ(std::memcmp(&there, &back, 8), 0) << metric_name(metric) << " rows " << id << ", " << other;
        }
    }
}

}  // namespace

namespace {

class WalkTables : public OnEachTable {};

TEST_P(WalkTables, ProductsAreTheScalarOnesForEveryLengthAndCount) {
    // Records of `bytes` code bytes each, the last one ending the buffer (a
    // read past its code would leave it, which the sanitized run reports);
    // bytes and queries at their extremes.
    std::mt19937 gen(14);
    for (std::size_t bytes : {4u, 8u, 12u, 16u, 20u, 28u, 32u, 36u, 52u, 64u, 68u, 100u, 128u, 1028u, 4100u}) {
        for (std::size_t count : {1u, 7u, 8u, 9u, 17u}) {
            std::vector<std::uint8_t> records(count * bytes);
            for (auto& b : records) b = static_cast<std::uint8_t>(gen() % 3 == 0 ? 255 : gen());
            std::vector<std::int8_t> q(bytes);
            for (auto& a : q) a = static_cast<std::int8_t>(gen() % 3 == 0 ? -127 : static_cast<int>(gen() % 255) - 127);
            std::vector<std::uint32_t> ids(count);
            for (std::uint32_t i = 0; i < count; ++i) ids[i] = count - 1 - i;
            std::vector<std::int32_t> want(count), got(count);
            scalar_walk.products(records.data(), ids.data(), count, bytes, q.data(), bytes, want.data());
            walk_kernels(isa()).products(records.data(), ids.data(), count, bytes, q.data(), bytes, got.data());
            ASSERT_EQ(want, got) << bytes << " bytes, " << count << " records";
        }
    }
}

INSTANTIATE_ON_EACH_TABLE(WalkTables);

}  // namespace
