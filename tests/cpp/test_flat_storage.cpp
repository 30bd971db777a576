// Rows kept as float32: every answer, code and norm bit for bit that of the
// same values kept as float64, on every table and every path; a float64
// value float32 cannot hold refused, naming its row; appends on threads
// giving the bits of one row at a time.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "each_table.h"
#include "flat/batch.h"
#include "flat/flat_index.h"

#include <unistd.h>

using namespace orbisk;

namespace {

using V = std::vector<double>;
using F = std::vector<float>;
constexpr float inf = std::numeric_limits<float>::infinity();

/// Float32 rows with what a screen must handle: ties, zero rows, NaN and an
/// infinity, rows too large or too small to be coded.
F values(std::size_t n, std::size_t dim, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    F v(n * dim);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = i % 5 == 0 ? std::round(normal(gen)) : normal(gen);
    for (std::size_t r = 0; r < n; r += 7) std::fill_n(v.begin() + r * dim, dim, 0.0f);
    const float special[] = {std::numeric_limits<float>::quiet_NaN(), inf, 1e38f, 1e-38f};
    for (std::size_t k = 0; k < 4 && 3 + 10 * k < n; ++k) {
        for (std::size_t i = 0; i < dim; i += 1 + k) v[(3 + 10 * k) * dim + i] = special[k];
    }
    return v;
}

bool same_bits(const void* a, const void* b, std::size_t bytes) { return bytes == 0 || std::memcmp(a, b, bytes) == 0; }

void expect_same(const std::vector<Candidate>& got, const std::vector<Candidate>& want, const std::string& where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    for (std::size_t j = 0; j < got.size(); ++j) {
        ASSERT_EQ(got[j].id, want[j].id) << where << " rank " << j;
        ASSERT_TRUE(same_bits(&got[j].distance, &want[j].distance, sizeof(double))) << where << " rank " << j;
    }
}

/// Everything an index keeps beyond its rows, and its rows widened.
void expect_same_parts(const Flat& got, const Flat& want) {
    ASSERT_EQ(got.size(), want.size());
    const std::size_t n = want.size();
    const FlatParts g = got.parts(), w = want.parts();
    EXPECT_TRUE(same_bits(got.vectors().data(), want.vectors().data(), n * want.dim() * sizeof(double)));
    EXPECT_TRUE(same_bits(g.code_blocks, w.code_blocks, want.code_block_bytes(n)));
    EXPECT_TRUE(same_bits(g.code_open, w.code_open, want.code_open_bytes(n)));
    if (want.coding()) {
        EXPECT_TRUE(same_bits(g.scales, w.scales, n * sizeof(float)));
        EXPECT_TRUE(same_bits(g.rhos, w.rhos, n * sizeof(float)));
        EXPECT_TRUE(same_bits(g.extents, w.extents, n * sizeof(double)));
    }
    if (want.metric().keeps_norms()) {
        EXPECT_TRUE(same_bits(g.norms, w.norms, n * sizeof(double)));
    }
}

/// Every search of `queries` on `got` gives the bits `want` gives: one
/// query and a batch for several k, over every row and through a mask, and
/// radius searches.
void expect_same_answers(const Flat& got, const Flat& want, const V& queries) {
    const std::size_t dim = want.dim(), m = queries.size() / dim, n = want.size();
    std::vector<std::uint8_t> mask(n);
    for (std::size_t id = 0; id < n; ++id) mask[id] = id % 3 == 0 || id % 17 == 1;
    std::vector<std::uint8_t> sparse(n);
    for (std::size_t id = 5; id < n; id += 41) sparse[id] = 1;
    std::vector<std::uint64_t> gw, ww;
    const std::uint8_t* masks[] = {nullptr, mask.data(), sparse.data()};
    for (const std::uint8_t* admit : masks) {
        const RowSet gs = admit ? got.admitted_rows(admit, gw) : got.live_rows();
        const RowSet ws = admit ? want.admitted_rows(admit, ww) : want.live_rows();
        for (std::uint32_t k : {1u, 10u, static_cast<std::uint32_t>(n)}) {
            std::vector<std::vector<Candidate>> gm(m), wm(m);
            got.search_many(queries.data(), m, k, gs, gm.data());
            want.search_many(queries.data(), m, k, ws, wm.data());
            for (std::size_t i = 0; i < m; ++i) {
                const std::string where = "k " + std::to_string(k) + " query " + std::to_string(i);
                std::vector<Candidate> g, w;
                got.search(Vec(queries.data() + i * dim, dim), k, gs, g);
                want.search(Vec(queries.data() + i * dim, dim), k, ws, w);
                expect_same(g, w, where);
                expect_same(gm[i], wm[i], where + " (batch)");
                if (k != 10 || w.empty()) continue;
                got.search_radius(Vec(queries.data() + i * dim, dim), w.back().distance, gs, g);
                want.search_radius(Vec(queries.data() + i * dim, dim), w.back().distance, ws, w);
                expect_same(g, w, where + " (radius)");
            }
        }
    }
}

using StorageCase = std::tuple<MetricKind, std::size_t /*dim*/>;

class FlatStorage : public ::testing::TestWithParam<std::tuple<StorageCase, Isa>> {};

TEST_P(FlatStorage, Float32RowsAnswerAsTheSameValuesAsFloat64) {
    const auto [c, isa] = GetParam();
    const auto [metric, dim] = c;
    const std::size_t n = dim > max_code_dim ? 20 : 300;
    const F narrow_values = values(n, dim, 7);
    const V wide_values(narrow_values.begin(), narrow_values.end());
    const auto d = static_cast<std::uint32_t>(dim);
    Flat wide(d, metric, isa);
    wide.append_rows(wide_values.data(), n);
    // Float32 storage fed every way: a row alone (the open block), float32
    // rows on threads (whole blocks), float64 rows of float32 values.
    Flat narrow(d, metric, isa, Storage::Float32);
    ASSERT_EQ(narrow.storage(), Storage::Float32);
    narrow.insert(Vec(wide_values.data(), dim));
    narrow.append_rows(narrow_values.data() + dim, 2 * n / 3 - 1, {}, 3);
    narrow.append_rows(wide_values.data() + 2 * n / 3 * dim, n - 2 * n / 3);
    expect_same_parts(narrow, wide);
    V queries(wide_values.begin() + 4 * dim, wide_values.begin() + 5 * dim);  // a stored row
    const F others = values(3, dim, 8);
    queries.insert(queries.end(), others.begin(), others.end());
    expect_same_answers(narrow, wide, queries);

    std::vector<std::uint32_t> gone;
    for (std::uint32_t id = 2; id < n; id += 3) gone.push_back(id);
    narrow.remove(gone);
    wide.remove(gone);
    expect_same_answers(narrow, wide, queries);
    narrow.compact();
    wide.compact();
    ASSERT_EQ(narrow.storage(), Storage::Float32);
    expect_same_parts(narrow, wide);
    expect_same_answers(narrow, wide, queries);

    // Restored from its parts, rows read in place and checked: the same.
    const FlatParts p = narrow.parts();
    ASSERT_EQ(p.storage, Storage::Float32);
    Flat restored(d, metric, isa, Storage::Float32);
    ASSERT_TRUE(restored.restore(narrow.size(), p, narrow.row_store().block(), true));
    EXPECT_EQ(restored.row_store().data(), p.rows);
    expect_same_parts(restored, wide);
    expect_same_answers(restored, wide, queries);
    // Rows of one type never read as the other's.
    Flat other(d, metric, isa);
    EXPECT_THROW(other.restore(narrow.size(), p, {}, false), InternalFailure);
}

std::vector<StorageCase> storage_cases() {
    std::vector<StorageCase> out;
    for (MetricKind m : {MetricKind::Euclidean, MetricKind::Dot, MetricKind::Cosine}) {
        for (std::size_t dim : {1, 13, 64}) out.emplace_back(m, dim);
    }
    out.emplace_back(MetricKind::Cosine, max_code_dim + 1);  // no codes: every row computed
    return out;
}

std::string storage_case_name(const StorageCase& c) {
    const char* names[] = {"euclidean", "dot", "cosine"};
    return std::string(names[static_cast<int>(std::get<0>(c))]) + "_dim" + std::to_string(std::get<1>(c));
}

INSTANTIATE_TEST_SUITE_P(Tables, FlatStorage, on_each_table(storage_cases()),
                         case_on_table_name<StorageCase>(storage_case_name));

TEST(FlatStorageRows, AFloat64ValueFloat32CannotHoldIsRefusedNamingItsRow) {
    const float f = 0.1f;
    const double exact[] = {f, -0.0, 0x1p-149, std::numeric_limits<float>::max(), std::nan(""), -HUGE_VAL};
    for (double x : exact) EXPECT_TRUE(is_float32(x)) << x;
    const double inexact[] = {
        std::nextafter(static_cast<double>(f), 1.0), std::nextafter(static_cast<double>(f), 0.0), 0.1, 0x1p-150, 1e39,
        -std::numeric_limits<double>::max()};
    for (double x : inexact) {
        EXPECT_FALSE(is_float32(x)) << x;
        V rows(5 * 3, 1.0);
        rows[3 * 3 + 2] = x;  // row 3, its last value
        EXPECT_EQ(first_inexact_row(rows.data(), 5, 3), 3u);
        Flat flat(3, MetricKind::Euclidean, Storage::Float32);
        flat.append_rows(rows.data(), 2);
        try {
            flat.append_rows(rows.data(), 5);
            ADD_FAILURE() << "stored " << x;
        } catch (const InexactRow& e) {
            EXPECT_EQ(e.row, 3u);
            EXPECT_STREQ(e.what(), "row 3 holds a value that float32 storage cannot keep exactly");
        }
        EXPECT_THROW(flat.insert(Vec(rows.data() + 9, 3)), InexactRow);
        EXPECT_EQ(flat.size(), 2u);  // nothing of the refused calls
        // Float64 storage keeps it as it is.
        Flat wide(3, MetricKind::Euclidean);
        wide.append_rows(rows.data(), 5);
        EXPECT_EQ(wide.vectors(), rows);
    }
    EXPECT_EQ(storage_named("float32"), Storage::Float32);
    EXPECT_EQ(storage_name(Storage::Float64), "float64");
    EXPECT_EQ(storage_name(Storage::Float32), "float32");
    EXPECT_FALSE(storage_named("float16"));
}

// Codes, norms and bounds of an append computed on threads: the bits of one
// row at a time, for any thread count, from any open block; a stop keeps
// the rows before it whole.
TEST(BatchAppend, AnyThreadCountGivesTheBitsOfOneRowAtATime) {
    const std::size_t dim = 24, n = 9000;
    const F rows = values(n, dim, 9);
    for (MetricKind metric : {MetricKind::Euclidean, MetricKind::Cosine}) {
        Flat one(dim, metric, Storage::Float32);
        for (std::size_t r = 0; r < n; ++r) one.append_rows(rows.data() + r * dim, 1);
        for (unsigned threads : {1u, 2u, 5u}) {
            Flat many(dim, metric, Storage::Float32);
            many.append_rows(rows.data(), 5);
            many.append_rows(rows.data() + 5 * dim, n - 5, {}, threads);
            expect_same_parts(many, one);
        }
    }
}

TEST(BatchAppend, AStopKeepsTheRowsBeforeItWhole) {
    const std::size_t dim = 32, n = 40000;
    const F rows = values(n, dim, 10);
    for (unsigned threads : {1u, 2u, 4u}) {
        struct Stop {
            int asked = 0;
            static bool check(void* self) { return ++static_cast<Stop*>(self)->asked == 4; }
        } stop;
        Flat f(dim, MetricKind::Euclidean, Storage::Float32);
        bool stopped = false;
        try {
            f.append_rows(rows.data(), n, Interrupt(Stop::check, &stop), threads);
        } catch (const Interrupted&) {
            stopped = true;
        }
        // One thread asks between each of its pieces; with more, the calling
        // thread may find the pieces taken before it asks again.
        if (threads == 1) {
            ASSERT_TRUE(stopped);
            ASSERT_GT(f.size(), 0u);
        }
        EXPECT_EQ(f.size() < n, stopped);
        Flat want(dim, MetricKind::Euclidean, Storage::Float32);
        want.append_rows(rows.data(), f.size());
        expect_same_parts(f, want);
        f.append_rows(rows.data() + f.size() * dim, n - f.size(), {}, threads);  // and it takes the rest
        want.append_rows(rows.data() + want.size() * dim, n - want.size());
        expect_same_parts(f, want);
    }
}

/// The resident size of this process, in bytes (0 where it cannot be read).
std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    if (!(statm >> pages >> resident)) return 0;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Compaction after most rows were removed gives their memory back to the
// system: the resident size falls by about what the index let go of.
TEST(FlatMemory, CompactionGivesTheDroppedRowsMemoryBack) {
    const std::size_t dim = 32, n = 400000;
    if (resident_bytes() == 0) GTEST_SKIP() << "no /proc/self/statm here";
    Flat f(dim, MetricKind::Euclidean, Storage::Float32);
    {
        const F rows = values(n, dim, 11);
        f.append_rows(rows.data(), n, {}, 2);
    }
    std::vector<std::uint32_t> gone;
    for (std::uint32_t id = 0; id < n; ++id) {
        if (id % 10 != 0) gone.push_back(id);
    }
    f.remove(gone);
    gone = {};
    const std::size_t held = f.bytes(), before = resident_bytes();
    f.compact();
    const std::size_t freed = held - f.bytes(), after = resident_bytes();
    ASSERT_GT(freed, held * 8 / 10);
    EXPECT_GE(before - std::min(before, after), freed * 9 / 10)
        << "resident " << before << " -> " << after << " bytes; the index let go of " << freed;
}

}  // namespace
