// The three metrics against their sequential definitions, and the candidate
// order both indexes rank by.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/candidate.h"
#include "metrics/metric.h"
#include "metrics/metrics.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_value(double a, double b) { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); }

// The definitions, one element at a time from +0.0.
double seq_euclidean(const V& a, const V& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        const double d = a[i] - b[i];
        const double sq = d * d;
        sum = sum + sq;
    }
    return std::sqrt(sum);
}

double seq_sum(const V& a, const V& b, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double p = a[i] * b[i];
        sum = sum + p;
    }
    return sum;
}

double seq_dot(const V& a, const V& b) { return seq_sum(a, b, std::min(a.size(), b.size())); }

double seq_cosine(const V& a, const V& b) {
    const double dot = seq_dot(a, b);
    const double na = seq_sum(a, a, a.size());
    const double nb = seq_sum(b, b, b.size());
    return dot / (std::sqrt(na) * std::sqrt(nb));
}

TEST(Metrics, EuclideanTakesTheSquareRootOverTheCommonPrefix) {
    EXPECT_EQ(euclidean_distance(V{0, 0}, V{3, 4}), 5.0);
    EXPECT_EQ(euclidean_distance(V{1, 2, 3}, V{1, 2}), 0.0);
    EXPECT_EQ(euclidean_distance(V{1, 2}, V{1, 2, 3}), 0.0);
}

TEST(Metrics, DotProductOverTheCommonPrefix) {
    EXPECT_EQ(dot_product(V{1, 2, 3}, V{4, 5}), 14.0);
    EXPECT_EQ(dot_product(V{4, 5}, V{1, 2, 3}), 14.0);
}

TEST(Metrics, CosineNormsCoverWholeVectors) {
    // The 5 enlarges |a| although it has no partner in b.
    EXPECT_EQ(cosine_similarity(V{1, 0, 5}, V{1, 0}), 1.0 / (std::sqrt(26.0) * std::sqrt(1.0)));
    EXPECT_EQ(cosine_similarity(V{1, 0}, V{1, 0, 5}), 1.0 / (std::sqrt(1.0) * std::sqrt(26.0)));
    // sqrt(2) * sqrt(2) rounds above 2, so the exact quotient is just below 1.
    EXPECT_EQ(cosine_similarity(V{1, 1}, V{1, 1}), 2.0 / (std::sqrt(2.0) * std::sqrt(2.0)));
    EXPECT_TRUE(std::isnan(cosine_similarity(V{0, 0}, V{1, 1})));
    EXPECT_TRUE(std::isnan(cosine_similarity(V{1, 1}, V{0, 0})));
}

TEST(Metrics, EmptyInputs) {
    for (const auto& [a, b] : {std::pair{V{}, V{}}, std::pair{V{}, V{1, 2}}, std::pair{V{3}, V{}}}) {
        EXPECT_TRUE(same_bits(euclidean_distance(a, b), 0.0));
        EXPECT_TRUE(same_bits(dot_product(a, b), 0.0));
        EXPECT_TRUE(std::isnan(cosine_similarity(a, b)));
    }
}

TEST(Metrics, SumsStartFromPositiveZero) {
    // -0.0 products added to +0.0 give +0.0; starting from the first product
    // would give -0.0.
    EXPECT_TRUE(same_bits(dot_product(V{-0.0}, V{1.0}), 0.0));
    EXPECT_TRUE(same_bits(dot_product(V{-1.0, -0.0}, V{0.0, 5.0}), 0.0));
    EXPECT_TRUE(same_bits(cosine_similarity(V{-1.0, 0.0}, V{0.0, 1.0}), 0.0));
}

TEST(Metrics, NonFiniteInputsPropagate) {
    EXPECT_EQ(euclidean_distance(V{inf}, V{0}), inf);
    EXPECT_TRUE(std::isnan(euclidean_distance(V{inf}, V{inf})));
    EXPECT_TRUE(std::isnan(euclidean_distance(V{1, nan}, V{1, 2})));
    EXPECT_TRUE(std::isnan(dot_product(V{inf}, V{0})));
    EXPECT_EQ(dot_product(V{inf, 1}, V{-1, 1}), -inf);
    // Overflow in the sum of squares is not rescued.
    EXPECT_EQ(euclidean_distance(V{1e200}, V{-1e200}), inf);
    EXPECT_TRUE(std::isnan(cosine_similarity(V{1e200}, V{1e200})));
}

// Random values spread over many magnitudes, so that any reordering or
// fused multiply-add of the sums shows in the last bits.
V random_vector(std::size_t n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    V v(n);
    for (auto& x : v) x = std::ldexp(normal(rng), exponent(rng));
    return v;
}

class MetricsBitExact : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MetricsBitExact, MatchSequentialLoops) {
    const std::size_t dim = GetParam();
    std::mt19937_64 rng(1000 + dim);
    for (int round = 0; round < 200; ++round) {
        const V a = random_vector(dim, rng);
        // Equal lengths mostly, sometimes one longer or shorter.
        const std::size_t lb = round % 4 == 0 ? dim + 2 : (round % 4 == 1 && dim > 0 ? dim - 1 : dim);
        const V b = random_vector(lb, rng);
        for (const auto& [x, y] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
            EXPECT_TRUE(same_value(euclidean_distance(*x, *y), seq_euclidean(*x, *y))) << "dim " << dim;
            EXPECT_TRUE(same_value(dot_product(*x, *y), seq_dot(*x, *y))) << "dim " << dim;
            EXPECT_TRUE(same_value(cosine_similarity(*x, *y), seq_cosine(*x, *y))) << "dim " << dim;
        }
    }
}

// The pieces indexes put distances together from: each equals the plain
// definition bit for bit, and so does the metric's own distance.
TEST_P(MetricsBitExact, SharedPiecesMatchTheDefinitions) {
    const std::size_t dim = GetParam();
    std::mt19937_64 rng(2000 + dim);
    for (int round = 0; round < 200; ++round) {
        V a = random_vector(dim, rng);
        const std::size_t lb = round % 4 == 0 ? dim + 2 : (round % 4 == 1 && dim > 0 ? dim - 1 : dim);
        V b = random_vector(lb, rng);
        if (round % 10 == 0 && dim > 0) a[0] = round % 20 ? nan : inf;
        if (round % 15 == 0) std::fill(b.begin(), b.end(), 0.0);
        const double na = std::sqrt(seq_sum(a, a, a.size())), nb = std::sqrt(seq_sum(b, b, b.size()));
        EXPECT_TRUE(same_value(norm(a), na));
        EXPECT_TRUE(same_value(cosine_of(seq_dot(a, b), na, nb), seq_cosine(a, b)));
        double squares = 0.0;
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) squares += (a[i] - b[i]) * (a[i] - b[i]);
        EXPECT_TRUE(same_value(Metric::from_squares(squares), seq_euclidean(a, b)));
        const std::pair<MetricKind, double> kinds[] = {{MetricKind::Euclidean, seq_euclidean(a, b)},
                                                       {MetricKind::Dot, seq_dot(a, b)},
                                                       {MetricKind::Cosine, seq_cosine(a, b)}};
        for (const auto& [kind, want] : kinds) {
            const Metric m(kind, Isa::Scalar);
            EXPECT_TRUE(same_value(m.distance(a, b), want)) << static_cast<int>(kind);
            if (kind != MetricKind::Euclidean) {
                const double row_norm = m.keeps_norms() ? norm(b) : 0.0;
                EXPECT_TRUE(same_value(m.from_dot(seq_dot(a, b), m.query_norm(a), row_norm), want));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, MetricsBitExact, ::testing::Values(0, 1, 3, 7, 8, 9, 15, 16, 17, 100));

TEST(CandidateOrder, DistanceOrder) {
    EXPECT_TRUE(distance_equal(-0.0, 0.0));
    EXPECT_FALSE(distance_less(-0.0, 0.0));
    EXPECT_FALSE(distance_less(0.0, -0.0));
    EXPECT_TRUE(distance_less(inf, nan));
    EXPECT_FALSE(distance_less(nan, inf));
    EXPECT_FALSE(distance_less(nan, nan));
    EXPECT_TRUE(distance_equal(nan, -nan));
    EXPECT_FALSE(distance_equal(nan, inf));
    EXPECT_TRUE(distance_less(-inf, -1.0));
}

TEST(CandidateOrder, RanksByDistanceThenId) {
    struct Pair {
        Candidate a, b;
        bool a_first;
    };
    const Pair table[] = {
        {{1.0, 9}, {2.0, 0}, true},     {{2.0, 0}, {1.0, 9}, false},  {{-0.0, 2}, {0.0, 1}, false},
        {{0.0, 1}, {-0.0, 2}, true},    {{inf, 7}, {nan, 0}, true},   {{nan, 0}, {inf, 7}, false},
        {{nan, 3}, {-nan, 4}, true},    {{-nan, 4}, {nan, 3}, false}, {{5.0, 3}, {5.0, 3}, false},
        {{-inf, 8}, {-1e308, 1}, true},
    };
    for (const Pair& p : table) {
        EXPECT_EQ(ranks_before(p.a, p.b), p.a_first)
            << p.a.distance << "/" << p.a.id << " vs " << p.b.distance << "/" << p.b.id;
    }
}

TEST(CandidateOrder, SortsIntoOneSequence) {
    std::vector<Candidate> c{{nan, 1}, {2.0, 5}, {-0.0, 4}, {inf, 2}, {0.0, 3}, {nan, 0}, {2.0, 1}, {-1.0, 9}};
    std::sort(c.begin(), c.end(), ranks_before);
    const std::uint32_t ids[] = {9, 3, 4, 1, 5, 2, 0, 1};
    for (std::size_t i = 0; i < c.size(); ++i) EXPECT_EQ(c[i].id, ids[i]) << "position " << i;
}

}  // namespace
