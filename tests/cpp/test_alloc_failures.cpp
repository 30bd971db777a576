// Every allocation an operation makes fails in turn, the first, the second,
// and so on until the operation runs to its end. After each failure the index
// must equal, by everything it shows, a twin that was given only what the
// failure keeps (nothing, or the insertions of a batch before the failing
// one), and the next call must work.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "each_table.h"
#include "filter/filter.h"
#include "flat/batch.h"
#include "flat/flat_index.h"
#include "graph/graph.h"
#include "hnsw/graph.h"
#include "metadata/metadata.h"
#include "metric_kind.h"

namespace {

// Allocations this thread may still make before the one that fails; 0 when
// disarmed. Thread-local, so other threads and unarmed code are untouched.
thread_local std::size_t countdown = 0;
thread_local bool fired = false;

void* allocate(std::size_t size, std::size_t align) noexcept {
    if (countdown != 0 && --countdown == 0) {
        fired = true;
        return nullptr;
    }
    if (size == 0) size = 1;
    if (align <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) return std::malloc(size);
    void* p = nullptr;
    return posix_memalign(&p, align, size) == 0 ? p : nullptr;
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
    if (void* p = allocate(size, align)) return p;
    throw std::bad_alloc();
}

}  // namespace

// Exported so that the shared libraries (libstdc++, GoogleTest, a sanitizer's
// runtime) resolve to these too: every allocation is counted, and every block
// goes back to the allocator it came from.
#define REPLACED __attribute__((visibility("default")))

REPLACED void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
REPLACED void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
REPLACED void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
REPLACED void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
REPLACED void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
REPLACED void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
REPLACED void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, std::size_t(a));
}
REPLACED void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, std::size_t(a));
}
REPLACED void operator delete(void* p) noexcept { std::free(p); }
REPLACED void operator delete[](void* p) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::size_t) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

using namespace orbisk;

namespace {

using namespace std::string_literals;
using V = std::vector<double>;

/// Runs `op` with the `nth` allocation from here failing; true when it did.
/// A failure must reach the caller as std::bad_alloc, and nothing else may.
template <class Op>
bool run_failing(std::size_t nth, Op& op) {
    struct Disarm {
        ~Disarm() { countdown = 0; }
    } disarm;
    fired = false;
    countdown = nth;
    bool threw = false;
    try {
        op();
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    countdown = 0;
    EXPECT_EQ(threw, fired) << (fired ? "allocation " + std::to_string(nth) + " failed and the call went on"
                                      : "std::bad_alloc without an injected failure"s);
    return fired;
}

/// Fails allocation 1, 2, 3, ... of `op` in turn, each time on what
/// `prepare` sets up, until `op` runs to its end; `check` is told whether the
/// call failed. Returns the number of failures injected.
template <class Prepare, class Op, class Check>
std::size_t sweep(Prepare prepare, Op op, Check check) {
    constexpr std::size_t limit = 5000;
    for (std::size_t nth = 1; nth <= limit; ++nth) {
        prepare();
        const bool failed = run_failing(nth, op);
        check(failed);
        if (!failed) return nth - 1;
        if (::testing::Test::HasFailure()) return nth;
    }
    ADD_FAILURE() << "still failing after " << limit << " allocations";
    return limit;
}

TEST(AllocationHook, FailsExactlyTheArmedAllocation) {
    auto three = [] {
        std::unique_ptr<int> a(new int(1));
        std::unique_ptr<int[]> b(new (std::nothrow) int[2]);
        if (!b) throw std::bad_alloc();  // nothrow forms fail by returning null
        std::vector<double> c(3);
    };
    for (std::size_t nth = 1; nth <= 3; ++nth) EXPECT_TRUE(run_failing(nth, three)) << nth;
    EXPECT_FALSE(run_failing(4, three));
    three();  // disarmed again
}

/// A reproducible vector with values in [-1, 1) that use every mantissa bit.
V point(std::uint64_t seed, std::uint32_t dim) {
    std::mt19937_64 gen(seed * 0x9E3779B97F4A7C15ull + 1);
    V v(dim);
    for (double& x : v) x = std::ldexp(static_cast<double>(gen() >> 11), -52) - 1.0;
    return v;
}

std::vector<V> points(std::uint64_t first, std::size_t count, std::uint32_t dim) {
    std::vector<V> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(point(first + i, dim));
    return out;
}

Rows as_rows(const std::vector<V>& vs) {
    Rows r;
    for (const V& v : vs) r.append(v);
    return r;
}

std::vector<std::uint64_t> bits(Vec v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// Candidates as (id, distance bits), so that == is bit for bit.
std::vector<std::pair<std::uint32_t, std::uint64_t>> hits(const std::vector<Candidate>& w) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
    for (const Candidate& c : w) out.emplace_back(c.id, std::bit_cast<std::uint64_t>(c.distance));
    return out;
}

/// A parametrized test's name: its case as printed.
const auto case_name = [](const auto& info) {
    std::ostringstream os;
    os << info.param;
    return os.str();
};

struct MetricCase {
    const char* name;
    MetricFn fn;
};
const MetricCase metrics[] = {{"euclidean", euclidean_distance}, {"cosine", cosine_similarity}, {"dot", dot_product}};

// ---------------------------------------------------------------------------
// Flat

constexpr std::uint32_t flat_dim = 5;
const std::vector<V> flat_queries = points(9000, 3, flat_dim);

enum class FlatOp { Insert, Create, AppendRows, Search };

struct FlatCase {
    FlatOp op;
    MetricCase metric;
    std::size_t stored;  ///< vectors in the index before the call
    Isa isa;
};

std::ostream& operator<<(std::ostream& os, const FlatCase& c) {
    const char* ops[] = {"insert", "create", "append_rows", "search"};
    return os << ops[static_cast<int>(c.op)] << '_' << c.metric.name << '_' << c.stored << '_' << isa_name(c.isa);
}

Flat filled_flat(const FlatCase& c) {
    Flat f(flat_dim, kind_of(c.metric.fn), c.isa);
    for (const V& v : points(0, c.stored, flat_dim)) f.insert(v);
    return f;
}

std::vector<Candidate> flat_search(const Flat& f, const V& q, std::uint32_t k) {
    std::vector<Candidate> out;
    EXPECT_FALSE(f.search(q, k, out));
    return out;
}

void expect_same(const Flat& got, const Flat& want) {
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(bits(got.vectors()), bits(want.vectors()));
    if (want.size() == 0) return;
    for (const V& q : flat_queries) {
        for (std::uint32_t k : {3u, static_cast<std::uint32_t>(want.size())}) {
            EXPECT_EQ(hits(flat_search(got, q, k)), hits(flat_search(want, q, k))) << "k " << k;
        }
    }
}

class FlatAllocations : public ::testing::TestWithParam<FlatCase> {};

TEST_P(FlatAllocations, FailureKeepsThePrefixAndTheNextCallWorks) {
    const FlatCase c = GetParam();
    // Ten rows from any start close at least one block of eight.
    const std::vector<V> batch = points(1000, c.op == FlatOp::Insert || c.op == FlatOp::Search ? 1 : 10, flat_dim);
    const Rows batch_rows = as_rows(batch);
    V joined;
    for (const V& v : batch) joined.insert(joined.end(), v.begin(), v.end());
    const V next = point(2000, flat_dim);
    std::optional<Flat> index, twin;
    std::optional<FlatError> error;
    std::vector<Candidate> found;

    const std::size_t failures = sweep(
        [&] {
            index.emplace(filled_flat(c));
            twin.emplace(filled_flat(c));
        },
        [&] {
            switch (c.op) {
                case FlatOp::Insert: index->insert(batch[0]); break;
                case FlatOp::Create: ASSERT_FALSE(index->create(batch_rows)); break;
                case FlatOp::AppendRows: index->append_rows(joined.data(), batch.size()); break;
                case FlatOp::Search: error = index->search(flat_queries[0], 4, found); break;
            }
        },
        [&](bool failed) {
            const std::size_t kept = failed ? index->size() - twin->size() : batch.size();
            if (c.op == FlatOp::Search) {
                if (!failed) {
                    std::vector<Candidate> want;
                    EXPECT_EQ(error, twin->search(flat_queries[0], 4, want));
                    EXPECT_EQ(hits(found), hits(want));
                }
            } else {
                ASSERT_LE(kept, batch.size());
                if (failed) {
                    ASSERT_LT(kept, batch.size()) << "a failed call kept all of its batch";
                }
                for (std::size_t i = 0; i < kept; ++i) twin->insert(batch[i]);
            }
            expect_same(*index, *twin);
            if (!failed) return;
            index->insert(next);
            twin->insert(next);
            expect_same(*index, *twin);
        });
    // An empty index allocates for its first row; a search, for its result.
    if ((c.op == FlatOp::Search) == (c.stored > 0)) {
        EXPECT_GT(failures, 0u);
    }
}

std::vector<FlatCase> flat_cases() {
    std::vector<FlatCase> out;
    for (FlatOp op : {FlatOp::Insert, FlatOp::Create, FlatOp::AppendRows, FlatOp::Search}) {
        for (const MetricCase& m : metrics) {
            // Empty, one row, a block about to close, a block whose closing
            // moves the store, a block that fits.
            for (std::size_t stored : {0, 1, 7, 23, 100}) {
                for (Isa isa : every_table()) out.push_back({op, m, stored, isa});
            }
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Sweep, FlatAllocations, ::testing::ValuesIn(flat_cases()), case_name);

// ---------------------------------------------------------------------------
// HNSW

constexpr std::uint32_t graph_dim = 3;
constexpr std::uint32_t graph_layers = 5;
constexpr std::size_t grown = 200;
const std::vector<V> graph_queries = points(9100, 2, graph_dim);
// Long enough to live on the heap, so that copying a record allocates.
const std::string colours[] = {"a colour named red, stored on the heap", "a colour named blue, on the heap too",
                               "a colour named green, also on the heap"};

enum class GraphOp { Insert, Create, Search };

struct GraphCase {
    GraphOp op;
    bool metadata;  ///< records on insertion, a filter on search
    MetricCase metric;
    std::size_t stored;
    Isa isa;
    /// The stored nodes after node 0 and the call's first insertion draw
    /// levels of 3 or more: what a failure left of that insertion would show
    /// on the layers whose walks check each entry's level.
    bool tall = false;
    std::uint64_t seed = 7;  ///< of the generator the stored nodes, then the call, draw from
};

std::ostream& operator<<(std::ostream& os, const GraphCase& c) {
    const char* ops[] = {"insert", "create", "search"};
    return os << ops[static_cast<int>(c.op)] << (c.metadata ? "_metadata_" : "_") << c.metric.name << '_' << c.stored
              << (c.tall ? "_tall_" : "_") << isa_name(c.isa);
}

HNSWParams graph_params(const GraphCase& c) {
    HNSWParams p;
    p.dim = graph_dim;
    p.layers = graph_layers;
    p.ef_construction = 24;
    p.ef_search = 40;
    p.metric = kind_of(c.metric.fn);
    if (c.metadata) p.schema = std::vector<std::string>{"colour", "size"};
    p.isa = c.isa;
    return p;
}

// Every fifth node has an empty record, which no filter admits.
MetadataRecord record(std::uint64_t node) {
    if (node % 5 == 4) return {};
    return MetadataRecord{colours[node % 3], static_cast<std::int64_t>(node % 4)};
}

const std::vector<Filter> probes = {make_filter("colour", colours[0]), make_filter("colour", colours[1]),
                                    make_filter("size", std::int64_t{3})};

/// Inserts vectors `first` to `first + count`, with their records or none.
void feed(HNSW& index, std::uint64_t first, std::size_t count, bool records, Rng& rng) {
    for (std::uint64_t i = first; i < first + count; ++i) {
        const MetadataRecord r = record(i);
        ASSERT_FALSE(index.insert(point(i, graph_dim), records ? &r : nullptr, rng)) << "vector " << i;
    }
}

void expect_same_search(const HNSW& got, const HNSW& want, const V& q, const Filter* filter) {
    std::vector<Candidate> a, b;
    const auto all = static_cast<std::uint32_t>(want.size());
    ASSERT_EQ(got.search(q, all, filter, a), want.search(q, all, filter, b));
    EXPECT_EQ(hits(a), hits(b)) << "search";
}

void expect_same_walks(const HNSW& got, const HNSW& want, const V& q, const Filter* filter) {
    expect_same_search(got, want, q, filter);
    std::vector<Candidate> a, b;
    const auto all = static_cast<std::uint32_t>(want.size());
    // A walk of unbounded capacity reaches every node its layer links to.
    for (std::uint32_t layer = 0; layer < graph_layers; ++layer) {
        if (filter && layer > 0) break;
        ASSERT_FALSE(got.knn(0, q, all, layer, filter, a));
        ASSERT_FALSE(want.knn(0, q, all, layer, filter, b));
        EXPECT_EQ(hits(a), hits(b)) << "layer " << layer;
    }
}

void expect_same(const HNSW& got, const HNSW& want, bool metadata) {
    ASSERT_EQ(got.size(), want.size());
    for (std::uint32_t n = 0; n < want.size(); ++n) {
        ASSERT_EQ(bits(got.vector(n)), bits(want.vector(n))) << "node " << n;
        ASSERT_EQ(got.level(n), want.level(n)) << "node " << n;
    }
    if (want.size() == 0) return;
    for (const V& q : graph_queries) {
        expect_same_walks(got, want, q, nullptr);
        if (!metadata) continue;
        for (const Filter& f : probes) expect_same_walks(got, want, q, &f);
    }
}

/// The index under test, its twin, and the generator the next call draws
/// from; the twin is fed from copies of it.
struct Graphs {
    HNSW index, twin;
    Rng rng;
};

/// The first seed that gives every stored node after node 0 and the next
/// insertion (one draw each) a level of 3 or more.
std::uint64_t tall_seed(std::size_t stored) {
    HNSWParams p;
    p.layers = graph_layers;
    const HNSW probe(p);
    for (std::uint64_t seed = 1;; ++seed) {
        Rng rng(seed);
        bool tall = true;
        for (std::size_t node = 1; node <= stored; ++node) tall = probe.draw_level(rng) >= 3 && tall;
        if (tall) return seed;
    }
}

Graphs filled_graphs(const GraphCase& c) {
    Graphs g{HNSW(graph_params(c)), HNSW(graph_params(c)), Rng(c.seed)};
    Rng same = g.rng;
    feed(g.index, 0, c.stored, c.metadata, g.rng);
    feed(g.twin, 0, c.stored, c.metadata, same);
    return g;
}

class GraphAllocations : public ::testing::TestWithParam<GraphCase> {};

TEST_P(GraphAllocations, FailureKeepsThePrefixAndTheNextCallWorks) {
    const GraphCase c = GetParam();
    const std::size_t count = c.op == GraphOp::Create ? 4 : 1;
    const std::uint64_t first = 1000;
    const std::vector<V> batch = points(first, count, graph_dim);
    const Rows batch_rows = as_rows(batch);
    std::vector<MetadataRecord> records;
    for (std::uint64_t i = first; i < first + count; ++i) records.push_back(record(i));
    const std::span<const MetadataRecord> batch_records = c.metadata ? records : std::span<const MetadataRecord>();
    const Filter* filter = c.metadata ? &probes[1] : nullptr;

    std::optional<Graphs> g;
    Rng before(0);
    std::vector<Candidate> found;
    std::uint64_t next = 2000;

    const std::size_t failures = sweep(
        [&] {
            // A grown index is built once and then grows by the calls made
            // on it: it stays grown, and the sweep stays quick.
            if (!g || c.stored < grown) g.emplace(filled_graphs(c));
            before = g->rng;
        },
        [&] {
            switch (c.op) {
                case GraphOp::Insert:
                    ASSERT_FALSE(g->index.insert(batch[0], c.metadata ? &records[0] : nullptr, g->rng));
                    break;
                case GraphOp::Create: ASSERT_FALSE(g->index.create(batch_rows, batch_records, g->rng)); break;
                case GraphOp::Search: ASSERT_FALSE(g->index.search(graph_queries[0], 10, filter, found)); break;
            }
        },
        [&](bool failed) {
            HNSW& index = g->index;
            HNSW& twin = g->twin;
            if (c.op == GraphOp::Search) {
                if (!failed) {
                    std::vector<Candidate> want;
                    ASSERT_FALSE(twin.search(graph_queries[0], 10, filter, want));
                    EXPECT_EQ(hits(found), hits(want));
                }
            } else {
                // The twin draws the levels of the kept insertions from where
                // the call started; a failed insertion drew its level too, so
                // the index's generator is further on.
                const std::size_t kept = failed ? index.size() - twin.size() : count;
                ASSERT_LE(kept, count);
                if (failed) {
                    ASSERT_LT(kept, count) << "a failed call kept all of its batch";
                }
                feed(twin, first, kept, c.metadata, before);
            }
            expect_same(index, twin, c.metadata);
            if (!failed) return;
            // The next call: a plain insertion, then a search.
            Rng same = g->rng;
            feed(index, next, 1, c.metadata, g->rng);
            feed(twin, next, 1, c.metadata, same);
            ++next;
            ASSERT_EQ(index.size(), twin.size());
            const auto last = static_cast<std::uint32_t>(index.size() - 1);
            EXPECT_EQ(bits(index.vector(last)), bits(twin.vector(last)));
            EXPECT_EQ(index.level(last), twin.level(last));
            for (const V& q : graph_queries) expect_same_search(index, twin, q, filter);
        });
    if (c.op != GraphOp::Search || c.stored > 0) {
        EXPECT_GT(failures, 0u);
    }
    std::uint32_t high = 0;
    for (std::uint32_t n = 1; n < g->index.size(); ++n) high = std::max(high, g->index.level(n));
    if (c.stored == grown) {
        EXPECT_GE(high, 2u) << "the grown index should span several layers";
    }
}

std::vector<GraphCase> graph_cases() {
    std::vector<GraphCase> out;
    for (GraphOp op : {GraphOp::Insert, GraphOp::Create, GraphOp::Search}) {
        for (bool metadata : {false, true}) {
            for (Isa isa : every_table()) {
                for (const MetricCase& m : metrics) {
                    for (std::size_t stored : {0, 1, 2}) out.push_back({op, metadata, m, stored, isa});
                }
                // Cosine keeps norms besides everything the others keep.
                out.push_back({op, metadata, metrics[1], grown, isa});
                if (op != GraphOp::Search) out.push_back({op, metadata, metrics[0], 2, isa, true, tall_seed(2)});
            }
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Sweep, GraphAllocations, ::testing::ValuesIn(graph_cases()), case_name);

// ---------------------------------------------------------------------------
// The approximate graph: rows appended and linked, rows removed, the graph
// compacted, parts restored. An add that fails keeps the rows linked before
// the failure (none, on one thread); the others change nothing.

constexpr std::uint32_t linked_dim = 5;
const std::vector<V> linked_queries = points(9200, 2, linked_dim);

enum class LinkedOp { Add, Remove, Compact, Restore, Search };

struct LinkedCase {
    LinkedOp op;
    MetricCase metric;
    std::size_t stored;
};

std::ostream& operator<<(std::ostream& os, const LinkedCase& c) {
    const char* ops[] = {"add", "remove", "compact", "restore", "search"};
    return os << ops[static_cast<int>(c.op)] << '_' << c.metric.name << '_' << c.stored;
}

std::unique_ptr<Graph> linked_graph(const LinkedCase& c, std::size_t rows) {
    GraphParams p;
    p.dim = linked_dim;
    p.metric = kind_of(c.metric.fn);
    p.m = 4;  // lists fill, and are pruned again
    p.ef_construction = 16;
    p.seed = 3;
    auto g = std::make_unique<Graph>(p);
    V data;
    for (const V& v : points(0, rows, linked_dim)) data.insert(data.end(), v.begin(), v.end());
    g->add(data.data(), rows);
    if (c.op == LinkedOp::Compact) g->remove(std::vector<std::uint32_t>{0, 5, 9});
    return g;
}

/// Everything a graph shows, as words: rows, levels, links, the removed
/// rows, the entry point, and what it answers.
std::vector<std::uint64_t> shown(const Graph& g) {
    std::vector<std::uint64_t> out{g.size(), g.removed()};
    for (std::uint32_t id = 0; id < g.size(); ++id) {
        for (std::uint64_t b : bits(g.row(id))) out.push_back(b);
        out.push_back(g.is_removed(id));
        for (std::uint32_t layer = 0; layer <= g.level(id); ++layer) {
            out.push_back(~std::uint64_t{0});
            for (std::uint32_t link : g.links(id, layer)) out.push_back(link);
        }
    }
    if (g.size() == 0) return out;
    out.push_back(g.entry());
    std::vector<Candidate> found;
    for (const V& q : linked_queries) {
        g.search(q, 4, 8, nullptr, found);
        for (const auto& [id, d] : hits(found)) out.insert(out.end(), {id, d});
    }
    return out;
}

class LinkedAllocations : public ::testing::TestWithParam<LinkedCase> {};

TEST_P(LinkedAllocations, FailureKeepsThePrefixAndTheNextCallWorks) {
    const LinkedCase c = GetParam();
    const std::size_t count = 6;
    V batch;
    for (const V& v : points(1000, count, linked_dim)) batch.insert(batch.end(), v.begin(), v.end());
    const V next = point(2000, linked_dim);
    const std::unique_ptr<Graph> source = linked_graph(c, c.stored);  // what a restore takes
    std::unique_ptr<Graph> index, twin;
    std::vector<Candidate> found;

    const std::size_t failures = sweep(
        [&] {
            index = linked_graph(c, c.op == LinkedOp::Restore ? 0 : c.stored);
            twin = linked_graph(c, c.op == LinkedOp::Restore ? 0 : c.stored);
        },
        [&] {
            switch (c.op) {
                case LinkedOp::Add: index->add(batch.data(), count); break;
                case LinkedOp::Remove: index->remove(std::vector<std::uint32_t>{2, 7}); break;
                case LinkedOp::Compact: index->compact(); break;
                case LinkedOp::Restore:
                    ASSERT_EQ(index->restore(source->size(), source->parts(), nullptr, true), "");
                    break;
                case LinkedOp::Search: index->search(linked_queries[0], 4, 8, nullptr, found); break;
            }
        },
        [&](bool failed) {
            if (c.op == LinkedOp::Add) {
                const std::size_t kept = index->size() - twin->size();
                ASSERT_LE(kept, failed ? count - 1 : count);
                twin->add(batch.data(), kept);
            } else if (!failed) {
                switch (c.op) {
                    case LinkedOp::Remove: twin->remove(std::vector<std::uint32_t>{2, 7}); break;
                    case LinkedOp::Compact: twin->compact(); break;
                    case LinkedOp::Restore: twin = linked_graph(c, c.stored); break;
                    default: break;
                }
            }
            ASSERT_EQ(index->check(), "");
            EXPECT_EQ(shown(*index), shown(*twin));
            if (!failed) return;
            index->add(next.data(), 1);
            twin->add(next.data(), 1);
            EXPECT_EQ(shown(*index), shown(*twin));
        });
    EXPECT_GT(failures, 0u);
}

std::vector<LinkedCase> linked_cases() {
    std::vector<LinkedCase> out;
    for (const MetricCase& m : metrics) {
        for (std::size_t stored : {0, 1, 40}) out.push_back({LinkedOp::Add, m, stored});
        for (LinkedOp op : {LinkedOp::Remove, LinkedOp::Compact, LinkedOp::Restore, LinkedOp::Search}) {
            out.push_back({op, m, 40});
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Sweep, LinkedAllocations, ::testing::ValuesIn(linked_cases()), case_name);

}  // namespace

// ---------------------------------------------------------------------------
// Batches: every allocation of the calling thread fails in turn (the
// helpers' are counted by no hook): the batch throws std::bad_alloc, or it
// goes on (a thread the system refuses leaves its share to the others) and
// every row is the unhindered batch's. With helpers the calling thread may
// allocate nothing at all: they may take every tile before it takes one.

class BatchAllocations : public ::testing::TestWithParam<unsigned> {};

TEST_P(BatchAllocations, FailureIsBadAllocOrTheSameAnswer) {
    const unsigned threads = GetParam();
    constexpr std::uint32_t dim = 24, k = 7;
    Flat f(dim, MetricKind::Euclidean);
    for (const V& v : points(1, 600, dim)) f.insert(v);
    V queries;
    for (const V& q : points(5000, 40, dim)) queries.insert(queries.end(), q.begin(), q.end());
    const std::size_t m = 40, width = batch_width(f, k);
    std::vector<std::int64_t> want_ids(m * width), ids(m * width);
    std::vector<double> want(m * width), got(m * width);
    search_on_threads(f, queries.data(), m, k, want_ids.data(), want.data(), threads);
    std::size_t nth = 1;
    for (; nth < 5000; ++nth) {
        std::fill(ids.begin(), ids.end(), -1);
        fired = false;
        countdown = nth;
        bool threw = false;
        try {
            search_on_threads(f, queries.data(), m, k, ids.data(), got.data(), threads);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        countdown = 0;
        if (!fired) break;
        EXPECT_TRUE(threw || threads > 1) << "allocation " << nth << " failed and one thread went on";
        if (!threw) {
            EXPECT_EQ(ids, want_ids) << "allocation " << nth;
            EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * sizeof(double))) << "allocation " << nth;
        }
        if (::testing::Test::HasFailure()) break;
    }
    if (threads == 1) {
        EXPECT_GT(nth, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, BatchAllocations, ::testing::Values(1u, 3u));
