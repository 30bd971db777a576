// Searches over a set of rows (a filter's, those not removed, a thread's
// part), radius searches, removal and compaction, and an index restored from
// its parts: each the search of an index that holds the rows alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "each_table.h"
#include "flat/batch.h"
#include "flat/flat_index.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;

V rows_of(std::size_t n, std::size_t dim, std::uint32_t seed, bool tied) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> small(-2, 2);
    V data(n * dim);
    for (double& x : data) x = tied ? small(gen) : normal(gen);
    if (tied) {
        for (std::size_t r = 0; r < n; r += 7) std::fill_n(data.begin() + r * dim, dim, 0.0);
        if (n > 5) data[5 * dim] = std::numeric_limits<double>::quiet_NaN();
    }
    return data;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

/// The chosen rows of `rows`, as an index of their own, and their ids there.
struct Alone {
    Flat flat;
    std::vector<std::uint32_t> ids;  ///< id in the whole index of each row here
};

Alone alone(const V& rows, std::size_t dim, MetricKind metric, Isa isa, const std::vector<bool>& chosen) {
    Alone a{Flat(static_cast<std::uint32_t>(dim), metric, isa), {}};
    for (std::size_t id = 0; id < chosen.size(); ++id) {
        if (!chosen[id]) continue;
        a.flat.append_rows(rows.data() + id * dim, 1);
        a.ids.push_back(static_cast<std::uint32_t>(id));
    }
    return a;
}

/// `got` (ids of the whole index) is bit for bit `want` (ids of `a`).
void expect_same(const std::vector<Candidate>& got, const std::vector<Candidate>& want, const Alone& a,
                 const std::string& where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    for (std::size_t j = 0; j < got.size(); ++j) {
        ASSERT_EQ(got[j].id, a.ids[want[j].id]) << where << " rank " << j;
        ASSERT_TRUE(same_bits(got[j].distance, want[j].distance)) << where << " rank " << j;
    }
}

enum class Pick { Half, Sparse, One, None, Every, Range };
const char* pick_names[] = {"half", "sparse", "one", "none", "every", "range"};

std::vector<bool> pick(Pick p, std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<bool> chosen(n, false);
    for (std::size_t id = 0; id < n; ++id) {
        switch (p) {
            case Pick::Half: chosen[id] = gen() % 2; break;
            case Pick::Sparse: chosen[id] = gen() % 100 == 0; break;
            case Pick::One: chosen[id] = id == n / 2; break;
            case Pick::None: break;
            case Pick::Every: chosen[id] = true; break;
            case Pick::Range: chosen[id] = id >= n / 3 && id < n / 3 + 250; break;
        }
    }
    return chosen;
}

/// A mask of bytes: any value but zero admits (0x80 and 1 here, and 0xff).
std::vector<std::uint8_t> bytes_of(const std::vector<bool>& chosen) {
    std::vector<std::uint8_t> out(chosen.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = chosen[i] ? std::uint8_t(i % 3 == 0 ? 0x80 : i % 3 == 1 ? 1 : 0xff) : 0;
    return out;
}

using SetCase = std::tuple<MetricKind, Pick, bool /*tied*/, std::size_t /*dim*/>;

class FlatSets : public ::testing::TestWithParam<std::tuple<SetCase, Isa>> {
  protected:
    static constexpr std::size_t n = 1000;
    /// The case's rows (from `seed`) in an index on the case's table, and the
    /// rows its pick chooses (from `seed` + 1).
    struct Made {
        V rows;
        Flat flat;
        std::vector<bool> chosen;
    };
    static Made made(std::uint32_t seed) {
        const auto [c, isa] = GetParam();
        const auto [metric, p, tied, dim] = c;
        Made m{rows_of(n, dim, seed, tied), Flat(static_cast<std::uint32_t>(dim), metric, isa), pick(p, n, seed + 1)};
        m.flat.append_rows(m.rows.data(), n);
        return m;
    }
};

/// Each search of `queries` over `set`, one by one and as a batch, is bit
/// for bit the search of `a`, which holds the rows of the set alone.
void expect_searches_alone(const Flat& f, const RowSet& set, const Alone& a, const V& queries,
                           std::initializer_list<std::uint32_t> ks) {
    ASSERT_EQ(set.count, a.ids.size());
    const std::size_t dim = f.dim(), m = queries.size() / dim;
    for (std::uint32_t k : ks) {
        std::vector<std::vector<Candidate>> many(m);
        f.search_many(queries.data(), m, k, set, many.data());
        for (std::size_t i = 0; i < m; ++i) {
            const Vec q(queries.data() + i * dim, dim);
            std::vector<Candidate> got, want;
            f.search(q, k, set, got);
            if (!a.ids.empty()) {
                ASSERT_FALSE(a.flat.search(q, k, want));
            }
            const std::string where = "k " + std::to_string(k) + " query " + std::to_string(i);
            expect_same(got, want, a, where);
            expect_same(many[i], want, a, where + " (batch)");
        }
    }
}

TEST_P(FlatSets, ASearchOverAFilterIsTheSearchOfItsRowsAlone) {
    const auto [c, isa] = GetParam();
    const auto [metric, p, tied, dim] = c;
    const auto [rows, f, chosen] = made(3);
    std::vector<std::uint64_t> words;
    const auto admit = bytes_of(chosen);
    expect_searches_alone(f, f.admitted_rows(admit.data(), words), alone(rows, dim, metric, isa, chosen),
                          rows_of(9, dim, 5, tied), {1, 10, 200});
}

// Rows removed, then more appended (across a word of live bits and into the
// open code block), then a filter: searches see the live rows alone, and the
// filter admits only live ones.
TEST_P(FlatSets, AFilterAfterRemovalsAndAppendsAdmitsOnlyLiveRows) {
    const auto [c, isa] = GetParam();
    const auto [metric, p, tied, dim] = c;
    auto [rows, f, admitted] = made(17);
    constexpr std::size_t more = 100;
    std::vector<std::uint32_t> gone;
    for (std::uint32_t id = 1; id < n; id += 3) gone.push_back(id);
    f.remove(gone);
    const V later = rows_of(more, dim, 19, tied);
    f.append_rows(later.data(), more);
    rows.insert(rows.end(), later.begin(), later.end());
    std::vector<bool> live(n + more, true), both(n + more);
    for (std::uint32_t id : gone) live[id] = false;
    admitted.resize(n + more);
    for (std::size_t id = n; id < n + more; id += 2) admitted[id] = true;
    for (std::size_t id = 0; id < n + more; ++id) both[id] = live[id] && admitted[id];
    const V queries = rows_of(5, dim, 21, tied);
    expect_searches_alone(f, f.live_rows(), alone(rows, dim, metric, isa, live), queries, {1, 10});
    std::vector<std::uint64_t> words;
    const auto admit = bytes_of(admitted);
    expect_searches_alone(f, f.admitted_rows(admit.data(), words), alone(rows, dim, metric, isa, both), queries,
                          {1, 10});
}

TEST_P(FlatSets, RemovedRowsAreNeverFoundAndCompactionRenumbersTheRest) {
    const auto [c, isa] = GetParam();
    const auto [metric, p, tied, dim] = c;
    auto [rows, f, live] = made(6);
    std::vector<std::uint32_t> gone;
    for (std::size_t id = 0; id < n; ++id) {
        if (!live[id]) gone.push_back(static_cast<std::uint32_t>(id));
    }
    f.remove(gone);
    ASSERT_EQ(f.removed(), gone.size());
    const Alone a = alone(rows, dim, metric, isa, live);
    const V queries = rows_of(5, dim, 8, tied);
    for (std::size_t i = 0; i < 5; ++i) {
        const Vec q(queries.data() + i * dim, dim);
        std::vector<Candidate> got, want;
        if (a.ids.empty()) {
            ASSERT_FALSE(f.search(q, 10, got));
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_FALSE(f.search(q, 10, got));
        ASSERT_FALSE(a.flat.search(q, 10, want));
        expect_same(got, want, a, "removed, query " + std::to_string(i));
    }
    f.compact();
    ASSERT_EQ(f.size(), a.ids.size());
    ASSERT_EQ(f.removed(), 0u);
    const V got_rows = f.vectors(), want_rows = a.flat.vectors();  // NaN among them: compared as bits
    ASSERT_EQ(got_rows.size(), want_rows.size());
    EXPECT_TRUE(got_rows.empty() ||
                std::memcmp(got_rows.data(), want_rows.data(), got_rows.size() * sizeof(double)) == 0);
    for (std::size_t i = 0; i < 5 && !a.ids.empty(); ++i) {
        const Vec q(queries.data() + i * dim, dim);
        std::vector<Candidate> got, want;
        ASSERT_FALSE(f.search(q, 10, got));
        ASSERT_FALSE(a.flat.search(q, 10, want));
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t j = 0; j < got.size(); ++j) {
            EXPECT_EQ(got[j].id, want[j].id);
            EXPECT_TRUE(same_bits(got[j].distance, want[j].distance));
        }
    }
}

TEST_P(FlatSets, ARadiusSearchFindsEveryRowWithinAndNoneBeyond) {
    const auto [c, isa] = GetParam();
    const auto [metric, p, tied, dim] = c;
    const auto [rows, f, chosen] = made(9);
    std::vector<std::uint64_t> words;
    const auto admit = bytes_of(chosen);
    const RowSet set = f.admitted_rows(admit.data(), words);
    const V queries = rows_of(4, dim, 11, tied);
    for (std::size_t i = 0; i < 4; ++i) {
        const Vec q(queries.data() + i * dim, dim);
        std::vector<Candidate> all;
        for (std::size_t id = 0; id < n; ++id) {
            if (chosen[id])
                all.push_back(
                    {f.metric().distance(q, Vec(rows.data() + id * dim, dim)), static_cast<std::uint32_t>(id)});
        }
        std::sort(all.begin(), all.end(), ranks_before);
        // Radii at a row's own distance (it is in) and one ulp below it (it
        // is out, with every row at that distance).
        for (std::size_t at : {std::size_t{0}, all.size() / 10, all.size() / 2}) {
            if (at >= all.size() || std::isnan(all[at].distance)) continue;
            for (double radius : {all[at].distance, std::nextafter(all[at].distance, -INFINITY)}) {
                std::vector<Candidate> got, want;
                f.search_radius(q, radius, set, got);
                for (const Candidate& cand : all) {
                    if (cand.distance <= radius) want.push_back(cand);
                }
                ASSERT_EQ(got.size(), want.size()) << "radius " << radius;
                for (std::size_t j = 0; j < got.size(); ++j) {
                    ASSERT_EQ(got[j].id, want[j].id);
                    ASSERT_TRUE(same_bits(got[j].distance, want[j].distance));
                }
            }
        }
        std::vector<Candidate> none;
        f.search_radius(q, std::numeric_limits<double>::quiet_NaN(), set, none);
        EXPECT_TRUE(none.empty());
    }
}

std::vector<SetCase> set_cases() {
    std::vector<SetCase> out;
    for (MetricKind m : {MetricKind::Euclidean, MetricKind::Dot, MetricKind::Cosine}) {
        for (Pick p : {Pick::Half, Pick::Sparse, Pick::One, Pick::None, Pick::Every, Pick::Range}) {
            out.emplace_back(m, p, false, 19);
        }
        out.emplace_back(m, Pick::Half, true, 64);
        out.emplace_back(m, Pick::Every, true, 64);
    }
    return out;
}

std::string set_case_name(const SetCase& c) {
    const char* names[] = {"euclidean", "dot", "cosine"};
    return std::string(names[static_cast<int>(std::get<0>(c))]) + "_" + pick_names[static_cast<int>(std::get<1>(c))] +
           (std::get<2>(c) ? "_tied" : "") + "_dim" + std::to_string(std::get<3>(c));
}

INSTANTIATE_TEST_SUITE_P(Tables, FlatSets, on_each_table(set_cases()), case_on_table_name<SetCase>(set_case_name));

// Fewer queries than threads: each thread takes parts of the rows, and the
// parts' best rows merged are the search's, the same bits for any count.
TEST(FlatSplit, RowsSplitAmongThreadsGiveTheSameBits) {
    const std::size_t n = 40000, dim = 24;
    const V rows = rows_of(n, dim, 12, true);
    for (MetricKind metric : {MetricKind::Euclidean, MetricKind::Cosine}) {
        Flat f(dim, metric);
        f.append_rows(rows.data(), n);
        std::vector<std::uint32_t> gone;
        for (std::uint32_t id = 5; id < n; id += 3) gone.push_back(id);
        f.remove(gone);
        const V queries = rows_of(3, dim, 13, true);
        for (std::size_t m : {1u, 2u, 3u}) {
            for (std::uint32_t k : {1u, 10u, 5000u}) {
                const std::size_t width = batch_width(f, k);
                std::vector<std::int64_t> ids1(m * width), ids(m * width);
                V d1(m * width), d(m * width);
                search_on_threads(f, queries.data(), m, k, ids1.data(), d1.data(), 1);
                for (std::size_t i = 0; i < m; ++i) {
                    std::vector<Candidate> want;
                    ASSERT_FALSE(f.search(Vec(queries.data() + i * dim, dim), k, want));
                    for (std::size_t j = 0; j < width; ++j) ASSERT_EQ(ids1[i * width + j], want[j].id);
                }
                for (unsigned threads = 2; threads <= 8; ++threads) {
                    search_on_threads(f, queries.data(), m, k, ids.data(), d.data(), threads);
                    ASSERT_EQ(ids, ids1) << threads << " threads, m " << m << " k " << k;
                    ASSERT_EQ(std::memcmp(d.data(), d1.data(), d.size() * sizeof(double)), 0);
                }
                // Radius: the same rows for any thread count.
                std::vector<std::vector<Candidate>> r1(m), r(m);
                const double radius = d1[width - 1];
                search_radius_on_threads(f, queries.data(), m, radius, f.live_rows(), r1.data(), 1);
                search_radius_on_threads(f, queries.data(), m, radius, f.live_rows(), r.data(), 5);
                for (std::size_t i = 0; i < m; ++i) {
                    ASSERT_EQ(r[i].size(), r1[i].size());
                    for (std::size_t j = 0; j < r[i].size(); ++j) ASSERT_EQ(r[i][j].id, r1[i][j].id);
                }
            }
        }
    }
}

TEST(FlatRemove, BadIdsChangeNothing) {
    const V rows = rows_of(100, 8, 14, false);
    Flat f(8, MetricKind::Euclidean);
    f.append_rows(rows.data(), 100);
    const std::vector<std::uint32_t> first{3, 4};
    f.remove(first);
    const std::vector<std::uint32_t> beyond{1, 100}, again{5, 3}, twice{6, 6};
    EXPECT_THROW(f.remove(beyond), std::out_of_range);
    EXPECT_THROW(f.remove(again), std::invalid_argument);
    EXPECT_THROW(f.remove(twice), std::invalid_argument);
    EXPECT_EQ(f.removed(), 2u);
    for (std::uint32_t id : {1u, 5u, 6u}) EXPECT_FALSE(f.is_removed(id));
    // Rows added after a removal are live.
    f.append_rows(rows.data() + 3 * 8, 3);
    std::vector<Candidate> out;
    ASSERT_FALSE(f.search(Vec(rows.data() + 3 * 8, 8), 2, out));
    EXPECT_EQ(out[0].id, 100u);  // row 3's copy: row 3 itself is removed
}

TEST(FlatRestore, AnIndexFromItsPartsAnswersAsTheOriginalAndADamagedCodeIsRefused) {
    for (MetricKind metric : {MetricKind::Euclidean, MetricKind::Dot, MetricKind::Cosine}) {
        const std::size_t n = 203, dim = 21;
        const V rows = rows_of(n, dim, 15, false);
        Flat f(dim, metric);
        f.append_rows(rows.data(), n);
        const FlatParts p = f.parts();
        Flat g(dim, metric);
        ASSERT_TRUE(g.restore(n, p, f.row_store().block(), true));
        for (std::size_t i = 0; i < 5; ++i) {
            std::vector<Candidate> a, b;
            ASSERT_FALSE(f.search(Vec(rows.data() + i * dim, dim), 7, a));
            ASSERT_FALSE(g.search(Vec(rows.data() + i * dim, dim), 7, b));
            ASSERT_EQ(a.size(), b.size());
            for (std::size_t j = 0; j < a.size(); ++j) EXPECT_EQ(a[j].id, b[j].id);
        }
        // One byte of a code, a code value, a norm: each refused when checked.
        std::vector<std::uint8_t> blocks(p.code_blocks, p.code_blocks + f.code_block_bytes(n));
        blocks[blocks.size() / 2] ^= 1;
        FlatParts bad = p;
        bad.code_blocks = blocks.data();
        Flat h(dim, metric);
        EXPECT_FALSE(h.restore(n, bad, {}, true));
        EXPECT_EQ(h.size(), 0u);
        std::vector<float> scales(p.scales, p.scales + n);
        scales[n - 1] = std::nextafter(scales[n - 1], INFINITY);
        bad = p;
        bad.scales = scales.data();
        EXPECT_FALSE(h.restore(n, bad, {}, true));
        if (metric == MetricKind::Cosine) {
            V norms(p.norms, p.norms + n);
            norms[0] = std::nextafter(norms[0], 0.0);
            bad = p;
            bad.norms = norms.data();
            EXPECT_FALSE(h.restore(n, bad, {}, true));
        }
        // Unchecked, the same parts are taken as they are.
        bad = p;
        bad.code_blocks = blocks.data();
        EXPECT_TRUE(h.restore(n, bad, {}, false));
    }
}

TEST(FlatRows, AViewOfTheRowsOutlivesAppendsAndCompaction) {
    const V rows = rows_of(300, 5, 16, false);
    Flat f(5, MetricKind::Euclidean);
    f.append_rows(rows.data(), 100);
    const SharedArray<double>::Block held = f.row_store().block();
    const auto* seen = static_cast<const double*>(f.row_store().data());
    f.append_rows(rows.data() + 100 * 5, 200);
    const std::vector<std::uint32_t> gone{0, 1, 2};
    f.remove(gone);
    f.compact();
    EXPECT_EQ(std::memcmp(seen, rows.data(), 100 * 5 * sizeof(double)), 0);
    EXPECT_EQ(f.vectors(), V(rows.begin() + 15, rows.end()));
}

}  // namespace
