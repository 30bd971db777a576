// The graph index against a literal rendering of its algorithm: literal
// neighbour lists, repeats and self-links kept, a set of visited nodes, and
// the full distance of each node the first time a walk meets it (no bound,
// no skip, no memo; meeting it again does nothing). Same generator seed, so
// the same levels: every list (as walks see it), every result and its order
// must agree exactly, on small graphs full of ties and on graphs of
// thousands of nodes, where early abandoning, link-length skips and visits
// by kernel all act, and on one past 65,536 nodes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <ostream>
#include <queue>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "each_table.h"
#include "effective_list.h"
#include "hnsw/graph.h"
#include "metric_kind.h"

using namespace orbisk;

namespace {

struct Reference {
    HNSWParams p;
    MetricFn metric;
    std::vector<double> weights, vectors;
    std::vector<std::uint32_t> levels;
    std::vector<std::vector<std::uint32_t>> lists;  // literal: repeats and self-links kept
    std::vector<std::int64_t> tags;  // one Integer attribute per node

    /// The set of nodes one walk has visited: a mark per node, and the
    /// marked nodes, unmarked when the walk is over.
    class Visited {
      public:
        Visited(std::vector<char>& marks, std::size_t nodes) : marks_(marks) { marks_.resize(nodes, 0); }
        ~Visited() {
            for (std::uint32_t e : touched_) marks_[e] = 0;
        }
        /// Whether `e` is new to the set.
        bool insert(std::uint32_t e) {
            if (marks_[e]) return false;
            marks_[e] = 1;
            touched_.push_back(e);
            return true;
        }

      private:
        std::vector<char>& marks_;
        std::vector<std::uint32_t> touched_;
    };
    mutable std::vector<char> marks;  // all clear between walks

    Reference(HNSWParams params, MetricFn fn) : p(std::move(params)), metric(fn) {
        for (std::uint32_t i = 0; i < p.layers; ++i) weights.push_back(std::exp(-static_cast<double>(i)));
    }
    std::size_t count() const { return vectors.size() / p.dim; }
    Vec vec(std::uint32_t n) const { return Vec(vectors.data() + std::size_t{n} * p.dim, p.dim); }
    const std::vector<std::uint32_t>& list(std::uint32_t n) const { return lists[n]; }

    std::vector<Candidate> knn(std::uint32_t entry, Vec q, std::uint32_t ef, std::uint32_t layer,
                               std::optional<std::int64_t> tag) const {
        auto worse = [](const Candidate& a, const Candidate& b) { return ranks_before(b, a); };
        std::priority_queue<Candidate, std::vector<Candidate>, decltype(worse)> queue(worse);
        const Candidate start{metric(q, vec(entry)), entry};
        std::vector<Candidate> w{start};
        Visited visited(marks, count());
        visited.insert(entry);
        queue.push(start);
        while (!queue.empty()) {
            const Candidate c = queue.top();
            queue.pop();
            const double f = w.back().distance;
            if (!std::isnan(f) && (f < c.distance || std::isnan(c.distance))) break;
            for (std::uint32_t e : list(c.id)) {
                if (levels[e] < layer) continue;
                if (tag && tags[e] != *tag) continue;
                if (!visited.insert(e)) continue;
                const double d = metric(q, vec(e));
                if (w.size() < ef || distance_less(d, w.back().distance)) {
                    queue.push({d, e});
                    // Binary search moving right while the probe is not greater.
                    std::size_t lo = 0, hi = w.size();
                    while (lo < hi) {
                        const std::size_t mid = (lo + hi) / 2;
                        if (distance_less(d, w[mid].distance)) hi = mid;
                        else lo = mid + 1;
                    }
                    if (lo > 0 && !distance_less(w[lo - 1].distance, d)) --lo;
                    w.insert(w.begin() + static_cast<std::ptrdiff_t>(lo), {d, e});
                    if (w.size() > ef) w.pop_back();
                }
            }
        }
        return w;
    }

    void insert(Vec v, std::int64_t tag, Rng& rng) {
        if (vectors.empty()) {
            vectors.assign(v.begin(), v.end());
            levels.push_back(p.layers - 1);
            lists.emplace_back();
            tags.push_back(tag);
            return;
        }
        double total = -0.0;
        for (double w : weights) total += w;
        const double threshold = total * (static_cast<double>(rng() >> 11) * 0x1.0p-53);
        std::uint32_t level = p.layers - 1;
        double running = 0.0;
        for (std::uint32_t i = 0; i < p.layers; ++i) {
            running += weights[i];
            if (running > threshold) {
                level = i;
                break;
            }
        }
        vectors.insert(vectors.end(), v.begin(), v.end());
        const auto n = static_cast<std::uint32_t>(count() - 1);
        levels.push_back(level);
        tags.push_back(tag);
        lists.emplace_back();
        std::uint32_t entry = 0;
        for (std::uint32_t layer = 0; layer < p.layers; ++layer) {
            if (layer < level) {
                entry = knn(entry, v, 1, layer, std::nullopt).front().id;
                continue;
            }
            std::vector<std::uint32_t> pending;
            for (const Candidate& r : knn(entry, v, p.ef_construction, layer, std::nullopt)) {
                pending.push_back(r.id);
                lists[r.id].push_back(n);  // the end of r's list
            }
            lists[n].insert(lists[n].end(), pending.begin(), pending.end());
            entry = n;
        }
    }

    std::vector<Candidate> search(Vec q, std::uint32_t k, std::optional<std::int64_t> tag) const {
        std::uint32_t entry = 0;
        for (std::uint32_t layer = p.layers - 1; layer >= 1; --layer) entry = knn(entry, q, 1, layer, tag).front().id;
        std::vector<Candidate> w = knn(entry, q, p.ef_search, 0, tag);
        w.resize(std::min<std::size_t>(w.size(), std::max<std::uint32_t>(k, 1)));
        return w;
    }
};

bool same(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool eq = a[i].distance == b[i].distance || (std::isnan(a[i].distance) && std::isnan(b[i].distance));
        if (!eq || a[i].id != b[i].id) return false;
    }
    return true;
}

struct GraphCase {
    MetricFn metric;
    std::uint32_t dim, layers, ef_construction, ef_search;
    int nodes = 150;
    bool clustered = false;  ///< points around a few centres, some repeated exactly
    int queries = 40;
};

std::string case_name(const GraphCase& c) {
    const char* metric = c.metric == euclidean_distance ? "euclidean" : c.metric == dot_product ? "dot" : "cosine";
    return std::string(metric) + "_dim" + std::to_string(c.dim) + "_layers" + std::to_string(c.layers) + "_ef" +
           std::to_string(c.ef_construction) + "_" + std::to_string(c.ef_search) + "_nodes" + std::to_string(c.nodes) +
           (c.clustered ? "_clustered" : "");
}

// Printed by field: the struct's padding bytes are never written.
void PrintTo(const GraphCase& c, std::ostream* os) { *os << case_name(c); }

/// Chunks of the stored lists (the lists as walks see them, cut every
/// Links::chunk entries) whose ids differ above their low 16 bits.
std::size_t wide_chunks(const HNSW& index) {
    std::size_t wide = 0;
    for (std::uint32_t n = 0; n < index.size(); ++n) {
        const std::vector<std::uint32_t> list = index.neighbours(n);
        for (std::size_t at = 0; at < list.size(); at += Links::chunk) {
            const std::size_t end = std::min(list.size(), at + Links::chunk);
            wide += std::any_of(list.begin() + at, list.begin() + end,
                                [&](std::uint32_t id) { return id >> 16 != list[at] >> 16; });
        }
    }
    return wide;
}

/// A case's inputs: the vectors in insertion order with their tags, and
/// the queries.
struct Inputs {
    std::vector<std::vector<double>> vectors;
    std::vector<std::int64_t> tags;
    std::vector<std::vector<double>> queries;
};

Inputs make_inputs(const GraphCase& s) {
    std::mt19937_64 data(s.dim * 131 + s.layers * 7 + s.ef_construction + s.nodes);
    // Small integers make ties common; a few NaNs and infinities join in.
    auto value = [&] {
        const auto r = data() % 50;
        if (r == 0) return std::numeric_limits<double>::quiet_NaN();
        if (r == 1) return std::numeric_limits<double>::infinity();
        if (r < 20) return static_cast<double>(static_cast<int>(data() % 5) - 2);
        return std::normal_distribution<double>(0.0, 1.0)(data);
    };
    std::vector<std::vector<double>> centres(8, std::vector<double>(s.dim));
    for (auto& c : centres)
        for (double& x : c) x = 4.0 * std::normal_distribution<double>(0.0, 1.0)(data);
    std::vector<std::vector<double>> made;
    // Clustered points, a few exact repeats, one NaN or infinity in a thousand.
    auto point = [&] {
        if (!made.empty() && data() % 40 == 0) return made[data() % made.size()];
        std::vector<double> v = centres[data() % centres.size()];
        for (double& x : v) {
            const auto r = data() % 4000;
            x = r == 0   ? std::numeric_limits<double>::quiet_NaN()
                : r == 1 ? -std::numeric_limits<double>::infinity()
                         : x + std::normal_distribution<double>(0.0, 1.0)(data);
        }
        made.push_back(v);
        return v;
    };
    Inputs in;
    for (int i = 0; i < s.nodes; ++i) {
        std::vector<double> v(s.dim);
        if (s.clustered) {
            v = point();
        } else {
            for (auto& x : v) x = value();
        }
        in.vectors.push_back(std::move(v));
        in.tags.push_back(static_cast<std::int64_t>(data() % 3));
    }
    for (int i = 0; i < s.queries; ++i) {
        std::vector<double> q(s.dim + (i % 3) - 1);  // shorter, equal and longer queries
        if (s.clustered) {
            const std::vector<double> near = point();
            for (std::size_t j = 0; j < q.size(); ++j) q[j] = j < near.size() ? near[j] : value();
        } else {
            for (auto& x : q) x = value();
        }
        in.queries.push_back(std::move(q));
    }
    return in;
}

HNSWParams graph_params(const GraphCase& s, Isa isa) {
    HNSWParams params;
    params.dim = s.dim;
    params.layers = s.layers;
    params.ef_construction = s.ef_construction;
    params.ef_search = s.ef_search;
    params.metric = kind_of(s.metric);
    params.schema = std::vector<std::string>{"tag"};
    params.isa = isa;
    return params;
}

constexpr std::uint32_t ks[] = {0, 3, 1000};
constexpr std::int64_t filter_tag = 1;

/// What the reference gives for a case: each node's level and list as walks
/// see it, and for each query and k in `ks`, the search's result, then the
/// filtered search's.
struct Answers {
    std::vector<std::uint32_t> levels;
    std::vector<std::vector<std::uint32_t>> lists;
    std::vector<std::vector<Candidate>> results;
};

Answers reference_answers(const GraphCase& s, const Inputs& in) {
    Reference ref(graph_params(s, Isa::Scalar), s.metric);  // which uses no kernel table
    Rng rng(99);
    for (std::size_t i = 0; i < in.vectors.size(); ++i) ref.insert(in.vectors[i], in.tags[i], rng);
    Answers out;
    out.levels = ref.levels;
    for (std::uint32_t n = 0; n < ref.count(); ++n) out.lists.push_back(effective(ref.list(n), n));
    for (const auto& q : in.queries) {
        for (std::uint32_t k : ks) {
            out.results.push_back(ref.search(q, k, std::nullopt));
            out.results.push_back(ref.search(q, k, filter_tag));
        }
    }
    return out;
}

/// The reference's answers depend on the case alone, and the tables of a
/// case run one after another: each case's are worked out once for all.
const Answers& answers(const GraphCase& s, const Inputs& in) {
    static std::string made_for;
    static Answers kept;
    if (made_for != case_name(s)) {
        made_for.clear();
        kept = reference_answers(s, in);
        made_for = case_name(s);
    }
    return kept;
}

class AgainstReference : public ::testing::TestWithParam<std::tuple<GraphCase, Isa>> {};

TEST_P(AgainstReference, SameListsAndResults) {
    const auto [s, isa] = GetParam();
    const Inputs in = make_inputs(s);
    const Answers& want = answers(s, in);
    HNSW index(graph_params(s, isa));
    Rng rng(99);  // the reference's seed, so the same levels
    for (std::size_t i = 0; i < in.vectors.size(); ++i) {
        const MetadataRecord record{Metadata(in.tags[i])};
        ASSERT_FALSE(index.insert(in.vectors[i], &record, rng));
    }
    for (std::uint32_t n = 0; n < index.size(); ++n) {
        ASSERT_EQ(index.level(n), want.levels[n]);
        ASSERT_EQ(index.neighbours(n), want.lists[n]) << "node " << n;
    }
    // Past 65,536 nodes, the lists that grew after node 65,536 came hold ids
    // from both sides of that boundary in one chunk: the insertion walks
    // that built the graph read them, and the searches below do.
    if (s.nodes > 65536) {
        EXPECT_GT(wide_chunks(index), 10000u);
    }
    const Filter filter = make_filter("tag", Metadata(filter_tag));
    auto expected = want.results.begin();
    for (std::size_t i = 0; i < in.queries.size(); ++i) {
        for (std::uint32_t k : ks) {
            std::vector<Candidate> got;
            ASSERT_FALSE(index.search(in.queries[i], k, nullptr, got));
            EXPECT_TRUE(same(got, *expected++)) << "query " << i << " k " << k;
            ASSERT_FALSE(index.search(in.queries[i], k, &filter, got));
            EXPECT_TRUE(same(got, *expected++)) << "filtered query " << i << " k " << k;
        }
    }
}

// clang-format off: the cases in rows, as they were chosen
INSTANTIATE_TEST_SUITE_P(
    Graphs, AgainstReference,
    on_each_table(std::vector<GraphCase>{
        {euclidean_distance, 3, 1, 4, 10}, {euclidean_distance, 8, 5, 16, 20},
        {euclidean_distance, 20, 3, 1, 1}, {euclidean_distance, 17, 5, 40, 200},
        {dot_product, 4, 2, 8, 5}, {dot_product, 9, 5, 16, 50},
        {cosine_similarity, 2, 5, 16, 30}, {cosine_similarity, 16, 2, 3, 8},
        {euclidean_distance, 24, 5, 40, 50, 2500, true},
        {euclidean_distance, 40, 3, 24, 10, 2000, true},
        {dot_product, 24, 4, 32, 50, 1500, true},
        {cosine_similarity, 24, 5, 32, 50, 1500, true},
        // Small capacities over long vectors: groups dropped on one layer
        // come back on the next walk of the same query.
        {euclidean_distance, 33, 5, 2, 3, 800, true},
        {euclidean_distance, 48, 4, 4, 6, 800, true},
        {euclidean_distance, 20, 5, 1, 2, 800, true},
        {euclidean_distance, 64, 3, 8, 8, 600, true}}),
    case_on_table_name<GraphCase>(case_name));
// clang-format on

// Past 65,536 nodes, with the cheapest parameters that still link widely.
INSTANTIATE_TEST_SUITE_P(BigGraphs, AgainstReference,
                         on_each_table(std::vector<GraphCase>{{euclidean_distance, 2, 2, 3, 8, 70000, true, 12}}),
                         case_on_table_name<GraphCase>(case_name));

}  // namespace
