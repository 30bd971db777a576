// Screening codes: the encoding, the bounds at their edges, every code
// kernel table against the plain sums, and the screened scan against the
// plain definition on data made to sit on the bounds.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "flat/flat_index.h"
#include "hnsw/graph.h"
#include "metric_kind.h"
#include "metrics/codes.h"
#include "metrics/kernels.h"
#include "metrics/metrics.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const MetricKind kinds[] = {MetricKind::Euclidean, MetricKind::Dot, MetricKind::Cosine};
const MetricFn functions[] = {euclidean_distance, dot_product, cosine_similarity};

std::string isa_label(const ::testing::TestParamInfo<Isa>& info) { return isa_name(info.param); }

// ---------------------------------------------------------------------------
// Encoding

TEST(Codes, EncodeKeepsCodesInRangeAndBoundsTheResidual) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 1 + rng() % 300;
        V v(n);
        const int e = static_cast<int>(rng() % 120) - 60;
        for (auto& x : v) x = std::ldexp(normal(rng), e);
        if (round % 3 == 0) v[rng() % n] = -std::ldexp(4.0, e);  // the largest magnitude negative
        std::vector<std::uint8_t> bytes(code_bytes(n));
        const CodeInfo info = encode(v, MetricKind::Euclidean, bytes.data());
        ASSERT_TRUE(info.coded());
        double top = 0.0;
        for (double x : v) top = std::max(top, std::fabs(x));
        long double residual = 0.0L;
        bool reached = false;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_GE(bytes[i], 1) << "code -128";
            const int c = bytes[i] - 128;
            reached = reached || std::abs(c) == 127;
            const long double r = static_cast<long double>(v[i]) - static_cast<long double>(info.scale) * c;
            residual += r * r;
        }
        for (std::size_t i = n; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 128) << "pad codes 0";
        EXPECT_TRUE(reached) << "the largest element codes to +-127";
        EXPECT_GE(static_cast<long double>(info.scale) * 127.0L, static_cast<long double>(top));
        // Rounded up, not down: the stored radius covers the residual.
        EXPECT_GE(static_cast<long double>(info.scale) * static_cast<long double>(info.rho), std::sqrt(residual));
    }
}

TEST(Codes, VectorsTheBoundsCannotServeHaveNoCode) {
    std::vector<std::uint8_t> bytes(code_bytes(4));
    for (const V& v : {V{1, nan, 2, 3}, V{inf, 0, 0, 0}, V{0, 0, 0, 0}, V{1e-40, 0, 0, 0}, V{1e40, 1, 1, 1}}) {
        const CodeInfo info = encode(v, MetricKind::Dot, bytes.data());
        EXPECT_FALSE(info.coded());
        EXPECT_EQ(info.rho, std::numeric_limits<float>::infinity());
    }
    V wide(max_code_dim + 1, 1.0);
    std::vector<std::uint8_t> many(code_bytes(wide.size()));
    EXPECT_FALSE(encode(wide, MetricKind::Euclidean, many.data()).coded());
    QueryCode q;
    encode_query(V{1, 2, 3}, 4, q);
    EXPECT_FALSE(q.usable) << "a query of another length";
    encode_query(V{1, 2, nan, 3}, 4, q);
    EXPECT_FALSE(q.usable);
    encode_query(V{1, 2, 4, 3}, 4, q);
    EXPECT_TRUE(q.usable);
}

// ---------------------------------------------------------------------------
// Bounds

struct Coded {
    std::vector<std::uint8_t> bytes;
    CodeInfo info;
};

Coded coded(const V& v, MetricKind kind) {
    Coded c{std::vector<std::uint8_t>(code_bytes(v.size())), {}};
    c.info = encode(v, kind, c.bytes.data());
    return c;
}

std::int32_t raw_of(const QueryCode& q, const Coded& x) {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < x.bytes.size(); ++i) sum += std::int64_t{x.bytes[i]} * q.codes[i];
    return static_cast<std::int32_t>(sum);
}

// Vectors of four kinds: Gaussian, integers (codes nearly exact), exact
// multiples of a float scale (residual zero: only the margins separate the
// bounds from the computed distance), and magnitudes far apart.
V sample(std::size_t n, int kind, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    V v(n);
    const float scale =
        static_cast<float>(std::ldexp(1.0 + (rng() % 1000) / 1000.0, static_cast<int>(rng() % 40) - 20));
    for (auto& x : v) {
        switch (kind) {
            case 0: x = normal(rng); break;
            case 1: x = static_cast<double>(static_cast<int>(rng() % 255) - 127); break;
            case 2: x = static_cast<double>(scale) * static_cast<double>(static_cast<int>(rng() % 255) - 127); break;
            default: x = std::ldexp(normal(rng), static_cast<int>(rng() % 60) - 30); break;
        }
    }
    if (kind == 2) v[0] = static_cast<double>(scale) * 127.0;  // so that the code's scale is `scale`
    return v;
}

// Lower and upper bounds hold the computed distance of every pair, for every
// metric; long vectors with exact codes leave the margin alone to cover the
// metric's rounding.
TEST(Codes, BoundsHoldTheComputedDistance) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 600; ++round) {
        const std::size_t n = round % 10 == 0 ? 4096 : 1 + rng() % 200;
        const int kind = round % 4;
        const V qv = sample(n, kind, rng);
        V xv = sample(n, kind, rng);
        if (round % 7 == 0) {  // near: a few steps apart
            xv = qv;
            for (std::size_t i = 0; i < n; i += 3) xv[i] = std::nextafter(xv[i], inf);
        }
        QueryCode q;
        encode_query(qv, n, q);
        ASSERT_TRUE(q.usable);
        for (int m = 0; m < 3; ++m) {
            const Coded x = coded(xv, kinds[m]);
            ASSERT_TRUE(x.info.coded());
            const double d = functions[m](qv, xv);
            const Bounds b = bounds(kinds[m], q, x.info.scale, x.info.rho, x.info.extent, raw_of(q, x), norm(xv));
            EXPECT_LE(b.lo, d) << "metric " << m << " n " << n << " kind " << kind;
            EXPECT_GE(b.hi, d) << "metric " << m << " n " << n << " kind " << kind;
        }
    }
}

// A stored row as a screen sees it.
struct Row {
    Coded x;
    std::int32_t raw;  ///< what the kernels give for the pair
    double norm;
    Bounds b;
};

// Pairs of short vectors of every sample kind, the row coded for each
// metric in turn.
template <class Check>
void on_sampled_pairs(std::uint64_t seed, int rounds, Check check) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        const std::size_t n = 1 + rng() % 64;
        const V qv = sample(n, round % 4, rng), xv = sample(n, (round / 4) % 4, rng);
        QueryCode q;
        encode_query(qv, n, q);
        for (MetricKind kind : kinds) {
            Row r{coded(xv, kind), 0, norm(xv), {}};
            r.raw = raw_of(q, r.x);
            r.b = bounds(kind, q, r.x.info.scale, r.x.info.rho, r.x.info.extent, r.raw, r.norm);
            check(kind, q, r);
        }
    }
}

// The screen's test without a square root agrees with the full lower bound
// at its edge: a threshold at the lower bound never excludes the row.
TEST(Codes, ScreenNeverExcludesARowAtItsLowerBound) {
    on_sampled_pairs(23, 2000, [](MetricKind kind, const QueryCode& q, const Row& r) {
        const CodeInfo& c = r.x.info;
        const RunBounds run = run_bounds(kind, 1, &c.scale, &c.rho, &c.extent);
        auto screen_rows = [&](const Screen& sc, auto... rest) {
            std::uint64_t left;
            orbisk::screen_rows(sc, 1, rest..., &left);
            return left;
        };
        for (double t : {r.b.lo, std::nextafter(r.b.lo, inf), r.b.hi}) {
            const Screen sc{kind, &q, t};
            EXPECT_EQ(screen_rows(sc, &c.scale, &c.rho, &c.extent, &r.norm, &run, &r.raw), 1u)
                << "metric " << static_cast<int>(kind) << " t " << t << " lo " << r.b.lo;
        }
        // Far below the bound the row is excluded (the screen is not a no-op).
        if (r.b.lo > 1e-3 && kind == MetricKind::Euclidean) {
            const Screen sc{kind, &q, r.b.lo * 0.5};
            EXPECT_EQ(screen_rows(sc, &c.scale, &c.rho, &c.extent, &r.norm, &run, &r.raw), 0u);
        }
    });
}

// The least threshold at which `passes` holds, between one where it fails
// and one where it holds (it is monotone in the threshold).
template <class Passes>
double least_passing(double fails, double holds, Passes passes) {
    while (std::nextafter(fails, holds) != holds) {
        double mid = fails + (holds - fails) / 2.0;
        if (mid == fails || mid == holds) mid = std::nextafter(fails, holds);
        (passes(mid) ? holds : fails) = mid;
    }
    return holds;
}

// The graph screens through may_pass by metric. Its edge, the least
// threshold that keeps the row: for the dot product and cosine the lower
// bound itself (one ulp below excludes); for the Euclidean distance, whose
// test avoids the square root and gives up a few margins for it, at or
// below the lower bound.
TEST(Codes, GraphScreenKeepsARowFromItsLowerBoundUp) {
    on_sampled_pairs(29, 400, [](MetricKind kind, const QueryCode& q, const Row& r) {
        const CodeInfo& c = r.x.info;
        const double lo = r.b.lo;
        auto passes = [&](double t) {
            return may_pass(kind, q, widened_threshold(t), t, c.scale, c.rho, c.extent, r.raw, r.norm);
        };
        EXPECT_TRUE(passes(lo)) << "metric " << static_cast<int>(kind) << " lo " << lo;
        if (kind != MetricKind::Euclidean) {
            EXPECT_FALSE(passes(std::nextafter(lo, -inf))) << "metric " << static_cast<int>(kind) << " lo " << lo;
        } else if (lo > 0.0 && passes(lo) && !passes(0.0)) {  // distances are never negative
            const double edge = least_passing(0.0, lo, passes);
            const Terms t = euclidean_terms(q, c.scale, c.rho, c.extent, r.raw);
            EXPECT_GT(edge, lo - 16.0 * code_margin * (std::sqrt(t.y2) + t.r)) << "more than its margins given up";
        }
    });
}

// The first test by metric.
FirstTest first_of(MetricKind kind, const QueryCode& q, double t, const RunBounds& run) {
    switch (kind) {
        case MetricKind::Euclidean: return first_test<MetricKind::Euclidean>(q, t, run);
        case MetricKind::Dot: return first_test<MetricKind::Dot>(q, t, run);
        case MetricKind::Cosine: break;
    }
    return first_test<MetricKind::Cosine>(q, t, run);
}

bool single_fits_of(MetricKind kind, const FirstTest& f) {
    switch (kind) {
        case MetricKind::Euclidean: return single_fits<MetricKind::Euclidean>(f);
        case MetricKind::Dot: return single_fits<MetricKind::Dot>(f);
        case MetricKind::Cosine: break;
    }
    return single_fits<MetricKind::Cosine>(f);
}

bool single_excludes_row(MetricKind kind, const SingleTest& f, std::int32_t offset, float scale, double column,
                         std::int64_t raw) {
    const auto r = static_cast<std::int32_t>(raw);
    switch (kind) {
        case MetricKind::Euclidean: return single_excludes<MetricKind::Euclidean>(f, offset, scale, column, r);
        case MetricKind::Dot: return single_excludes<MetricKind::Dot>(f, offset, scale, column, r);
        case MetricKind::Cosine: break;
    }
    return single_excludes<MetricKind::Cosine>(f, offset, scale, column, r);
}

// `column`: the row's extent (Euclidean) or norm (cosine).
bool first_excludes_row(MetricKind kind, const FirstTest& f, const QueryCode& q, float scale, double column,
                        std::int64_t raw) {
    const auto r = static_cast<std::int32_t>(raw);
    switch (kind) {
        case MetricKind::Euclidean: return first_excludes<MetricKind::Euclidean>(f, q, scale, column, r);
        case MetricKind::Dot: return first_excludes<MetricKind::Dot>(f, q, scale, column, r);
        case MetricKind::Cosine: break;
    }
    return first_excludes<MetricKind::Cosine>(f, q, scale, column, r);
}

// The first test against may_pass at may_pass's own edge. may_pass keeps
// the raw products from one edge on (up for the Euclidean distance, down
// for the others: it is monotone in raw), and the first test excludes only
// raw products beyond it, for every row of a run; for a run of one row its
// own edge lies within its margin of may_pass's (first_margin of the
// terms, in units of raw). The eight-row form agrees with the row's.
TEST(Codes, FirstTestExcludesOnlyWhatMayPassExcludes) {
    std::mt19937_64 rng(41);
    int tight = 0, runs_of_one = 0, singles = 0;
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = round % 10 == 0 ? 2048 : 1 + rng() % 150;
        const std::size_t rows = round % 2 == 0 ? 1 : 2 + rng() % (code_lanes - 1);
        QueryCode q;
        encode_query(sample(n, round % 4, rng), n, q, round % 3 == 0 ? 63 : 127);
        for (MetricKind kind : kinds) {
            std::vector<float> scales(rows), rhos(rows);
            std::vector<double> extents(rows), norms(rows);
            std::vector<std::int32_t> raws(rows);
            for (std::size_t r = 0; r < rows; ++r) {
                const V xv = sample(n, static_cast<int>(round + r) % 4, rng);
                const Coded x = coded(xv, kind);
                scales[r] = x.info.scale;
                rhos[r] = x.info.rho;
                extents[r] = x.info.extent;
                norms[r] = norm(xv);
                raws[r] = raw_of(q, x);
            }
            const RunBounds run = run_bounds(kind, rows, scales.data(), rhos.data(), extents.data());
            ASSERT_TRUE(run.coded());
            const bool up = kind == MetricKind::Euclidean;  // may_pass keeps raw from its edge upwards
            const Bounds b =
                bounds(kind, q, scales[0], rhos[0], extents[0], raws[0], kind == MetricKind::Cosine ? norms[0] : 0.0);
            for (double t : {b.lo, b.lo - 0.5 * std::fabs(b.lo), b.lo + 0.01 * std::fabs(b.lo), b.hi, -b.hi}) {
                const FirstTest f = first_of(kind, q, t, run);
                // The runs of a call joined, beside runs without a code and
                // others: its test is each coded run's, no tighter (the same
                // slope; a base on the side that excludes less).
                RunBounds many[pass_runs];
                for (std::size_t i = 0; i < pass_runs; ++i) {
                    many[i] = i % 5 == 1 ? RunBounds{} : run;
                    many[i].r_hi *= static_cast<float>(1 + i % 3);
                    many[i].ext *= i % 4 == 3 ? 0.5f : 1.0f;
                }
                const std::size_t count = 1 + static_cast<std::size_t>(round) % pass_runs;
                const RunBounds joined = joined_runs(many, count);
                for (double u : {t, std::numeric_limits<double>::infinity()}) {
                    const FirstTest all = first_of(kind, q, u, joined);
                    for (std::size_t i = 0; i < count; ++i) {
                        if (!many[i].coded()) continue;
                        EXPECT_LE(many[i].r_hi, joined.r_hi);
                        EXPECT_LE(many[i].ext, joined.ext);
                        const FirstTest alone = first_of(kind, q, u, many[i]);
                        EXPECT_EQ(std::bit_cast<std::uint64_t>(all.slope), std::bit_cast<std::uint64_t>(alone.slope));
                        if (kind == MetricKind::Euclidean) {
                            EXPECT_LE(all.base, alone.base) << "run " << i << " t " << u;
                        } else {
                            EXPECT_GE(all.base, alone.base) << "metric " << static_cast<int>(kind) << " run " << i;
                        }
                    }
                }
                for (std::size_t r = 0; r < rows; ++r) {
                    // The first raw that passes, walking from the excluded side.
                    auto edge_of = [&](auto passes) -> std::optional<std::int64_t> {
                        std::int64_t out = up ? INT32_MIN : INT32_MAX, in = up ? INT32_MAX : INT32_MIN;
                        if (!passes(in)) return std::nullopt;  // every raw excluded
                        if (passes(out)) return out;
                        while (std::abs(in - out) > 1) {
                            const std::int64_t mid = out + (in - out) / 2;
                            (passes(mid) ? in : out) = mid;
                        }
                        return in;
                    };
                    const auto edge = edge_of([&](std::int64_t raw) {
                        return may_pass(kind, q, widened_threshold(t), t, scales[r], rhos[r], extents[r],
                                        static_cast<std::int32_t>(raw), norms[r]);
                    });
                    if (!edge) continue;
                    const auto& column = kind == MetricKind::Cosine ? norms : extents;
                    EXPECT_FALSE(first_excludes_row(kind, f, q, scales[r], column[r], *edge))
                        << "metric " << static_cast<int>(kind) << " n " << n << " t " << t << " edge " << *edge;
                    // The single test, where it may run, keeps the edge too;
                    // its sixteen-row form agrees with the row's.
                    // (Only raw products real codes can give: |raw - offset| <= 127^2 n.)
                    const double p_edge = static_cast<double>(*edge) - q.offset;
                    if (run.narrow && single_fits_of(kind, f) &&
                        std::fabs(p_edge) <= 127.0 * 127.0 * static_cast<double>(n)) {
                        ++singles;
                        const SingleTest g = single_of(f);
                        const auto offset = static_cast<std::int32_t>(q.offset);
                        EXPECT_FALSE(single_excludes_row(kind, g, offset, scales[r], column[r], *edge))
                            << "single, metric " << static_cast<int>(kind) << " n " << n << " t " << t;
                        float s16[16];
                        double c16[16];
                        std::int32_t raw16[16];
                        for (int l = 0; l < 16; ++l) {
                            s16[l] = scales[(r + l) % rows];
                            c16[l] = column[(r + l) % rows];
                            raw16[l] = l == 0 ? static_cast<std::int32_t>(*edge) : raws[(r + l) % rows];
                        }
                        const std::uint32_t kept = single_leaves16_of(kind, g, offset, s16, c16, raw16);
                        for (int l = 0; l < 16; ++l) {
                            EXPECT_EQ((kept >> l) & 1, !single_excludes_row(kind, g, offset, s16[l], c16[l], raw16[l]));
                        }
                    }
                    // The eight-row form, this row among rows of another run's values.
                    float s8[8];
                    double e8[8];
                    std::int32_t raw8[8];
                    for (int l = 0; l < 8; ++l) {
                        s8[l] = scales[(r + l) % rows];
                        e8[l] = column[(r + l) % rows];
                        raw8[l] = l == 0 ? static_cast<std::int32_t>(*edge) : raws[(r + l) % rows];
                    }
                    const std::uint32_t left = first_leaves8_of(kind, f, q, s8, e8, raw8);
                    for (int l = 0; l < 8; ++l) {
                        EXPECT_EQ((left >> l) & 1, !first_excludes_row(kind, f, q, s8[l], e8[l], raw8[l]));
                    }
                    const auto first = edge_of(
                        [&](std::int64_t raw) { return !first_excludes_row(kind, f, q, scales[r], column[r], raw); });
                    if (rows == 1 && first && *first != (up ? INT32_MIN : INT32_MAX) &&
                        *edge != (up ? INT32_MIN : INT32_MAX)) {
                        // The margin, in units of raw: the terms over s_q s (the
                        // cosine's threshold times the norms among them).
                        const double cosine = kind == MetricKind::Cosine ? q.norm * norms[0] * std::fabs(t) : 0.0;
                        const double terms = (q.qq + extents[0] + t * t + std::fabs(t) + cosine) /
                                             (q.scale * static_cast<double>(scales[0]));
                        const double gap = std::fabs(static_cast<double>(*edge - *first));
                        ++runs_of_one;
                        tight += gap <= 2.0 + 4.0 * first_margin * terms;
                    }
                }
            }
        }
    }
    EXPECT_GT(runs_of_one, 1000);
    EXPECT_GT(singles, 1000) << "the single test seldom ran";
    EXPECT_EQ(tight, runs_of_one) << "the first test gives up more than its margins";
}

// The query's length |q'| = s_q sqrt(A) is rounded up: the dot product's
// bound takes it as an upper bound. Dimensions off the groups of four, the
// pad codes zero.
TEST(Codes, QueryLengthIsRoundedUp) {
    std::mt19937_64 rng(37);
    for (std::size_t n : {1, 2, 3, 5, 7, 9, 15, 17, 31, 33, 63, 65, 127, 1025}) {
        for (int round = 0; round < 40; ++round) {
            QueryCode q;
            encode_query(sample(n, round % 4, rng), n, q);
            if (!q.usable) continue;  // all zero
            long double squares = 0.0L;
            for (std::size_t i = 0; i < q.codes.size(); ++i) {
                if (i >= n) {
                    ASSERT_EQ(q.codes[i], 0) << "pad";
                }
                squares += static_cast<long double>(q.codes[i]) * q.codes[i];
            }
            EXPECT_EQ(q.squares, static_cast<double>(squares));
            EXPECT_GE(static_cast<long double>(q.length), static_cast<long double>(q.scale) * std::sqrt(squares))
                << "n " << n << " round " << round;
        }
    }
}

// The query norm that the cosine bounds divide by is the metric's own, bit
// for bit, though summed beside the codes.
TEST(Codes, QueryNormIsTheMetricsNorm) {
    std::mt19937_64 rng(43);
    for (std::size_t n : {1, 3, 64, 127, 300, 1025}) {
        for (int round = 0; round < 8; ++round) {
            const V v = sample(n, round % 4, rng);
            QueryCode q;
            encode_query(v, n, q);
            if (!q.usable) continue;  // all zero
            EXPECT_EQ(std::bit_cast<std::uint64_t>(q.norm), std::bit_cast<std::uint64_t>(norm(Vec(v)))) << "n " << n;
        }
    }
}

// A query is coded within the table's limit, its largest element at it.
TEST(Codes, QueryCodesStayWithinTheTablesLimit) {
    std::mt19937_64 rng(41);
    for (int limit : {127, 63}) {
        for (std::size_t dim : {1, 5, 64, 301}) {
            const V v = sample(dim, static_cast<int>(dim % 4), rng);
            QueryCode q;
            encode_query(v, dim, q, limit);
            ASSERT_TRUE(q.usable);
            int most = 0;
            for (std::int8_t c : q.codes) most = std::max(most, std::abs(int{c}));
            EXPECT_EQ(most, limit) << "dim " << dim;
            double top = 0;
            for (double x : v) top = std::max(top, std::fabs(x));
            EXPECT_GE(q.scale * limit, top);
        }
    }
}

// ---------------------------------------------------------------------------
// Kernels

class CodeTables : public ::testing::TestWithParam<Isa> {};

TEST_P(CodeTables, MatchThePlainSums) {
    const CodeKernels& k = *distance_kernels(GetParam()).codes;
    const CodeKernels& plain = scalar_codes;
    std::mt19937_64 rng(31);
    for (std::size_t dim : {1, 3, 4, 5, 16, 63, 64, 65, 128, 200}) {
        const std::size_t bytes = code_bytes(dim), groups = bytes / 4;
        const std::size_t count = 1 + rng() % 4;
        std::vector<std::uint8_t> blocks(count * code_lanes * bytes);
        for (auto& b : blocks) b = static_cast<std::uint8_t>(rng());
        std::vector<std::int8_t> q(bytes);
        const int span = 2 * k.query_limit + 1;  // every code the table takes
        for (auto& x : q) x = static_cast<std::int8_t>(static_cast<int>(rng() % span) - k.query_limit);
        std::vector<std::int32_t> got(count * code_lanes), want(count * code_lanes);
        k.blocks(blocks.data(), count, groups, q.data(), got.data());
        // The definition: group g of row r at (g * lanes + r) * 4.
        for (std::size_t b = 0; b < count; ++b) {
            for (std::size_t r = 0; r < code_lanes; ++r) {
                std::int64_t sum = 0;
                for (std::size_t i = 0; i < bytes; ++i) {
                    sum += blocks[b * code_lanes * bytes + ((i / 4) * code_lanes + r) * 4 + i % 4] * q[i];
                }
                want[b * code_lanes + r] = static_cast<std::int32_t>(sum);
            }
        }
        EXPECT_EQ(got, want) << k.name << " blocks dim " << dim;
        const std::uint32_t rows[] = {3, 0, 7, 7, 1, 5, 2};
        std::vector<std::int32_t> got_rows(7), want_rows(7);
        k.rows(blocks.data(), rows, 7, bytes, q.data(), bytes, got_rows.data());
        plain.rows(blocks.data(), rows, 7, bytes, q.data(), bytes, want_rows.data());
        for (std::size_t i = 0; i < 7; ++i) {
            std::int64_t sum = 0;
            for (std::size_t j = 0; j < bytes; ++j) sum += blocks[rows[i] * bytes + j] * q[j];
            EXPECT_EQ(want_rows[i], sum);
        }
        EXPECT_EQ(got_rows, want_rows) << k.name << " rows dim " << dim;
    }
}

// Many queries at once: each query's products are those of the one-query
// kernel, for every dimension up to 300 (every length of the last part of
// the elements a tile multiplies), odd and even counts of blocks, and
// counts of queries around the tiles' (one count a dimension, in turn).
TEST_P(CodeTables, ManyQueriesMatchOneByOne) {
    const CodeKernels& k = *distance_kernels(GetParam()).codes;
    if (!k.many) GTEST_SKIP() << k.name << " multiplies one query at a time";
    std::mt19937_64 rng(37);
    const int span = 2 * k.query_limit + 1;
    for (std::size_t dim = 1; dim <= 300; ++dim) {
        const std::size_t bytes = code_bytes(dim), groups = bytes / 4;
        const std::size_t counts[] = {1, 15, 16, 17, 33};
        const std::size_t nq = counts[dim % std::size(counts)], count = 1 + rng() % 7;
        std::vector<std::uint8_t> blocks(count * code_lanes * bytes);
        for (auto& b : blocks) b = static_cast<std::uint8_t>(rng());
        std::vector<std::int8_t> q(query_rows(nq) * bytes, 0);
        for (std::size_t i = 0; i < nq * bytes; ++i) {
            q[i] = static_cast<std::int8_t>(static_cast<int>(rng() % span) - k.query_limit);
        }
        const std::int32_t unwritten = std::numeric_limits<std::int32_t>::min();
        std::vector<std::int32_t> got(query_rows(nq) * count * code_lanes, unwritten);
        k.many(blocks.data(), count, groups, q.data(), nq, got.data());
        std::vector<std::int32_t> want(count * code_lanes);
        for (std::size_t j = 0; j < nq; ++j) {
            scalar_codes.blocks(blocks.data(), count, groups, q.data() + j * bytes, want.data());
            const auto at = got.begin() + static_cast<std::ptrdiff_t>(j * count * code_lanes);
            ASSERT_TRUE(std::equal(want.begin(), want.end(), at))
                << k.name << " dim " << dim << " queries " << nq << " blocks " << count << " query " << j;
        }
    }
}

// A row exactly at the first test's constant is not excluded, in every
// table's eight-row form as in the row's (a tie is not below, nor above).
TEST_P(CodeTables, FirstTestKeepsARowAtItsEdge) {
    const CodeKernels& k = *distance_kernels(GetParam()).codes;
    QueryCode q;
    q.offset = 128.0 * 5;
    float s[8];
    double e[8];
    std::int32_t raw[8];
    for (int l = 0; l < 8; ++l) {
        s[l] = 0.25f * static_cast<float>(l + 1);
        e[l] = 3.0 + l;
        raw[l] = 640 + 7 * l - 20;
    }
    for (int l = 0; l < 8; ++l) {
        const double a = static_cast<double>(s[l]) * (static_cast<double>(raw[l]) - q.offset);
        for (MetricKind kind : kinds) {
            const FirstTest at{0.0, a};
            EXPECT_TRUE((k.first8(kind, at, q, s, e, raw) >> l) & 1) << k.name << " row " << l;
            EXPECT_EQ(k.first8(kind, at, q, s, e, raw), scalar_codes.first8(kind, at, q, s, e, raw));
            EXPECT_FALSE(first_excludes_row(kind, at, q, s[l], e[l], raw[l]));
        }
    }
    // The single test's sixteen rows, each in turn exactly at its constant.
    float s16[16];
    double e16[16];
    std::int32_t raw16[16];
    for (int l = 0; l < 16; ++l) {
        s16[l] = 0.25f * static_cast<float>(l + 1);
        e16[l] = 3.0 + l;
        raw16[l] = 640 + 7 * l - 20;
    }
    for (int l = 0; l < 16; ++l) {
        const float a = s16[l] * static_cast<float>(raw16[l] - 640);
        for (MetricKind kind : kinds) {
            const SingleTest at{0.0f, a};
            EXPECT_TRUE((k.single16(kind, at, 640, s16, e16, raw16) >> l) & 1) << k.name << " row " << l;
            EXPECT_EQ(k.single16(kind, at, 640, s16, e16, raw16),
                      scalar_codes.single16(kind, at, 640, s16, e16, raw16));
        }
    }
}

// At the largest dimension codes are made for, the largest products still
// fit, and no pair of them saturates where pairs meet in 16 bits: every byte
// 255 against every query code at the table's limit (and its negation).
TEST_P(CodeTables, LargestDimensionDoesNotOverflow) {
    const CodeKernels& k = *distance_kernels(GetParam()).codes;
    const std::size_t bytes = max_code_dim;
    std::vector<std::uint8_t> row(code_lanes * bytes, 255);
    for (int sign : {1, -1}) {
        std::vector<std::int8_t> q(bytes, static_cast<std::int8_t>(k.query_limit * sign));
        const std::int64_t want = std::int64_t{255} * k.query_limit * sign * static_cast<std::int64_t>(bytes);
        ASSERT_LT(std::abs(want), std::int64_t{1} << 31);
        std::int32_t out[code_lanes];
        k.blocks(row.data(), 1, bytes / 4, q.data(), out);
        for (std::int32_t v : out) EXPECT_EQ(v, want) << k.name;
        const std::uint32_t first = 0;
        k.rows(row.data(), &first, 1, bytes, q.data(), bytes, out);
        EXPECT_EQ(out[0], want) << k.name;
    }
}

// Every table screens as the portable one does, bit for bit.
TEST_P(CodeTables, ScreenAgreesWithThePortableTable) {
    const CodeKernels& k = *distance_kernels(GetParam()).codes;
    std::mt19937_64 rng(37);
    for (std::size_t dim : {3, 16, 50, 128}) {
        const std::size_t bytes = code_bytes(dim), count = pass_runs, rows = count * code_lanes;
        std::vector<V> data(rows);
        std::vector<std::uint8_t> open(rows * bytes), blocks(rows * bytes);
        std::vector<float> scales(rows), rhos(rows);
        std::vector<double> extents(rows), norms(rows);
        const V qv = sample(dim, 0, rng);
        QueryCode q;
        encode_query(qv, dim, q, k.query_limit);
        for (MetricKind kind : kinds) {
            for (std::size_t r = 0; r < rows; ++r) {
                data[r] = sample(dim, static_cast<int>(r % 4), rng);
                if (r % 13 == 5) data[r][0] = nan;
                const CodeInfo info = encode(data[r], kind, open.data() + r * bytes);
                scales[r] = info.scale;
                rhos[r] = info.rho;
                extents[r] = info.extent;
                norms[r] = norm(data[r]);
            }
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t g = 0; g < bytes / 4; ++g) {
                    std::copy_n(
                        open.data() + r * bytes + 4 * g, 4,
                        blocks.data() + (r / code_lanes) * code_lanes * bytes + (g * code_lanes + r % code_lanes) * 4);
                }
            }
            RunBounds runs[count];
            for (std::size_t b = 0; b < count; ++b) {
                runs[b] = run_bounds(kind, code_lanes, scales.data() + b * code_lanes, rhos.data() + b * code_lanes,
                                     extents.data() + b * code_lanes);
            }
            for (double t : {0.0, 1.0, 10.0, inf, -1.0}) {
                const Screen sc{kind, &q, t};
                std::int32_t raw[rows], plain_raw[rows];
                // The products, then the screen of them (all the blocks of a
                // call, and fewer, down to part of one), by each table.
                for (std::size_t n : {rows, 4 * code_lanes, 5 * code_lanes + 3, std::size_t{7}}) {
                    auto screen = [&](const CodeKernels& table, std::int32_t* out) {
                        table.blocks(blocks.data(), count, bytes / 4, q.codes.data(), out);
                        std::array<std::uint64_t, rows / 64> left{};
                        table.pass(sc, n, scales.data(), rhos.data(), extents.data(), norms.data(), runs, out,
                                   left.data());
                        return left;
                    };
                    const auto got = screen(k, raw);
                    EXPECT_EQ(got, screen(scalar_codes, plain_raw)) << k.name << " dim " << dim << " t " << t;
                    for (std::size_t r = 5; r < n; r += 13) {
                        EXPECT_TRUE(got[r / 64] >> r % 64 & 1) << "a row without code passes";
                    }
                    for (std::size_t r = n; r < (n + 63) / 64 * 64; ++r) EXPECT_FALSE(got[r / 64] >> r % 64 & 1);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, CodeTables, ::testing::ValuesIn(supported_isas().begin(), supported_isas().end()),
                         isa_label);

// ---------------------------------------------------------------------------
// The screened scan

struct ScanData {
    const char* name;
    int kind;
};

// Rows of several kinds, many of them on the edges of the screen: near-ties
// at the k-th distance (one ulp, one code step apart), duplicates, rows
// without a code (NaN, infinities, zero, out-of-range scales).
std::vector<V> scan_rows(std::size_t n, std::size_t dim, int kind, const V& q, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<V> centres(8, V(dim));
    for (auto& c : centres)
        for (auto& x : c) x = 3.0 * normal(rng);
    std::vector<V> out;
    for (std::size_t i = 0; i < n; ++i) {
        V v(dim);
        switch (kind) {
            case 0:  // clusters
                v = centres[rng() % centres.size()];
                for (auto& x : v) x += 0.5 * normal(rng);
                break;
            case 1:  // Gaussian: distances crowd together
                for (auto& x : v) x = normal(rng);
                break;
            default: {  // q moved along a few directions by near-equal steps
                v = q;
                const double step = 1.0 + static_cast<double>(i % 5) * 0x1p-52;
                v[i % dim] += i % 2 ? step : std::nextafter(step, 0.0);
                if (i % 7 == 0) v[(i + 1) % dim] += 1.0 / 127.0;  // one code step
                break;
            }
        }
        if (i % 97 == 3) v = out.empty() ? v : out[rng() % out.size()];  // duplicates
        if (i % 211 == 17) v[rng() % dim] = nan;
        if (i % 223 == 19) v[rng() % dim] = -inf;
        if (i % 227 == 23) std::fill(v.begin(), v.end(), 0.0);
        if (i % 229 == 29)
            for (auto& x : v) x *= 1e-40;
        if (i % 233 == 31) v[0] = 1e40;
        out.push_back(v);
    }
    return out;
}

class ScreenedScan : public ::testing::TestWithParam<Isa> {};

TEST_P(ScreenedScan, EqualsThePlainDefinition) {
    std::mt19937_64 rng(41);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::size_t dim : {5, 24, 64}) {
        for (int kind = 0; kind < 3; ++kind) {
            for (std::size_t n : {32, 200, 1500}) {
                V q(dim);
                for (auto& x : q) x = normal(rng);
                const std::vector<V> data = scan_rows(n, dim, kind, q, rng);
                for (int m = 0; m < 3; ++m) {
                    Flat f(static_cast<std::uint32_t>(dim), kinds[m], GetParam());
                    for (const V& v : data) f.insert(v);
                    for (int round = 0; round < 6; ++round) {
                        V query = q;
                        if (round == 1) query = data[rng() % n];
                        if (round == 2)
                            for (auto& x : query) x = normal(rng);
                        if (round == 3) query[0] = nan;  // no screen
                        if (round == 4) query.assign(dim, 0.0);
                        std::vector<Candidate> all;
                        for (std::uint32_t i = 0; i < n; ++i) all.push_back({functions[m](query, data[i]), i});
                        std::stable_sort(all.begin(), all.end(), ranks_before);
                        for (std::uint32_t k : {0u, 1u, 3u, 10u, 37u}) {
                            std::vector<Candidate> got;
                            ASSERT_FALSE(f.search(query, k, got));
                            const std::size_t keep = std::min<std::size_t>(n, std::max<std::uint32_t>(k, 1));
                            ASSERT_EQ(got.size(), keep);
                            for (std::size_t i = 0; i < keep; ++i) {
                                ASSERT_EQ(got[i].id, all[i].id)
                                    << "metric " << m << " kind " << kind << " dim " << dim << " n " << n << " k " << k
                                    << " round " << round << " position " << i;
                                ASSERT_TRUE(std::memcmp(&got[i].distance, &all[i].distance, sizeof(double)) == 0 ||
                                            (std::isnan(got[i].distance) && std::isnan(all[i].distance)));
                            }
                        }
                    }
                }
            }
        }
    }
}

// Rows longer than codes serve (their integer sums could overflow) are
// computed in full by scans and walks alike.
// Rows and queries far from unit scale, where single precision would
// overflow or fall below its normal range: the screen still equals the
// plain definition (such runs take the double test).
TEST_P(ScreenedScan, FarScalesEqualThePlainDefinition) {
    std::mt19937_64 rng(43);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t dim = 32, n = 600;
    for (auto [row_exp, query_exp] : {std::pair{80, -80}, {-80, 80}, {80, 80}, {-80, -80}, {40, 0}, {0, -40}}) {
        std::vector<V> data(n, V(dim));
        for (auto& v : data) {
            for (auto& x : v) x = std::ldexp(normal(rng), row_exp);
        }
        V query(dim);
        for (auto& x : query) x = std::ldexp(normal(rng), query_exp);
        for (int m = 0; m < 3; ++m) {
            Flat f(static_cast<std::uint32_t>(dim), kinds[m], GetParam());
            for (const V& v : data) f.insert(v);
            std::vector<Candidate> all;
            for (std::uint32_t i = 0; i < n; ++i) all.push_back({functions[m](query, data[i]), i});
            std::stable_sort(all.begin(), all.end(), ranks_before);
            std::vector<Candidate> got;
            ASSERT_FALSE(f.search(query, 10, got));
            ASSERT_EQ(got.size(), 10u);
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].id, all[i].id) << "metric " << m << " scales 2^" << row_exp << ", 2^" << query_exp;
            }
        }
    }
}

TEST_P(ScreenedScan, RowsTooLongForCodesAreComputedInFull) {
    const std::size_t dim = max_code_dim + 1, n = 8;
    std::mt19937_64 rng(43);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<V> data(n, V(dim));
    for (auto& v : data)
        for (auto& x : v) x = normal(rng);
    V query(dim);
    for (auto& x : query) x = normal(rng);
    for (int m = 0; m < 3; ++m) {
        Flat f(static_cast<std::uint32_t>(dim), kinds[m], GetParam());
        HNSWParams p;
        p.dim = static_cast<std::uint32_t>(dim);
        p.layers = 1;  // every node linked to every other, every search sees all
        p.metric = kinds[m];
        p.isa = GetParam();
        HNSW graph(p);
        Rng levels(1);
        for (const V& v : data) {
            f.insert(v);
            ASSERT_FALSE(graph.insert(v, nullptr, levels));
        }
        std::vector<Candidate> all;
        for (std::uint32_t i = 0; i < n; ++i) all.push_back({functions[m](query, data[i]), i});
        std::stable_sort(all.begin(), all.end(), ranks_before);
        for (std::uint32_t k : {1u, 3u}) {
            std::vector<Candidate> flat_got, graph_got;
            ASSERT_FALSE(f.search(query, k, flat_got));
            ASSERT_FALSE(graph.search(query, k, nullptr, graph_got));
            for (const auto* got : {&flat_got, &graph_got}) {
                ASSERT_EQ(got->size(), k);
                for (std::size_t i = 0; i < k; ++i) {
                    EXPECT_EQ((*got)[i].id, all[i].id) << "metric " << m << " k " << k << " position " << i;
                    EXPECT_EQ((*got)[i].distance, all[i].distance) << "metric " << m << " k " << k;
                }
            }
        }
    }
}

// The blocks' RunBounds follow their rows through a compaction, the
// appends after it, a restore and an append undone. The first blocks' rows
// are removed, so near rows move into blocks that held far rows (screened
// once the threshold is finite), whose bounds would exclude them; far rows
// appended and truncated (from inside a block) leave their blocks to the
// near rows appended next.
TEST(ScreenedScanRuns, FollowCompactionAppendsAndRestore) {
    std::mt19937_64 rng(43);
    std::normal_distribution<double> normal(0.0, 1.0);
    constexpr std::size_t dim = 24, n = 160, gone = 48, more = 48;
    V rows(n * dim);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool far = i / dim >= 64 && i / dim < 112;
        rows[i] = normal(rng) * (far ? 1000.0 : 1.0);
    }
    std::vector<std::uint32_t> removed(gone);
    for (std::uint32_t i = 0; i < gone; ++i) removed[i] = i;
    for (MetricKind kind : kinds) {
        Flat f(dim, kind), plain(dim, kind), restored(dim, kind), cut(dim, kind);
        cut.append_rows(rows.data() + gone * dim, n - gone);
        cut.append_rows(rows.data() + 64 * dim, 48);
        cut.truncate(n - gone - 8);
        cut.append_rows(rows.data() + (n - 8) * dim, 8);
        cut.append_rows(rows.data() + (n - more) * dim, more);
        f.append_rows(rows.data(), n);
        f.remove(removed);
        f.compact();
        f.append_rows(rows.data() + (n - more) * dim, more);
        plain.append_rows(rows.data() + gone * dim, n - gone);
        plain.append_rows(rows.data() + (n - more) * dim, more);
        ASSERT_TRUE(restored.restore(f.size(), f.parts(), f.row_store().block(), false));
        for (std::size_t i = n - more; i < n; i += 5) {
            const Vec q(rows.data() + i * dim, dim);
            std::vector<Candidate> want, got, back, after_cut;
            ASSERT_FALSE(plain.search(q, 5, want));
            ASSERT_FALSE(f.search(q, 5, got));
            ASSERT_FALSE(restored.search(q, 5, back));
            ASSERT_FALSE(cut.search(q, 5, after_cut));
            for (const auto* found : {&got, &back, &after_cut}) {
                ASSERT_EQ(found->size(), want.size());
                for (std::size_t j = 0; j < want.size(); ++j) {
                    EXPECT_EQ((*found)[j].id, want[j].id) << "metric " << static_cast<int>(kind) << " row " << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, ScreenedScan, ::testing::ValuesIn(supported_isas().begin(), supported_isas().end()),
                         isa_label);

}  // namespace
