// The graph index on small hand-worked cases: the exact lists insertion
// builds, the order of W and of the queue, the error paths of knn, insert,
// create and search, filtered walks, and the level draw.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/failure.h"
#include "each_table.h"
#include "effective_list.h"
#include "hnsw/graph.h"
#include "metric_kind.h"

using namespace orbisk;

namespace {

using namespace std::string_literals;
using V = std::vector<double>;
using Ids = std::vector<std::uint32_t>;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

// Every suite here runs on each table: its indexes are made from params().
class OnEachTableGraph : public OnEachTable {
  protected:
    static HNSWParams params(std::uint32_t layers, std::uint32_t ef_construction = 200, std::uint32_t ef_search = 50,
                             Schema schema = std::nullopt, std::uint32_t dim = 1,
                             MetricFn metric = euclidean_distance) {
        HNSWParams p;
        p.dim = dim;
        p.layers = layers;
        p.ef_construction = ef_construction;
        p.ef_search = ef_search;
        p.metric = kind_of(metric);
        p.schema = std::move(schema);
        p.isa = isa();
        return p;
    }
};

void fill(HNSW& index, const std::vector<V>& vs, Rng& rng, const std::vector<const MetadataRecord*>& records = {}) {
    for (std::size_t i = 0; i < vs.size(); ++i) {
        ASSERT_FALSE(index.insert(vs[i], i < records.size() ? records[i] : nullptr, rng)) << "vector " << i;
    }
}

Ids ids(const std::vector<Candidate>& w) {
    Ids out;
    for (const Candidate& c : w) out.push_back(c.id);
    return out;
}

// Distances of a result, exact; NaN stands for any NaN.
void expect_distances(const std::vector<Candidate>& w, const V& want) {
    ASSERT_EQ(w.size(), want.size());
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(w[i].distance)) << "position " << i;
        } else {
            EXPECT_EQ(w[i].distance, want[i]) << "position " << i;
        }
    }
}

std::vector<Candidate> knn(const HNSW& index, const V& q, std::uint32_t ef, std::uint32_t layer = 0,
                           const Filter* filter = nullptr) {
    std::vector<Candidate> w;
    EXPECT_FALSE(index.knn(0, q, ef, layer, filter, w));
    return w;
}

std::vector<Candidate> search(const HNSW& index, const V& q, std::uint32_t k, const Filter* filter = nullptr) {
    std::vector<Candidate> w;
    EXPECT_FALSE(index.search(q, k, filter, w));
    return w;
}

// The first seed whose draws give `levels`, one per insertion after node 0.
std::uint64_t seed_for(const HNSW& index, const Ids& levels) {
    for (std::uint64_t seed = 1;; ++seed) {
        Rng rng(seed);
        bool all = true;
        for (std::uint32_t level : levels) all = all && index.draw_level(rng) == level;
        if (all) return seed;
    }
}

// `lists` are the literal lists, repeats and self-links included; the index
// keeps what walks use of them.
void expect_lists(const HNSW& index, const std::vector<Ids>& lists) {
    ASSERT_EQ(index.size(), lists.size());
    for (std::uint32_t n = 0; n < lists.size(); ++n)
        EXPECT_EQ(index.neighbours(n), effective(lists[n], n)) << "node " << n;
}

class HNSWCreate : public OnEachTableGraph {};
class HNSWFilter : public OnEachTableGraph {};
class HNSWGraph : public OnEachTableGraph {};
class HNSWInsert : public OnEachTableGraph {};
class HNSWKnn : public OnEachTableGraph {};
class HNSWLevels : public OnEachTableGraph {};
class HNSWSearch : public OnEachTableGraph {};

// Capacity 1 makes every insertion link to the one node its greedy walk
// ends at, giving the tree 0-1-2-4, 0-3-5 on the line.
const std::vector<V> tree{{0}, {-1}, {-2}, {2}, {-3}, {3}};

// The names are the texts of the Python errors ("... error: InvalidEF"),
// InvalidNodeID, which no call returns, included.
TEST(HNSWErrorNames, EveryVariant) {
    const std::vector<std::pair<HNSWError, std::string_view>> names = {
        {HNSWError::InvalidEF, "InvalidEF"},
        {HNSWError::InvalidLayer, "InvalidLayer"},
        {HNSWError::NoSchema, "NoSchema"},
        {HNSWError::EmptySchema, "EmptySchema"},
        {HNSWError::AttributeNotFound, "AttributeNotFound"},
        {HNSWError::EmptyVectors, "EmptyVectors"},
        {HNSWError::InvalidNodeID, "InvalidNodeID"}};
    for (const auto& [e, text] : names) EXPECT_EQ(name(e), text);
}

TEST_P(HNSWGraph, OneLayerLinksEveryCandidateBothWays) {
    HNSW index(params(1));
    Rng rng(1);
    fill(index, {{0}, {1}, {3}, {2}}, rng);
    // Node 3 finds 1 and 2 at distance 1, 2 after 1, so 2 goes in front.
    expect_lists(index, {{1, 2, 3}, {0, 2, 3}, {1, 0, 3}, {2, 1, 0}});
    for (std::uint32_t n = 0; n < 4; ++n) EXPECT_EQ(index.level(n), 0u);
}

TEST_P(HNSWGraph, LevelZeroNodesLinkAtEveryLayer) {
    // Levels 1, 0, 0: each later node links at layer 0, then at layer 1 from
    // itself, so its own id enters its list twice.
    HNSW a(params(2));
    Rng rng(seed_for(a, {0, 0}));
    fill(a, {{0}, {1}, {3}}, rng);
    expect_lists(a, {{1, 1, 2, 2}, {0, 1, 1, 0, 2}, {1, 0, 2, 2, 0}});
    EXPECT_EQ(a.level(0), 1u);
    // Levels 1, 1, 0: node 1 links at layer 1 only, node 2 sees it there.
    HNSW b(params(2));
    rng = Rng(seed_for(b, {1, 0}));
    fill(b, {{0}, {1}, {3}}, rng);
    expect_lists(b, {{1, 2, 2}, {0, 2, 2}, {1, 0, 2, 2, 1, 0}});
    EXPECT_EQ(b.level(1), 1u);
    EXPECT_EQ(b.level(2), 0u);
}

TEST_P(HNSWGraph, CapacityOneBuildsATree) {
    HNSW index(params(1, 1));
    Rng rng(1);
    fill(index, tree, rng);
    expect_lists(index, {{1, 3}, {0, 2}, {1, 4}, {0, 5}, {2}, {3}});
}

// Calls the bindings never make: a failure of the core's contract, which
// changes nothing.
TEST_P(HNSWKnn, WrongLengthsAndEntriesAreInternalFailures) {
    HNSW index(params(2, 200, 50, std::nullopt, 2));
    Rng rng(1);
    fill(index, {{0, 0}, {3, 4}}, rng);
    const auto fails = [](auto&& call, const char* text) {
        try {
            call();
            ADD_FAILURE() << "no InternalFailure: " << text;
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), text);
        }
    };
    fails([&] { (void)index.insert(V{1, 2, 3}, nullptr, rng); }, "Vector length 3 does not match index dimension 2");
    std::vector<Candidate> w;
    fails([&] { (void)index.knn(2, V{0, 0}, 1, 0, nullptr, w); }, "knn entry 2 is not a node");
    EXPECT_EQ(index.size(), 2u);
    expect_distances(search(index, {0, 0}, 2), {0.0, 5.0});
}

TEST_P(HNSWKnn, LaterEqualDistanceGoesInFrontOfTheEarlierOne) {
    HNSW index(params(1));
    Rng rng(1);
    fill(index, {{0}, {3}, {6}, {7}}, rng);
    ASSERT_EQ(index.neighbours(0), (Ids{1, 2, 3}));
    // Found in list order at 2, 1, 2: node 3 lands in front of node 1.
    const auto w = knn(index, {5}, 10);
    EXPECT_EQ(ids(w), (Ids{2, 3, 1, 0}));
    expect_distances(w, {1, 2, 2, 5});
    EXPECT_EQ(ids(search(index, {5}, 10)), (Ids{2, 3, 1, 0}));
}

TEST_P(HNSWKnn, QueueHandsOutEqualDistancesByAscendingId) {
    HNSW index(params(1, 1));
    Rng rng(1);
    fill(index, tree, rng);
    // Nodes 2 and 3 wait at distance 2; popping 2 first finds 4 before 5,
    // and 5, found later at the same distance, goes in front of 4.
    const auto w = knn(index, {0}, 10);
    EXPECT_EQ(ids(w), (Ids{0, 1, 2, 3, 5, 4}));
    expect_distances(w, {0, 1, 2, 2, 3, 3});
}

// |a0 - b0|, except that a query flagged 0 finds every node flagged 1 at NaN.
// The dot product of the query (1, 0, 0) is x[0], or NaN where x[1] is
// infinite (0 * inf); between the inserted vectors the same infinities give
// numbers, -inf and +inf among them, so the graph is built from numbers and
// the NaNs of the build take no part in it.
const V query{1, 0, 0};

TEST_P(HNSWKnn, NaNDistancesGoLastInWAndInTheQueue) {
    HNSW two(params(1, 200, 50, std::nullopt, 3, dot_product));
    Rng rng(1);
    fill(two, {{0, 0, 0}, {1, inf, 0}, {2, inf, 0}}, rng);
    ASSERT_EQ(two.neighbours(0), (Ids{1, 2}));
    // The second NaN goes in front of the first.
    const auto both = knn(two, query, 10);
    EXPECT_EQ(ids(both), (Ids{0, 2, 1}));
    expect_distances(both, {0, nan, nan});

    // Node 0 links to 1 (NaN for the query) and 2 (at 5); 3 (at 2) hangs off
    // 1, 4 (at 6) off 2. Node 2 is popped before the NaN, fills W with 4, and
    // the NaN popped next ends the walk: node 3, though nearer than 2, is
    // never reached.
    HNSW index(params(1, 1, 50, std::nullopt, 3, dot_product));
    fill(index, {{0, 0, 0}, {-1, inf, 0}, {5, 1, 1}, {2, -1, 0}, {6, 0, -100}}, rng);
    expect_lists(index, {{1, 2}, {0, 3}, {0, 4}, {1}, {2}});
    const auto w = knn(index, query, 3);
    EXPECT_EQ(ids(w), (Ids{0, 2, 4}));
    expect_distances(w, {0, 5, 6});
    // With room for all, the NaN stays last and the walk goes on through it.
    const auto all = knn(index, query, 10);
    EXPECT_EQ(ids(all), (Ids{0, 3, 2, 4, 1}));
    expect_distances(all, {0, 2, 5, 6, nan});
}

TEST_P(HNSWKnn, ErrorsInCheckOrder) {
    const std::vector<std::string> color{"color"};
    const MetadataRecord red{"red"s};
    const MetadataRecord none{};
    HNSW plain(params(3));
    HNSW empty(params(3, 200, 50, std::vector<std::string>{}));
    HNSW named(params(3, 200, 50, color));
    Rng rng(5);
    fill(plain, {{0}, {1}}, rng);
    fill(empty, {{0}, {1}}, rng, {&none, &none});
    fill(named, {{0}, {1}}, rng, {&red, &red});
    const Filter unknown = make_filter("size", "red"s);
    const Filter known = make_filter("color", "red"s);
    struct Row {
        const HNSW* index;
        std::uint32_t ef, layer;
        const Filter* filter;
        HNSWError want;
    };
    const Row table[] = {
        {&plain, 0, 0, nullptr, HNSWError::InvalidEF},
        {&named, 0, 9, &unknown, HNSWError::InvalidEF},
        {&plain, 1, 3, nullptr, HNSWError::InvalidLayer},
        {&plain, 1, 3, &unknown, HNSWError::InvalidLayer},
        {&named, 5, 4294967295u, &unknown, HNSWError::InvalidLayer},
        {&plain, 1, 0, &known, HNSWError::NoSchema},
        {&empty, 1, 2, &known, HNSWError::EmptySchema},
        {&named, 1, 0, &unknown, HNSWError::AttributeNotFound},
    };
    for (const Row& r : table) {
        std::vector<Candidate> w;
        EXPECT_EQ(r.index->knn(0, V{0}, r.ef, r.layer, r.filter, w), r.want) << name(r.want);
    }
    std::vector<Candidate> w;
    EXPECT_FALSE(named.knn(0, V{0}, 1, 2, &known, w));
}

TEST_P(HNSWInsert, FirstNodeTakesTheTopLayerWithoutADraw) {
    for (std::uint32_t layers : {1u, 5u, 0u, 4294967295u}) {
        HNSW index(params(layers));
        Rng rng(9);
        const Rng before = rng;
        ASSERT_FALSE(index.insert(V{1}, nullptr, rng));
        EXPECT_EQ(rng, before) << "layers " << layers;
        EXPECT_EQ(index.level(0), layers - 1);
        EXPECT_TRUE(index.neighbours(0).empty());
    }
}

TEST_P(HNSWInsert, ZeroCapacityStoresTheNodeUnlinked) {
    HNSW index(params(5, 0, 50, std::vector<std::string>{"color"}));
    const MetadataRecord red{"red"s}, blue{"blue"s};
    Rng rng(3);
    ASSERT_FALSE(index.insert(V{0}, &red, rng));
    Rng probe = rng;
    const std::uint32_t level = index.draw_level(probe);
    EXPECT_EQ(index.insert(V{1}, &blue, rng), HNSWError::InvalidEF);
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(index.vector(1)[0], 1.0);
    EXPECT_EQ(index.level(1), level);
    ASSERT_NE(index.metadata().value(1, 0), nullptr);
    EXPECT_EQ(*index.metadata().value(1, 0), Metadata("blue"s));
    EXPECT_TRUE(index.neighbours(0).empty());
    EXPECT_TRUE(index.neighbours(1).empty());
    EXPECT_EQ(index.insert(V{2}, nullptr, rng), HNSWError::InvalidEF);
    EXPECT_EQ(index.size(), 3u);
    EXPECT_EQ(ids(search(index, {1}, 10)), (Ids{0}));
}

TEST_P(HNSWCreate, ChecksBeforeInserting) {
    HNSW plain(params(2));
    HNSW named(params(2, 200, 50, std::vector<std::string>{"color"}));
    Rng rng(4);
    Rows three;
    for (double x : {1.0, 2.0, 3.0}) three.append(V{x});
    const std::vector<MetadataRecord> two{{"a"s}, {"b"s}};
    EXPECT_EQ(plain.create(Rows{}, {}, rng), HNSWError::EmptyVectors);
    EXPECT_EQ(named.create(Rows{}, {}, rng), HNSWError::EmptyVectors);
    EXPECT_EQ(named.create(three, two, rng), HNSWError::AttributeNotFound);
    EXPECT_EQ(named.size(), 0u);
    EXPECT_EQ(named.metadata().nodes(), 0u);
    // Without a schema the records are ignored, whatever their number.
    ASSERT_FALSE(plain.create(three, two, rng));
    ASSERT_FALSE(plain.create(three, {}, rng));
    EXPECT_EQ(plain.size(), 6u);
    EXPECT_EQ(plain.vector(4)[0], 2.0);
    EXPECT_EQ(plain.metadata().values().size(), 0u);
    const std::vector<MetadataRecord> records{{"a"s}, {"b"s}, {"c"s}};
    ASSERT_FALSE(named.create(three, records, rng));
    ASSERT_FALSE(named.create(three, records, rng));
    EXPECT_EQ(named.size(), 6u);
    EXPECT_EQ(*named.metadata().value(5, 0), Metadata("c"s));
}

TEST_P(HNSWSearch, EmptyIndexReturnsNothingWhateverIsAsked) {
    const Filter f = make_filter("nowhere", std::int64_t{1});
    for (const HNSWParams& p :
         {params(5), params(0), params(1, 200, 0), params(3, 200, 0, std::vector<std::string>{})}) {
        const HNSW index(p);
        std::vector<Candidate> w{{1.0, 3}};
        EXPECT_FALSE(index.search(V{1}, 4, &f, w));
        EXPECT_TRUE(w.empty());
    }
}

TEST_P(HNSWSearch, FirstKOfACappedW) {
    HNSW index(params(1, 200, 3));
    Rng rng(1);
    fill(index, {{0}, {3}, {6}, {7}}, rng);
    EXPECT_EQ(ids(search(index, {5}, 10)), (Ids{2, 3, 1}));  // ef_search caps, k does not raise it
    EXPECT_EQ(ids(search(index, {5}, 2)), (Ids{2, 3}));
    EXPECT_EQ(ids(search(index, {5}, 0)), (Ids{2}));
    expect_distances(search(index, {5}, 1), {1});
}

TEST_P(HNSWSearch, ErrorsOnANonEmptyIndex) {
    const Filter unknown = make_filter("size", std::int64_t{1});
    struct Row {
        HNSWParams p;
        const Filter* filter;
        HNSWError want;
    };
    const std::vector<std::string> color{"color"};
    const Row table[] = {
        {params(0), nullptr, HNSWError::InvalidLayer},
        {params(0, 200, 0, color), &unknown, HNSWError::InvalidLayer},
        {params(5, 200, 0), nullptr, HNSWError::InvalidEF},
        {params(5, 200, 0, color), &unknown, HNSWError::AttributeNotFound},  // from an upper layer
        {params(1, 200, 0, color), &unknown, HNSWError::InvalidEF},
        {params(2, 200, 50), &unknown, HNSWError::NoSchema},
        {params(1, 200, 50, std::vector<std::string>{}), &unknown, HNSWError::EmptySchema},
    };
    const MetadataRecord rec{std::int64_t{1}};
    for (const Row& r : table) {
        HNSW index(r.p);
        Rng rng(2);
        fill(index, {{0}, {1}, {2}}, rng, {&rec, &rec, &rec});
        std::vector<Candidate> w;
        EXPECT_EQ(index.search(V{1}, 3, r.filter, w), r.want) << name(r.want);
    }
}

TEST_P(HNSWFilter, WalkNeverStepsOntoRejectedNodes) {
    // The tree again: 0-1-2-4 and 0-3-5. Node 3 carries no record.
    HNSW index(params(1, 1, 10, std::vector<std::string>{"color"}));
    const MetadataRecord red{"red"s}, blue{"blue"s}, green{"green"s};
    Rng rng(1);
    fill(index, tree, rng, {&red, &red, &blue, nullptr, &green, &blue});
    ASSERT_EQ(index.neighbours(0), (Ids{1, 3}));
    const Filter is_red = make_filter("color", "red"s);
    const Filter is_blue = make_filter("color", "blue"s);
    const Filter is_green = make_filter("color", "green"s);
    // Blue 2 and 5 sit behind red 1 and record-less 3; the start node is
    // returned untested.
    EXPECT_EQ(ids(search(index, {0}, 10, &is_blue)), (Ids{0}));
    EXPECT_EQ(ids(search(index, {0}, 10, &is_red)), (Ids{0, 1}));
    // Node 3 must not borrow node 4's record.
    EXPECT_EQ(ids(search(index, {0}, 10, &is_green)), (Ids{0}));
    EXPECT_EQ(ids(search(index, {2}, 10, &is_blue)), (Ids{0}));
    EXPECT_EQ(ids(search(index, {-3}, 10, &is_red)), (Ids{1, 0}));
    // A single node comes back for any k, rejected or not.
    HNSW one(params(3, 200, 50, std::vector<std::string>{"color"}));
    fill(one, {{4}}, rng, {&red});
    for (std::uint32_t k : {0u, 1u, 10u}) {
        const auto w = search(one, {1}, k, &is_blue);
        EXPECT_EQ(ids(w), (Ids{0}));
        expect_distances(w, {3});
    }
    expect_distances(knn(one, {1}, 5, 2, &is_blue), {3});
}

TEST_P(HNSWLevels, WeightsAreExpOfMinusI) {
    EXPECT_TRUE(HNSW(params(0)).level_weights().empty());
    for (std::uint32_t layers : {1u, 2u, 5u, 20u}) {
        const HNSW index(params(layers));
        ASSERT_EQ(index.level_weights().size(), layers);
        for (std::uint32_t i = 0; i < layers; ++i) EXPECT_EQ(index.level_weights()[i], std::exp(-double(i)));
    }
    // Weights that round to 0.0 are left out, so the table stays small.
    const HNSW huge(params(4294967295u));
    const auto& w = huge.level_weights();
    ASSERT_GT(w.size(), 700u);
    ASSERT_LT(w.size(), 800u);
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_EQ(w[i], std::exp(-double(i)));
    EXPECT_GT(w.back(), 0.0);
    EXPECT_EQ(std::exp(-double(w.size())), 0.0);
}

TEST_P(HNSWLevels, DrawFollowsTheWeights) {
    const HNSW five(params(5));
    Rng rng(2024);
    const int draws = 200000;
    std::vector<int> counts(5, 0);
    for (int i = 0; i < draws; ++i) {
        const std::uint32_t level = five.draw_level(rng);
        ASSERT_LT(level, 5u);
        ++counts[level];
    }
    double total = 0.0;
    for (int i = 0; i < 5; ++i) total += std::exp(-i);
    for (int i = 0; i < 5; ++i) {
        const double p = std::exp(-i) / total;
        const double sd = std::sqrt(draws * p * (1 - p));
        EXPECT_NEAR(counts[i], draws * p, 5 * sd) << "level " << i;  // counts, not distances
    }
    const HNSW one(params(1)), none(params(0));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(one.draw_level(rng), 0u);
        ASSERT_EQ(none.draw_level(rng), 4294967295u);
    }
}

TEST_P(HNSWLevels, HugeLayerCountsBuildTheGraphOfTheirDrawnLevels) {
    // Beyond 745 layers every weight is 0.0, so draws are the same; node 0
    // tops every layer either way. Layers above every other level add no
    // link, so both indexes must hold the same lists and give the same
    // results, and the huge one must not walk its billions of layers.
    HNSW huge(params(4294967295u, 16, 20, std::nullopt, 2)), small(params(745, 16, 20, std::nullopt, 2));
    Rng a(7), b(7);
    std::mt19937_64 data(3);
    std::normal_distribution<double> normal;
    for (int i = 0; i < 1000; ++i) {
        const V v{normal(data), normal(data)};
        ASSERT_FALSE(huge.insert(v, nullptr, a));
        ASSERT_FALSE(small.insert(v, nullptr, b));
    }
    for (std::uint32_t n = 0; n < 1000; ++n) ASSERT_EQ(huge.neighbours(n), small.neighbours(n)) << "node " << n;
    for (int i = 0; i < 200; ++i) {
        const V q{normal(data), normal(data)};
        const auto got = search(huge, q, 10), want = search(small, q, 10);
        ASSERT_EQ(ids(got), ids(want));
        for (std::size_t j = 0; j < got.size(); ++j) EXPECT_EQ(got[j].distance, want[j].distance);
    }
}

INSTANTIATE_ON_EACH_TABLE(HNSWCreate);
INSTANTIATE_ON_EACH_TABLE(HNSWFilter);
INSTANTIATE_ON_EACH_TABLE(HNSWGraph);
INSTANTIATE_ON_EACH_TABLE(HNSWInsert);
INSTANTIATE_ON_EACH_TABLE(HNSWKnn);
INSTANTIATE_ON_EACH_TABLE(HNSWLevels);
INSTANTIATE_ON_EACH_TABLE(HNSWSearch);

}  // namespace
