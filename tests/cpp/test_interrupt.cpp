// Batches stop between insertions when their caller asks, keeping what was
// inserted before.

#include <gtest/gtest.h>

#include <vector>

#include "each_table.h"
#include "flat/flat_index.h"
#include "hnsw/graph.h"

using namespace orbisk;

namespace {

// Says stop at its `at`-th question.
struct StopAt {
    int at;
    int asked = 0;
    static bool check(void* self) {
        auto* s = static_cast<StopAt*>(self);
        return ++s->asked >= s->at;
    }
    Interrupt interrupt() { return Interrupt(check, this); }
};

Rows batch(std::size_t n, std::size_t dim) {
    Rows r;
    for (std::size_t i = 0; i < n; ++i) r.append(std::vector<double>(dim, static_cast<double>(i)));
    return r;
}

class Interrupts : public OnEachTable {};

TEST_P(Interrupts, FlatBatchKeepsTheRowsBeforeTheStop) {
    for (bool as_rows : {false, true}) {
        constexpr std::size_t dim = 64, n = 20000;
        const Rows vectors = batch(n, dim);
        Flat f(dim, MetricKind::Euclidean, isa());
        StopAt stop{3};
        if (as_rows) {
            std::vector<double> data;
            for (std::size_t i = 0; i < n; ++i) data.insert(data.end(), vectors[i].begin(), vectors[i].end());
            EXPECT_THROW(f.append_rows(data.data(), n, stop.interrupt()), Interrupted);
        } else {
            EXPECT_THROW(f.create(vectors, stop.interrupt()), Interrupted);
        }
        EXPECT_EQ(stop.asked, 3);
        ASSERT_GT(f.size(), 0u);
        ASSERT_LT(f.size(), n);
        // The rows kept are the first ones, intact, and the index takes more.
        const std::size_t kept = f.size();
        std::vector<Candidate> out;
        ASSERT_FALSE(f.search(vectors[kept - 1], 1, out));
        EXPECT_EQ(out[0].id, kept - 1);
        EXPECT_EQ(out[0].distance, 0.0);
        f.insert(vectors[kept]);
        ASSERT_FALSE(f.search(vectors[kept], 2, out));
        EXPECT_EQ(out[0].id, kept);
    }
}

TEST_P(Interrupts, GraphBatchKeepsTheNodesBeforeTheStop) {
    HNSWParams p;
    p.dim = 2;
    p.layers = 2;
    p.ef_construction = 8;
    p.ef_search = 4000;
    p.schema = std::vector<std::string>{};
    p.isa = isa();
    HNSW index(p);
    const Rows vectors = batch(3000, 2);
    const std::vector<MetadataRecord> records(vectors.size());
    Rng rng(5);
    StopAt stop{2};
    EXPECT_THROW(index.create(vectors, records, rng, stop.interrupt()), Interrupted);
    const std::size_t kept = index.size();
    ASSERT_GT(kept, 0u);
    ASSERT_LT(kept, vectors.size());
    for (std::uint32_t i = 0; i < kept; ++i) EXPECT_EQ(index.vector(i)[0], static_cast<double>(i));
    ASSERT_FALSE(index.insert(vectors[kept], &records[kept], rng));
    std::vector<Candidate> out;
    ASSERT_FALSE(index.search(vectors[kept], 1, nullptr, out));
    EXPECT_EQ(out[0].id, kept);
}

TEST_P(Interrupts, NoCheckNeverStops) {
    Flat f(4, MetricKind::Dot, isa());
    EXPECT_FALSE(f.create(batch(50000, 4)));
    EXPECT_EQ(f.size(), 50000u);
}

INSTANTIATE_ON_EACH_TABLE(Interrupts);

}  // namespace
