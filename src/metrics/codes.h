#pragma once
// Screening codes: one byte per element of every stored vector, and bounds
// that they prove on the distance the metric would compute.
//
// A vector x of n elements is coded on its own scale s >= max|x_i| / 127 (a
// float) as c_i = round(x_i / s), -127 <= c_i <= 127, stored as the byte
// c_i + 128; the residual x - s*c has a length r proven at most s * rho, and
// rho is kept (a float rounded up) beside s and an extent: s^2 C for the
// Euclidean metric, an upper bound on s sqrt(C) for the others (C = sum
// c_i^2). A query is coded the same way once per search (a, s_q, r_q,
// A = sum a_i^2), within the kernel table's limit (127, or 63 where the
// table adds pairs of products in 16 bits): nothing below depends on it. The kernels
// give P = sum a_i * c_i exactly (integers; |P| <= 16129 n < 2^31 for
// n <= max_code_dim, so every integer here is exact in a double). From them
// the bounds below bracket the value the metric computes for the pair: the
// rounded float64 value, not the real one. A bound only ever decides that a
// candidate cannot qualify; whatever may qualify is computed exactly.
//
// Why the bounds hold. Write u = 2^-53, q = s_q a + e_q, x = s_x c + e_x,
// |e_q| <= r_q, |e_x| <= r_x, and y = s_q a - s_x c.
//  Euclidean. The true distance D = |q - x| lies in |y| +- (r_q + r_x) (the
//   triangle inequality). |y|^2 = s_q^2 A + s_x^2 C - 2 s_q s_x P; computing
//   it from the three products errs by at most 6u times the sum of their
//   magnitudes (E below), so |y| lies in sqrt(Y' -+ E), Y' the computed
//   value. The metric's own sum of n squares errs by at most (n + 2)u
//   relative, its square root adds u, and terms that underflow change the
//   distance by under 2^-500.
//  Dot product. q.x = s_q s_x P + q'.e_x + e_q.x' + e_q.e_x with q' = s_q a,
//   x' = s_x c, so it lies within |q'| r_x + r_q |x'| + r_q r_x of
//   s_q s_x P; the metric's sum of n products errs by at most
//   (n + 1)u sum |q_i x_i| <= (n + 1)u (|q'| + r_q)(|x'| + r_x), and
//   underflow by under 2^-1000.
//  Cosine. The metric divides the computed dot product by the product of
//   the two norms the index computes anyway; rounded division and
//   multiplication are monotone, so dividing the dot product's bounds the
//   same way bounds the cosine.
// Every relative error above, and the few roundings of evaluating the bounds
// themselves, stay far below margin = 2^-30 for n <= 65536 ((n + 30)u <
// 2^-36); each bound widens by that margin and by an absolute 2^-500, which
// also covers underflow. The conditions: the query has length n and is
// finite, every scale lies in [2^-100, 2^100] (so no product or square in
// the bounds or in the metric overflows or loses its relative precision to
// underflow, and every stored element is finite), and n <= max_code_dim.
// Vectors outside them have no code (scale 0) and are always computed.

#include <immintrin.h>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "common/vec.h"
#include "metrics/metric_kind.h"

namespace orbisk {

/// Largest dimension codes are made for: sum (c_i + 128) * a_i, which the
/// kernels accumulate, stays below 2^31 up to 66,311 elements.
inline constexpr std::size_t max_code_dim = 65536;

/// Code bytes of one vector: the dimension padded to whole groups of four,
/// the pad bytes coding 0.
inline std::size_t code_bytes(std::size_t dim) { return (dim + 3) / 4 * 4; }

/// Rows of a block of codes, whose element groups of four bytes are
/// interleaved: bytes 4g..4g+3 of row r at block[(g * code_lanes + r) * 4].
inline constexpr std::size_t code_lanes = 16;

/// The codes of code_lanes rows (`bytes` each, one after another) as one
/// block.
inline void interleave_codes(const std::uint8_t* rows, std::size_t bytes, std::uint8_t* block) {
    for (std::size_t r = 0; r < code_lanes; ++r) {
        for (std::size_t g = 0; g < bytes / 4; ++g) {
            std::memcpy(block + (g * code_lanes + r) * 4, rows + r * bytes + 4 * g, 4);
        }
    }
}

/// The code of row `r` of a block (`bytes` of it) into `out`.
inline void lane_code(const std::uint8_t* block, std::size_t r, std::size_t bytes, std::uint8_t* out) {
    for (std::size_t g = 0; g < bytes / 4; ++g) std::memcpy(out + 4 * g, block + (g * code_lanes + r) * 4, 4);
}

/// What a stored vector's code needs beside its bytes: 16 bytes. A vector
/// without a code has scale 0 and rho infinite, which no screen excludes.
struct CodeInfo {
    float scale = 0.0f;
    float rho = std::numeric_limits<float>::infinity();
    double extent = 0.0;
    bool coded() const { return scale != 0.0f; }
};

/// Codes `v` into `out` (code_bytes(v.size()) bytes, pad included) for an
/// index ranking by `kind`. Longer than max_code_dim, `v` has no code and
/// `out` is not written (it may be empty). Floats are coded as their
/// widened values: the code of a float32 row is that of the same values
/// stored as float64.
CodeInfo encode(Vec v, MetricKind kind, std::uint8_t* out);
CodeInfo encode(std::span<const float> v, MetricKind kind, std::uint8_t* out);

/// Codes code_lanes rows of `dim` (1..max_code_dim) values, one after
/// another, straight into one block (interleaved as interleave_codes lays
/// it out), their CodeInfo into info[0..code_lanes) and, when `norms` is
/// not null, their norms (norm()) into norms[0..code_lanes): what encode
/// and norm give each row, bit for bit. The portable reference of the
/// kernel tables' encoders (kernels.h).
template <class T>
void encode_block(const T* rows, std::size_t dim, MetricKind kind, std::uint8_t* block, CodeInfo* info, double* norms);

// The steps of coding a stored vector that every encoder shares, in order:
//  1. top = max |x_i| (infinite when a value is not finite), and its scale
//     code_scale(top) (0: the vector has no code, every byte 0);
//  2. for each i in order: k_i = clamp(nearbyint(x_i / s), -127, 127), its
//     byte k_i + 128, C += k_i^2, t_i = x_i - s * k_i, R += t_i * t_i
//     (from +0.0, in element order), the pad bytes 128;
//  3. code_info(kind, s, code_radius(R, top), C).

/// The scale a vector whose largest magnitude is `top` is coded on, its
/// codes within +-limit: a float at least top / limit, so that no
/// |x_i / s| rounds beyond it; 0 when the vector has no code.
double code_scale(double top, int limit = 127);
/// An upper bound on |x - s c| from R, the sum of the computed residuals'
/// squares in element order, and top.
double code_radius(double residual, double top);
/// What a stored vector keeps of its code (`squares` is C).
CodeInfo code_info(MetricKind kind, double scale, double radius, double squares);

/// A query coded for one search, with what every bound needs of it.
struct QueryCode {
    bool usable = false;             ///< false: no bound may be used
    std::vector<std::int8_t> codes;  ///< code_bytes(dim), the pad zero
    double scale = 0.0, radius = 0.0;
    double inverse = 0.0;            ///< 1 / s_q, rounded
    double squares = 0.0;            ///< A
    double offset = 0.0;             ///< 128 * sum a_i: what the stored bytes' +128 adds to P
    double length = 0.0;             ///< |q'| = s_q sqrt(A), rounded up
    double norm = 0.0;               ///< the metric's query norm
    double qq = 0.0;                 ///< s_q^2 A
};

/// Codes `query` for an index of dimension `dim`, each code within
/// +-`limit` (at most 127: the kernels' query_limit); usable only under the
/// conditions above.
void encode_query(Vec query, std::size_t dim, QueryCode& out, int limit = 127);

/// What the first test (below) knows of a run of rows, a block's: the
/// greatest s * rho and the least extent (Euclidean) or the greatest (the
/// others), each rounded outwards to a float; whether every row has a code
/// (a run holding one without has no first test); and whether every scale
/// lies where the single test may run. Flags are all ones or zero, and the
/// four fields fill 16 bytes, which the scan loads as one vector a run.
struct RunBounds {
    float r_hi = 0.0f, ext = 0.0f;
    std::int32_t all_coded = 0, narrow = 0;
    bool coded() const { return all_coded != 0; }
};

/// The RunBounds of n rows' CodeInfo fields.
RunBounds run_bounds(MetricKind kind, std::size_t n, const float* scales, const float* rhos, const double* extents);

inline constexpr double code_margin = 0x1p-30;
inline constexpr double code_slack = 0x1p-500;

/// Bounds on the computed distance of a query and a coded stored vector.
struct Bounds {
    double lo, hi;
};

/// The first test of one run of rows and one threshold (first_test below).
struct FirstTest {
    double slope, base;
};

/// The same constants in single precision, for the single test (below).
struct SingleTest {
    float slope, base;
};

/// Runs (blocks) the screen takes in one call.
inline constexpr std::size_t pass_runs = 16;

/// One screened search: the metric, the query and a threshold that rows
/// whose lower bound exceeds it need not be computed for.
struct Screen {
    MetricKind kind;
    const QueryCode* q;
    double threshold;
};

// The bounds, given raw = sum (c_i + 128) * a_i from the kernels. Internal
// linkage: each kernel file compiles its own copy for its instruction set,
// and every copy evaluates the same expressions, so all agree bit for bit.
namespace {

/// x where it is above zero, else zero (NaN too): std::fmax(x, 0.0) but
/// for the sign of a zero, which no bound below can see (a zero's square
/// root, scaled, less a positive term), and without a call into the library.
inline double positive_part(double x) { return x > 0.0 ? x : 0.0; }

struct Terms {  // the pieces every Euclidean bound shares
    double y2, e, r;
};

inline Terms euclidean_terms(const QueryCode& q, float scale, float rho, double extent, std::int32_t raw) {
    const double s = scale;
    const double p = static_cast<double>(raw) - q.offset;
    const double qx = 2.0 * q.scale * s * p;
    return {q.qq + extent - qx, 6.0 * 0x1p-53 * (q.qq + extent + std::fabs(qx)) * (1.0 + code_margin),
            (q.radius + s * static_cast<double>(rho)) * (1.0 + code_margin)};
}

inline Bounds euclidean_bounds(const QueryCode& q, float scale, float rho, double extent, std::int32_t raw) {
    const Terms t = euclidean_terms(q, scale, rho, extent, raw);
    const double y_lo = std::sqrt(positive_part(t.y2 - t.e)) * (1.0 - code_margin);
    const double y_hi = std::sqrt(t.y2 + t.e) * (1.0 + code_margin);
    return {(y_lo - t.r) * (1.0 - code_margin) - code_slack, (y_hi + t.r) * (1.0 + code_margin) + code_slack};
}

inline Bounds dot_bounds(const QueryCode& q, float scale, float rho, double extent, std::int32_t raw) {
    const double s = scale;
    const double g = q.scale * s * (static_cast<double>(raw) - q.offset);
    const double rx = s * static_cast<double>(rho) * (1.0 + code_margin);
    const double w = (q.length * rx + q.radius * extent + q.radius * rx +
                      code_margin * (q.length + q.radius) * (extent + rx) + std::fabs(g) * code_margin) *
                         (1.0 + code_margin) +
                     code_slack;
    return {g - w, g + w};
}

/// `row_norm` is the norm the index keeps: the metric divides by the
/// product of the two norms, as cosine_of does, monotone in the dot product.
inline Bounds cosine_bounds(const QueryCode& q, float scale, float rho, double extent, std::int32_t raw,
                            double row_norm) {
    const Bounds dot = dot_bounds(q, scale, rho, extent, raw);
    const double denominator = q.norm * row_norm;
    return {dot.lo / denominator, dot.hi / denominator};
}

inline Bounds bounds(MetricKind kind, const QueryCode& q, float scale, float rho, double extent, std::int32_t raw,
                     double row_norm) {
    switch (kind) {
        case MetricKind::Euclidean: return euclidean_bounds(q, scale, rho, extent, raw);
        case MetricKind::Dot: return dot_bounds(q, scale, rho, extent, raw);
        case MetricKind::Cosine: break;
    }
    return cosine_bounds(q, scale, rho, extent, raw, row_norm);
}

/// False only when the row's lower bound exceeds the threshold t (then the
/// row need not be computed); true for rows without a code. `widened` is
/// widened_threshold(t), made once per threshold. The Euclidean test avoids
/// the square root: when z = y2 - e exceeds
/// (t + 2 slack + r)^2 (1 + 16 margin), sqrt(z) exceeds t + 2 slack + r by
/// nearly 8 margins, which outweigh the roundings and the two (1 - margin)
/// factors of the lower bound, so the bound exceeds t. At t equal to the
/// bound the test never excludes: there sqrt(z) is about (t + r)(1 + 2
/// margin), short of the 8 margins.
template <MetricKind Kind>
inline bool may_pass(const QueryCode& q, double widened, double t, float scale, float rho, double extent,
                     std::int32_t raw, double row_norm) {
    if constexpr (Kind == MetricKind::Euclidean) {
        const Terms s = euclidean_terms(q, scale, rho, extent, raw);
        const double reach = widened + s.r;
        return !(s.y2 - s.e > reach * reach * (1.0 + 16.0 * code_margin));
    } else if constexpr (Kind == MetricKind::Dot) {
        return !(dot_bounds(q, scale, rho, extent, raw).lo > t);
    } else {
        return !(cosine_bounds(q, scale, rho, extent, raw, row_norm).lo > t);
    }
}

/// may_pass for the metric an index ranks by.
inline bool may_pass(MetricKind kind, const QueryCode& q, double widened, double t, float scale, float rho,
                     double extent, std::int32_t raw, double row_norm) {
    switch (kind) {
        case MetricKind::Euclidean:
            return may_pass<MetricKind::Euclidean>(q, widened, t, scale, rho, extent, raw, row_norm);
        case MetricKind::Dot: return may_pass<MetricKind::Dot>(q, widened, t, scale, rho, extent, raw, row_norm);
        case MetricKind::Cosine: break;
    }
    return may_pass<MetricKind::Cosine>(q, widened, t, scale, rho, extent, raw, row_norm);
}

/// The threshold t widened by twice the absolute slack: t + 2 slack, the
/// part of the Euclidean test's reach that does not depend on the row.
inline double widened_threshold(double t) { return t + 2.0 * code_slack; }

// The first test. For one run of rows and one threshold t, constants that
// decide most rows from their own scale, raw product and extent or norm by
// one comparison, eight rows side by side: a = s p against extent * slope +
// base (Euclidean: excluded when below), base (dot product) or norm * slope
// + base (cosine: excluded when above). A row it excludes fails may_pass, rounding
// included; whatever it leaves is bounded in full (and the bound may still
// exclude it). The constants come from the query, t and the run's RunBounds
// (kept beside the codes, rounded outwards), so they are derived once per
// run and threshold; the scan takes the blocks of a call as one run.
//
// Why it holds. Write u = 2^-53, m = code_margin, d = first_margin = 2^-16,
// p = raw - offset (exact), and a, slope, base, R the doubles the code
// computes; every other quantity is real unless said. The scale conditions
// (codes.h's head) keep every product away from overflow and underflow.
//  Euclidean. For t >= 0 and a coded run: R is may_pass's reach with the
//   run's greatest s rho (r_hi), so R >= the row's reach as may_pass
//   computes it (rounding is monotone); slope = k (1 - d) and base =
//   (qq (1 - d) - R^2 (1 + d)) k with k = 1 / (2 s_q), each within 5u of
//   the real expression. a < extent * slope + base then gives, multiplying
//   by 2 s_q, 2 s_q s p < (qq + ext)(1 - d) - R^2 (1 + d) + 12u (qq + ext +
//   R^2 + |2 s_q s p|); and |2 s_q s p| <= (qq + ext)(1 + 2u) (Cauchy-Schwarz
//   on the codes: |P| <= sqrt(A C), ext = s^2 C to 2u). So the real y2 =
//   qq + ext - 2 s_q s p exceeds (d - 40u)(qq + ext) + R^2 (1 + d - 12u).
//   may_pass's computed y2 lies within 5u (qq + ext) of the real one and its
//   e is at most 13u (qq + ext), so its y2 - e exceeds R^2 (1 + d/2), above
//   its reach^2 (1 + 16m) as computed (d/2 >> 16m + a few u): it excludes.
//   For t < 0 (a radius) or NaN, or a run with a row without a code, base
//   is -infinity: nothing is excluded; t infinite gives the same.
//  Dot product. may_pass computes g = s_q s p within 3u, w (its error
//   terms, |g| m among them) and excludes when g - w > t. As the run's W is
//   w without its |g| term at the run's greatest rx and extent, w <= (W + 2m
//   |g|)(1 + 8u), and the row is excluded when s_q s p (1 - 3m) > tau =
//   t + W (1 + m) + |t| m (computed, the m terms outweighing its roundings)
//   for p > 0, or s_q s p (1 + 3m) > tau for p < 0. base = tau / s_q (1 + d)
//   for tau >= 0, tau / s_q (1 - d) for tau < 0, within 4u (1 / s_q is
//   rounded once, kept with the query): a > base gives
//   s_q s p > tau (1 + d/2) or, for tau < 0, s_q s p > tau (1 - d/2), and
//   either exceeds tau by more than the 3m factors (for tau >= 0 only p > 0
//   can pass the test). NaN gives nothing excluded.
//  Cosine. may_pass divides the dot product's lower bound by b, the
//   computed product of the query's norm and the row's n: the row is
//   excluded when that bound exceeds T = t q.norm n (1 + 4m sgn t) + slack
//   (the slack keeps the quotient away from underflow), so when s_q s p
//   exceeds the dot product's tau for T: tau <= t q.norm n + 6m |t| q.norm
//   n + 2 slack + W (1 + m), and |tau| the same with |t|. The test is linear
//   in n: a > n * slope + base, slope = q.norm (t + 2d |t|) / s_q, base =
//   (W (1 + m) + 4 slack)(1 + 2d) / s_q. Their d terms exceed d |tau| / s_q
//   by more than the roundings of slope, base and n * slope + base, so
//   n * slope + base >= (tau + d |tau|) / s_q, and a > it gives s_q s p >
//   tau + (d - 2u)|tau|: above tau by more than the 3m factors, whatever
//   the signs (as for the dot product). t infinite or NaN, or a run with a
//   row without a code, excludes nothing.
//
// The single test. Where no value below can overflow or fall below the
// normal floats, the same test runs in single precision, sixteen rows side
// by side: p = raw - offset exactly in 32-bit integers, then, with f =
// 2^-24 and every rounding to nearest float, P = fl(p), a = fl(s P), and
// fl(fl(fl(c) fl(slope)) + fl(base)) against it (c the row's extent or
// norm). Each rounding errs by at most f relative, so a is s p within
// 2.1f |s p|, and the line of the constants is c slope + base within
// 4.1f (|c slope| + |base|). Carried through the arguments above:
//  Euclidean: they add at most 18f (qq + ext) + 9f R^2 to the shortfall,
//   against the d (qq + ext) and d R^2 / 2 the test has to spare;
//  dot product: at most 3.2f relative to s_q s p against tau, against d / 2;
//  cosine: at most 4.1f (|n slope| + |base|) + 2.1f |s p| in units of a,
//   against the d terms of slope and base, 2d (|t| q.norm n + W) / s_q.
// With d = 2^-16 = 256f every spare exceeds what the roundings take many
// times over, so the single test too excludes only rows may_pass excludes.
// Where it may run: every scale of the run within [2^-20, 2^20] (so a is 0
// or of magnitude within [2^-20, 2^51], an extent within [2^-26, 2^70], a
// norm within [2^-13, 2^35]), a slope of 0 or of magnitude within
// [2^-90, 2^40] and a base of 0, infinite or of magnitude within
// [2^-90, 2^100]: then no product or sum overflows or falls below the
// normal floats, and an infinite constant decides as the double one does.
// Elsewhere, and for NaN, the double test runs.
// Tests: Codes.FirstTestExcludesOnlyWhatMayPassExcludes (the first test and
// the single test at may_pass's own edge, on ladders of raw products, and
// within its margins of it, and a call's runs joined against each run's
// own), CodeTables.FirstTestKeepsARowAtItsEdge,
// ScreenedScan.FarScalesEqualThePlainDefinition.

inline constexpr double first_margin = 0x1p-16;

/// The first test of a run for threshold t (see above); one that excludes
/// no row when the run has a row without a code. The scan takes the runs of
/// a call as one (joined_runs, below).
template <MetricKind Kind>
inline FirstTest first_test(const QueryCode& q, double t, const RunBounds& run) {
    constexpr double m = code_margin, d = first_margin, inf = std::numeric_limits<double>::infinity();
    if constexpr (Kind == MetricKind::Euclidean) {
        // Distances are never negative: a negative threshold (a radius) is
        // left to the bounds, whose reach is then no longer monotone in r.
        if (!run.coded() || !(t >= 0.0)) return {0.0, -inf};
        const double reach = widened_threshold(t) + (q.radius + static_cast<double>(run.r_hi)) * (1.0 + m);
        const double k = 0.5 * q.inverse;  // 0.5 / s_q: halving is exact
        return {k * (1.0 - d), (q.qq * (1.0 - d) - reach * reach * (1.0 + d)) * k};
    } else {
        if (!run.coded()) return {0.0, inf};
        const double ext = run.ext, rx = static_cast<double>(run.r_hi) * (1.0 + m);
        const double w =
            (q.length * rx + q.radius * ext + q.radius * rx + m * (q.length + q.radius) * (ext + rx)) * (1.0 + m) +
            code_slack;
        if constexpr (Kind == MetricKind::Cosine) {
            // Linear in the row's norm (see above).
            return {q.norm * (t + std::fabs(t) * (2.0 * d)) * q.inverse,
                    (w * (1.0 + m) + 4.0 * code_slack) * (1.0 + 2.0 * d) * q.inverse};
        }
        const double tau = t + w * (1.0 + m) + std::fabs(t) * m;
        return {0.0, tau >= 0.0 ? tau * q.inverse * (1.0 + d) : tau * q.inverse * (1.0 - d)};
    }
}

/// The runs of a call taken as one run, their rows': the greatest s * rho
/// and extent over the coded runs. Non-negative floats order as their bits,
/// so one integer maximum a lane takes both. (The Euclidean RunBounds'
/// least extent comes out as a greatest, unread: the first test reads it
/// only for the others.) Its first test holds for every row of every coded
/// run, as a run's does for its rows, and excludes no more than theirs:
/// each constant moves only towards excluding less as the fields grow.
inline RunBounds joined_runs(const RunBounds* runs, std::size_t n) {
    using Quad = std::int32_t __attribute__((vector_size(16)));
    static_assert(sizeof(RunBounds) == sizeof(Quad));
    Quad most{};
    for (std::size_t i = 0; i < n; ++i) {  // an uncoded run is all zeros
        Quad v;
        std::memcpy(&v, runs + i, sizeof v);
        most = most > v ? most : v;
    }
    auto out = std::bit_cast<RunBounds>(most);
    out.all_coded = -1;
    out.narrow = 0;  // read per run
    return out;
}

/// Whether the single test may stand for the first test `f` (see above):
/// its constants in single precision neither overflow nor fall below the
/// normal range; NaN goes to the double test.
template <MetricKind Kind>
inline bool single_fits(const FirstTest& f) {
    const double a = std::fabs(f.slope), b = std::fabs(f.base), inf = std::numeric_limits<double>::infinity();
    const bool slope_fits = Kind == MetricKind::Dot || (a <= 0x1p40 && (a >= 0x1p-90 || a == 0.0));
    return slope_fits && (b <= 0x1p100 || b == inf) && (b >= 0x1p-90 || b == 0.0);
}

inline SingleTest single_of(const FirstTest& f) { return {static_cast<float>(f.slope), static_cast<float>(f.base)}; }

/// Whether the first test `f` excludes a row of its run; `column` is the
/// row's extent (Euclidean) or norm (cosine), unread for the dot product.
template <MetricKind Kind>
inline bool first_excludes(const FirstTest& f, const QueryCode& q, float scale, double column, std::int32_t raw) {
    const double a = static_cast<double>(scale) * (static_cast<double>(raw) - q.offset);
    if constexpr (Kind == MetricKind::Euclidean) {
        return a < column * f.slope + f.base;
    } else if constexpr (Kind == MetricKind::Cosine) {
        return a > column * f.slope + f.base;
    } else {
        return a > f.base;
    }
}

}  // namespace

}  // namespace orbisk

#if defined(__AVX512F__)
#include "metrics/first_test_avx512vnni.h"
#endif

namespace orbisk {

namespace {

// first_excludes for eight rows side by side: each lane evaluates the same
// expressions in the same order, so it gives first_excludes's answer bit for
// bit; vectors run across rows, never within one row's arithmetic.
/// Bit r set for each of the eight rows the first test leaves.
template <MetricKind Kind>
inline std::uint32_t first_leaves8(const FirstTest& f, const QueryCode& q, const float* scales, const double* column,
                                   const std::int32_t* raw) {
#if defined(__AVX512F__)
    return first_leaves8_avx512<Kind>(f, q, scales, column, raw);
#elif defined(__AVX2__)
    const __m256d offset = _mm256_set1_pd(q.offset);
    std::uint32_t excluded = 0;
    for (int h = 0; h < 2; ++h) {
        const __m256d a = _mm256_mul_pd(
            _mm256_cvtps_pd(_mm_loadu_ps(scales + 4 * h)),
            _mm256_sub_pd(_mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 4 * h))), offset));
        if constexpr (Kind == MetricKind::Dot) {
            excluded |=
                static_cast<std::uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_set1_pd(f.base), _CMP_GT_OQ)))
                << 4 * h;
        } else {
            const __m256d b = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(column + 4 * h), _mm256_set1_pd(f.slope)),
                                            _mm256_set1_pd(f.base));
            constexpr int below = _CMP_LT_OQ, above = _CMP_GT_OQ;
            excluded |= static_cast<std::uint32_t>(
                            _mm256_movemask_pd(_mm256_cmp_pd(a, b, Kind == MetricKind::Euclidean ? below : above)))
                        << 4 * h;
        }
    }
    return ~excluded & 0xFFu;
#else
    std::uint32_t left = 0;
    for (int r = 0; r < 8; ++r) {
        const double c = Kind == MetricKind::Dot ? 0.0 : column[r];
        left |= static_cast<std::uint32_t>(!first_excludes<Kind>(f, q, scales[r], c, raw[r])) << r;
    }
    return left;
#endif
}

/// Whether the single test `f` excludes a row of its run (`offset`: the
/// query's, as an integer). The subtraction wraps as the vector one does;
/// for the products of real codes it is exact (|p| <= 127 * 127 * n).
template <MetricKind Kind>
inline bool single_excludes(const SingleTest& f, std::int32_t offset, float scale, double column, std::int32_t raw) {
    const auto p = static_cast<std::int32_t>(static_cast<std::uint32_t>(raw) - static_cast<std::uint32_t>(offset));
    const float a = scale * static_cast<float>(p);
    if constexpr (Kind == MetricKind::Euclidean) {
        return a < static_cast<float>(column) * f.slope + f.base;
    } else if constexpr (Kind == MetricKind::Cosine) {
        return a > static_cast<float>(column) * f.slope + f.base;
    } else {
        return a > f.base;
    }
}

/// Bit r set for each of sixteen rows the single test leaves: lane for
/// lane single_excludes's expressions, as first_leaves8 is first_excludes's.
template <MetricKind Kind>
inline std::uint32_t single_leaves16(const SingleTest& f, std::int32_t offset, const float* scales,
                                     const double* column, const std::int32_t* raw) {
#if defined(__AVX512F__)
    return single_leaves16_avx512<Kind>(f, offset, scales, column, raw);
#elif defined(__AVX2__)
    std::uint32_t excluded = 0;
    for (int h = 0; h < 2; ++h) {
        const __m256i p = _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(raw + 8 * h)),
                                           _mm256_set1_epi32(offset));
        const __m256 a = _mm256_mul_ps(_mm256_loadu_ps(scales + 8 * h), _mm256_cvtepi32_ps(p));
        __m256 cmp;
        if constexpr (Kind == MetricKind::Dot) {
            cmp = _mm256_cmp_ps(a, _mm256_set1_ps(f.base), _CMP_GT_OQ);
        } else {
            const __m256 c = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(column + 8 * h + 4)),
                                             _mm256_cvtpd_ps(_mm256_loadu_pd(column + 8 * h)));
            const __m256 b = _mm256_add_ps(_mm256_mul_ps(c, _mm256_set1_ps(f.slope)), _mm256_set1_ps(f.base));
            constexpr int below = _CMP_LT_OQ, above = _CMP_GT_OQ;
            cmp = _mm256_cmp_ps(a, b, Kind == MetricKind::Euclidean ? below : above);
        }
        excluded |= static_cast<std::uint32_t>(_mm256_movemask_ps(cmp)) << 8 * h;
    }
    return ~excluded & 0xFFFFu;
#else
    std::uint32_t left = 0;
    for (int r = 0; r < 16; ++r) {
        const double c = Kind == MetricKind::Dot ? 0.0 : column[r];
        left |= static_cast<std::uint32_t>(!single_excludes<Kind>(f, offset, scales[r], c, raw[r])) << r;
    }
    return left;
#endif
}

inline std::uint32_t single_leaves16_of(MetricKind kind, const SingleTest& f, std::int32_t offset, const float* scales,
                                        const double* column, const std::int32_t* raw) {
    switch (kind) {
        case MetricKind::Euclidean: return single_leaves16<MetricKind::Euclidean>(f, offset, scales, column, raw);
        case MetricKind::Dot: return single_leaves16<MetricKind::Dot>(f, offset, scales, column, raw);
        case MetricKind::Cosine: break;
    }
    return single_leaves16<MetricKind::Cosine>(f, offset, scales, column, raw);
}

inline std::uint32_t first_leaves8_of(MetricKind kind, const FirstTest& f, const QueryCode& q, const float* scales,
                                      const double* column, const std::int32_t* raw) {
    switch (kind) {
        case MetricKind::Euclidean: return first_leaves8<MetricKind::Euclidean>(f, q, scales, column, raw);
        case MetricKind::Dot: return first_leaves8<MetricKind::Dot>(f, q, scales, column, raw);
        case MetricKind::Cosine: break;
    }
    return first_leaves8<MetricKind::Cosine>(f, q, scales, column, raw);
}

/// The first test of n rows (at most pass_runs * code_lanes): bit r % 64 of
/// left[r / 64] set for each row r it leaves, runs[i] the RunBounds of rows
/// [i * code_lanes, (i + 1) * code_lanes). One test serves the whole call:
/// that of its runs joined (joined_runs), computed once; a run without a
/// code leaves all its rows, as its own test would. A last part of a run
/// is padded with rows of scale 0, whose bits are cleared.
template <MetricKind Kind>
inline void first_leaves(const Screen& sc, std::size_t n, const float* scales, const double* column,
                         const RunBounds* runs, const std::int32_t* raw, std::uint64_t* left) {
    const std::size_t count = (n + code_lanes - 1) / code_lanes, whole = n / code_lanes;
    const FirstTest f = first_test<Kind>(*sc.q, sc.threshold, joined_runs(runs, count));
    const SingleTest g = single_of(f);
    const bool fits = single_fits<Kind>(f);
    const auto offset = static_cast<std::int32_t>(sc.q->offset);
    // The sixteen rows of run i, from scales s, column c and products p.
    auto leaves16 = [&](std::size_t i, const float* s, const double* c, const std::int32_t* p) -> std::uint64_t {
        if (!runs[i].coded()) return 0xFFFF;
        if (fits && runs[i].narrow) return single_leaves16<Kind>(g, offset, s, c, p);
        return first_leaves8<Kind>(f, *sc.q, s, c, p) | first_leaves8<Kind>(f, *sc.q, s + 8, c + 8, p + 8) << 8;
    };
    for (std::size_t w = 0; 64 * w < n; ++w) {
        std::uint64_t word = 0;
        for (std::size_t i = 4 * w; i < std::min(whole, 4 * w + 4); ++i) {
            const std::size_t r = i * code_lanes;
            word |= leaves16(i, scales + r, column + r, raw + r) << r % 64;
        }
        left[w] = word;
    }
    if (const std::size_t r = whole * code_lanes; r < n) {  // a part of a run: padded, its bits cleared
        float s[code_lanes] = {};
        double c[code_lanes] = {};
        std::int32_t p[code_lanes] = {};
        std::copy_n(scales + r, n - r, s);
        std::copy_n(column + r, n - r, c);
        std::copy_n(raw + r, n - r, p);
        left[r / 64] |= (leaves16(whole, s, c, p) & ((std::uint64_t{1} << (n - r)) - 1)) << r % 64;
    }
}

/// The rows of n (at most pass_runs * code_lanes) the first test leaves
/// (first_leaves for the screen's metric), in left[0..(n + 63) / 64): the
/// rows to bound in full. (The table's entry takes each row's rho too; the
/// first test needs only the runs' greatest.)
inline void screen_rows(const Screen& sc, std::size_t n, const float* scales, const float*, const double* extents,
                        const double* norms, const RunBounds* runs, const std::int32_t* raw, std::uint64_t* left) {
    switch (sc.kind) {
        case MetricKind::Euclidean: return first_leaves<MetricKind::Euclidean>(sc, n, scales, extents, runs, raw, left);
        case MetricKind::Dot: return first_leaves<MetricKind::Dot>(sc, n, scales, extents, runs, raw, left);
        case MetricKind::Cosine: break;
    }
    return first_leaves<MetricKind::Cosine>(sc, n, scales, norms, runs, raw, left);
}

}  // namespace

}  // namespace orbisk
