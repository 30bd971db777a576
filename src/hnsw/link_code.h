#pragma once
// One byte per link that brackets the link's Euclidean length, and the test
// it allows: a neighbour E of c whose distance to the query provably cannot
// beat W's last entry is rejected without computing that distance.
//
// Codes are relative to a scale kept per node (the first positive finite
// length linked to it): code 0 means [0, s*R[0]), code b in 1..253 means
// [s*R[b-1], s*R[b]), code 254 means [s*R[253], inf), code 255 means
// unknown. R steps by 2^(1/32) from about 1/16 to about 15, so a bracket is
// about 2% wide. Every bound below is computed with the same expression
// s * R[b], so a code brackets the stored length exactly.
//
// Why the test is sound. For finite vectors, let D be the true distance and
// d the computed one (differences, squares and a sum in element order, each
// rounded, then a rounded square root, n = dim terms). Each square carries at
// most (1 + u)^3 (u = 2^-53), the sum of n nonnegative terms at most
// 1 + (n - 1)u / (1 - (n - 1)u), the square root halves that and adds u: so
// |d - D| <= e*D with e = (n + 5)u / 2 (1 + tiny). The margin used is
// m = (n + 16) * 2^-52 >= 2e + (n + 27)u, hence
//   D(q,c) in [d(q,c)(1 - m), d(q,c)(1 + m)],
//   D(c,E) in [lo(1 - m), hi(1 + m)]          (lo <= d(c,E) < hi, the code),
//   d(q,E) >= D(q,E)(1 - m) >= L(1 - m),  L = max(D(q,c) - D(c,E), D(c,E) - D(q,c)),
// by the triangle inequality. Evaluating L(1 - m) in doubles errs by at most
// a few u times the operands, far inside the (n + 27)u left over. Underflow
// adds at most 2^-518 to any of the three distances; bounds are used only
// when W's last distance f is at least 2^-400, where that is negligible
// against the same leftover margin. So a neighbour whose bound reaches f has
// d(q,E) >= f and cannot enter W (entry needs d < f); f only falls as the
// walk goes on, so the test may use any earlier f.
//
// The link lengths stored are distances computed with the new node as
// query, and d(a, b) == d(b, a) bit for bit (fl(a - b) = -fl(b - a)), so one
// length serves both directions. The query must have length dim, and every
// value used must be finite (a finite computed distance implies finite
// vectors).

#include <cstdint>

namespace orbisk {

inline constexpr std::uint8_t unknown_code = 255;

/// The code of `length` for a node whose scale is `scale` (0: none yet, so
/// unknown). NaN and infinite lengths are unknown.
std::uint8_t link_code(double scale, double length);

/// The bracket [lo, hi) that `code` stands for at `scale` (hi infinite for
/// code 254); NaNs for the unknown code.
struct Bracket {
    double lo, hi;
};
Bracket code_bracket(double scale, std::uint8_t code);

/// Codes that a neighbour of c may be skipped by, for one walk state: those
/// at or below `near` (E much nearer to c than the query is) and those from
/// `far` to 254 (E much farther). near < 0 and far > 254 mean none.
struct SkipCodes {
    int near = -1;
    int far = 255;
    bool skips(std::uint8_t code) const { return code <= near || (code >= far && code != unknown_code); }
};

/// The skip codes for expanding c, whose scale is `scale` and whose computed
/// distance to the query is `dqc`, while W's last distance is `f`, in `dim`
/// dimensions. None when any of them rules the test out.
SkipCodes skip_codes(double scale, double dqc, double f, std::uint32_t dim);

}  // namespace orbisk
