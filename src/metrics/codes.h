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

inline constexpr double code_margin = 0x1p-30;
inline constexpr double code_slack = 0x1p-500;

/// Bounds on the computed distance of a query and a coded stored vector.
struct Bounds {
    double lo, hi;
};

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
    const double y_lo = std::sqrt(std::fmax(t.y2 - t.e, 0.0)) * (1.0 - code_margin);
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

/// Bit r set for each of the first n rows that may pass the screen.
template <MetricKind Kind>
inline std::uint64_t pass_mask(const Screen& sc, std::size_t n, const float* scales, const float* rhos,
                               const double* extents, const double* norms, const std::int32_t* raw) {
    const double widened = widened_threshold(sc.threshold);
    unsigned char pass[64] = {};
    for (std::size_t r = 0; r < n; ++r) {
        pass[r] = may_pass<Kind>(*sc.q, widened, sc.threshold, scales[r], rhos[r], extents[r], raw[r],
                                 Kind == MetricKind::Cosine ? norms[r] : 0.0);
    }
    // Eight flags (bytes of 0 or 1, and 0 past n) at a time: the product
    // gathers byte i's bit into bit 56 + i, and no two partial products meet.
    std::uint64_t mask = 0;
    for (std::size_t r = 0; r < n; r += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, pass + r, 8);
        mask |= (eight * 0x0102040810204080ull) >> 56 << r;
    }
    return mask;
}

inline std::uint64_t screen_rows(const Screen& sc, std::size_t n, const float* scales, const float* rhos,
                                 const double* extents, const double* norms, const std::int32_t* raw) {
    switch (sc.kind) {
        case MetricKind::Euclidean: return pass_mask<MetricKind::Euclidean>(sc, n, scales, rhos, extents, norms, raw);
        case MetricKind::Dot: return pass_mask<MetricKind::Dot>(sc, n, scales, rhos, extents, norms, raw);
        case MetricKind::Cosine: break;
    }
    return pass_mask<MetricKind::Cosine>(sc, n, scales, rhos, extents, norms, raw);
}

/// The screen entry of a kernel table whose block kernel is `Blocks`: the
/// raw products of `count` blocks, then their rows screened.
template <auto Blocks>
std::uint64_t screen_with(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const Screen& sc,
                          const float* scales, const float* rhos, const double* extents, const double* norms,
                          std::int32_t* raw) {
    Blocks(blocks, count, groups, sc.q->codes.data(), raw);
    return screen_rows(sc, count * code_lanes, scales, rhos, extents, norms, raw);
}

}  // namespace

}  // namespace orbisk
