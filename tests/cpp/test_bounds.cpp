// The bounds that let scans and walks skip work must never skip a row that
// belongs in the result: rows one ulp inside each bound, adversarial
// near-degenerate triangles, and random configurations.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "each_table.h"
#include "flat/flat_index.h"
#include "hnsw/graph.h"
#include "hnsw/link_code.h"
#include "metrics/kernels.h"
#include "square_sums.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;

std::vector<std::uint32_t> ids(const std::vector<Candidate>& found) {
    std::vector<std::uint32_t> out;
    for (const Candidate& c : found) out.push_back(c.id);
    return out;
}

// Square sums for the kept rows, and the one just below the abandoning
// bound of their distance: a row there ends below the worst kept distance.
struct NearTie {
    V kept, inside, at_bound;
    double worst;
};

NearTie near_tie(std::size_t dim, double sum) {
    NearTie t;
    t.kept = *with_square_sum(sum, dim);
    t.worst = std::sqrt(sum);
    const double bound = abandoning_bound(t.worst);
    const auto inside = with_square_sum(std::nextafter(bound, 0.0), dim);
    const auto at = with_square_sum(bound, dim);
    EXPECT_TRUE(inside && at) << "no rows found for the bound of " << sum;
    t.inside = inside.value_or(V(dim, 0.0));
    t.at_bound = at.value_or(V(dim, 0.0));
    EXPECT_LT(std::sqrt(square_sum(t.inside)), t.worst);
    EXPECT_GE(std::sqrt(square_sum(t.at_bound)), t.worst);
    return t;
}

// The abandoning bound of d is the least square sum whose square root
// reaches d. Squares that round down to a subnormal need raising, since
// there sqrt(d * d) falls below d.
TEST(AbandoningBound, IsTheLeastSquareSumReachingTheDistance) {
    const double inf = std::numeric_limits<double>::infinity();
    V distances = {0.0, 1.0, 0.7, 3.0, 1e-150, 1e-160, 3e-162, 1e-200, 5e-324, 1e150, 1e154, 1e200, inf};
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> exponent(-170.0, -150.0);
    for (int i = 0; i < 2000; ++i) distances.push_back(std::pow(10.0, exponent(gen)));
    int raised = 0;
    for (const double d : distances) {
        const double t = abandoning_bound(d);
        EXPECT_GE(std::sqrt(t), d) << d;
        if (t > 0.0) {
            EXPECT_LT(std::sqrt(std::nextafter(t, 0.0)), d) << d;
        }
        raised += t > d * d;
    }
    EXPECT_GT(raised, 0);  // the subnormal squares were raised
    EXPECT_TRUE(std::isnan(abandoning_bound(std::nan(""))));
}

// The kept rows' square sum, on each table.
class BoundSums : public ::testing::TestWithParam<std::tuple<double, Isa>> {
  protected:
    static double sum() { return std::get<0>(GetParam()); }
    static Isa isa() { return std::get<1>(GetParam()); }
};

// A sum as a test name: "0p7", "1em30".
std::string sum_name(double sum) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", sum);
    std::string out;
    for (const char* ch = text; *ch; ++ch) {
        if (*ch == '.') out += 'p';
        else if (*ch == '-') out += 'm';
        else if (*ch != '+') out += *ch;
    }
    return out;
}

// Blocks 0-3 start together; block 0 sets the worst kept distance, and block
// 4, started after it, holds rows one ulp inside the abandoning bound, which
// must replace all of block 0. Block 5 sits on the bound and must not.
TEST_P(BoundSums, FlatKeepsRowsJustInsideTheAbandoningBound) {
    const std::size_t dim = 20;  // a look at the bound after 16 elements
    const NearTie t = near_tie(dim, sum());
    Flat f(dim, MetricKind::Euclidean, isa());
    for (int i = 0; i < 8; ++i) f.insert(t.kept);
    V far(dim, 0.0);
    far[0] = 1e3 * t.worst;
    for (int i = 0; i < 24; ++i) f.insert(far);
    for (int i = 0; i < 8; ++i) f.insert(t.inside);
    for (int i = 0; i < 8; ++i) f.insert(t.at_bound);
    std::vector<Candidate> out;
    ASSERT_FALSE(f.search(V(dim, 0.0), 8, out));
    EXPECT_EQ(ids(out), (std::vector<std::uint32_t>{32, 33, 34, 35, 36, 37, 38, 39}));
}

// The same rows among many others, searched as a short list (the rows are
// computed one batch at a time, the bound taken after each): the second
// batch's rows one ulp inside the bound must replace the first's kept rows.
TEST_P(BoundSums, ScatteredRowsJustInsideTheAbandoningBoundAreKept) {
    const std::size_t dim = 20;
    const NearTie t = near_tie(dim, sum());
    Flat f(dim, MetricKind::Euclidean, isa());
    V far(dim, 0.0);
    far[0] = 1e3 * t.worst;
    for (int i = 0; i < 8; ++i) f.insert(t.kept);
    for (std::size_t i = 8; i < slots * lanes; ++i) f.insert(far);
    for (int i = 0; i < 8; ++i) f.insert(t.inside);
    for (int i = 0; i < 8; ++i) f.insert(t.at_bound);
    std::vector<std::uint32_t> listed;
    for (std::uint32_t i = 0; i < f.size(); ++i) listed.push_back(i);
    for (int i = 0; i < 400; ++i) f.insert(far);
    std::vector<std::uint64_t> words;
    const RowSet set = f.listed_rows(listed, words);
    ASSERT_TRUE(set.list);
    std::vector<Candidate> out;
    f.search(V(dim, 0.0), 8, set, out);
    EXPECT_EQ(ids(out), (std::vector<std::uint32_t>{32, 33, 34, 35, 36, 37, 38, 39}));
}

// The graph's walk: node 0 far away names every other node in insertion
// order; nodes 1-8 fill W, then come more far nodes than one batch of
// distances holds, so that W is full when the rest are computed (a walk
// abandons sums only then); of those, the 8 nodes one ulp inside the bound
// of W's last entry must all enter, the 8 on it must not.
TEST_P(BoundSums, GraphWalkKeepsNodesJustInsideTheAbandoningBound) {
    const std::size_t dim = 20;
    const std::uint32_t fars = 2 * slots * lanes;  // a batch computes at most this many
    const NearTie t = near_tie(dim, sum());
    HNSWParams p;
    p.dim = dim;
    p.layers = 1;
    p.ef_construction = 200;  // every node links to every other
    p.ef_search = 8;
    p.isa = isa();
    HNSW index(p);
    Rng rng(1);
    V far(dim, 0.0);
    far[0] = 1e3 * t.worst;
    ASSERT_FALSE(index.insert(far, nullptr, rng));
    for (int i = 0; i < 8; ++i) ASSERT_FALSE(index.insert(t.kept, nullptr, rng));
    for (std::uint32_t i = 0; i < fars; ++i) ASSERT_FALSE(index.insert(far, nullptr, rng));
    for (const V* v : {&t.inside, &t.at_bound}) {
        for (int i = 0; i < 8; ++i) ASSERT_FALSE(index.insert(*v, nullptr, rng));
    }
    const std::uint32_t inside = 9 + fars, nodes = inside + 16;
    const auto list = index.neighbours(0);
    ASSERT_EQ(list.size(), nodes - 1);
    for (std::uint32_t i = 0; i + 1 < nodes; ++i) ASSERT_EQ(list[i], i + 1);
    std::vector<Candidate> w;
    ASSERT_FALSE(index.knn(0, V(dim, 0.0), 8, 0, nullptr, w));
    // The nodes inside are all equally near: in W, the later of equals goes
    // in front of the last of them.
    auto got = ids(w);
    std::sort(got.begin(), got.end());
    std::vector<std::uint32_t> want;
    for (std::uint32_t i = 0; i < 8; ++i) want.push_back(inside + i);
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Sums, BoundSums,
                         on_each_table(std::vector<double>{1.0, 2.0, 3.0, 0.7, 12345.678, 1e-30, 1e30}),
                         case_on_table_name<double>(sum_name));

// Codes bracket the length they were made from.
TEST(LinkCode, BracketsItsLength) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> exponent(-12.0, 12.0);
    for (int i = 0; i < 20000; ++i) {
        const double scale = std::exp2(exponent(rng)), length = std::exp2(exponent(rng));
        const std::uint8_t code = link_code(scale, length);
        const Bracket b = code_bracket(scale, code);
        ASSERT_LE(b.lo, length);
        ASSERT_LT(length, b.hi);
    }
    EXPECT_EQ(link_code(0.0, 1.0), unknown_code);
    EXPECT_EQ(link_code(1.0, std::numeric_limits<double>::infinity()), unknown_code);
    EXPECT_EQ(link_code(1.0, std::numeric_limits<double>::quiet_NaN()), unknown_code);
    EXPECT_EQ(link_code(1.0, 0.0), 0);
    EXPECT_FALSE(skip_codes(1.0, 1.0, std::numeric_limits<double>::quiet_NaN(), 4).skips(200));
    EXPECT_FALSE(skip_codes(1.0, std::numeric_limits<double>::infinity(), 1.0, 4).skips(0));
    EXPECT_FALSE(skip_codes(1.0, 10.0, 1.0, 4).skips(unknown_code));
}

// A scale at which `length` is exactly the lower end of some code's
// bracket, or (`upper`) one ulp below its upper end, or 0 when none is
// found near: the far or the near bound is then as tight as codes allow,
// and only the margin protects it.
double scale_with_boundary_at(double length, std::mt19937_64& rng, bool upper) {
    for (int attempt = 0; attempt < 64; ++attempt) {
        double scale = length * std::exp2(-static_cast<double>(rng() % 200) / 32.0 + 2.0);
        for (int step = 0; step < 64; ++step, scale = std::nextafter(scale, 0.0)) {
            const std::uint8_t code = link_code(scale, length);
            if (code == 0 || code == unknown_code) continue;
            const Bracket b = code_bracket(scale, code);
            if (upper ? b.hi == std::nextafter(length, 1e300) : b.lo == length) return scale;
        }
    }
    return 0.0;
}

// Points on a line with rounding noise: the triangle inequality is tight,
// and computed distances violate it by a few ulps either way. A code may
// be skipped only if the neighbour's computed distance reaches f.
TEST(LinkCode, SkipsOnlyWhatCannotQualify) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int tight = 0, skipped = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t dim = 1 + rng() % 200;
        V a(dim), dir(dim);
        for (std::size_t i = 0; i < dim; ++i) {
            a[i] = normal(rng) * 10.0;
            dir[i] = normal(rng);
        }
        // Three points along a + t * dir, in a random order on the line.
        const double t[3] = {unit(rng) * 4 - 2, unit(rng) * 4 - 2, unit(rng) * 4 - 2};
        V q(dim), c(dim), e(dim);
        for (std::size_t i = 0; i < dim; ++i) {
            q[i] = a[i] + t[0] * dir[i];
            c[i] = a[i] + t[1] * dir[i];
            e[i] = a[i] + t[2] * dir[i];
        }
        const double dqc = euclidean_distance(q, c), dce = euclidean_distance(e, c), dqe = euclidean_distance(q, e);
        ASSERT_EQ(dce, euclidean_distance(c, e));  // one length serves both directions
        const double scale = round % 3 ? scale_with_boundary_at(dce, rng, round % 3 == 2) : dce * (0.5 + unit(rng));
        if (scale == 0.0) continue;
        const std::uint8_t code = link_code(scale, dce);
        tight += code_bracket(scale, code).lo == dce || code_bracket(scale, code).hi == std::nextafter(dce, 1e300);
        // The smallest f that the neighbour still beats, and values around it.
        for (double f : {std::nextafter(dqe, 1e300), dqe, dqe * (1 + 1e-12), dqe * (1 - 1e-12)}) {
            if (skip_codes(scale, dqc, f, static_cast<std::uint32_t>(dim)).skips(code)) {
                ++skipped;
                ASSERT_GE(dqe, f) << "round " << round << " dim " << dim;
            }
        }
    }
    EXPECT_GT(tight, 2000);
    EXPECT_GT(skipped, 100);  // the test has teeth only if skips happen
}

// The margin is m = (n + 16) * 2^-52, no more and no less: with f set to a
// code's bound computed here by that formula, from the bracket end the code
// stands for, the code is skipped; with f one ulp above, it is not. A
// smaller margin would skip it there too, a larger one not even at f.
TEST(LinkCode, SkipMarginIsItsFormulaAtTheEdge) {
    std::mt19937_64 rng(41);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    int far = 0, near = 0;
    for (int round = 0; round < 4000; ++round) {
        const auto dim = static_cast<std::uint32_t>(1 + rng() % 1000);
        const double m = (static_cast<double>(dim) + 16.0) * 0x1p-52, down = 1.0 - m, up = 1.0 + m;
        const double scale = std::exp2(unit(rng) * 40.0 - 20.0);
        // Beyond the query, codes from `code` on lie at least its lower
        // end from c; inside it, codes up to `code` lie within its upper end.
        for (const bool beyond : {true, false}) {
            const int code = static_cast<int>(rng() % 254) + (beyond ? 1 : 0);
            const Bracket b = code_bracket(scale, static_cast<std::uint8_t>(code));
            const double dqc = beyond ? b.lo * (0.02 + 0.96 * unit(rng)) : b.hi * (1.05 + 20.0 * unit(rng));
            const double f = beyond ? (b.lo * down - dqc * up) * down : (dqc * down - b.hi * up) * down;
            if (!(f >= 0x1p-400)) continue;  // no skips below that
            ++(beyond ? far : near);
            auto edge = [&](double at) {
                const SkipCodes skip = skip_codes(scale, dqc, at, dim);
                return beyond ? skip.far : skip.near;
            };
            ASSERT_EQ(edge(f), code) << "round " << round;
            ASSERT_EQ(edge(std::nextafter(f, inf)), beyond ? code + 1 : code - 1) << "round " << round;
        }
    }
    EXPECT_GT(far, 3000);
    EXPECT_GT(near, 3000);
}

}  // namespace
