#include "hnsw/link_code.h"

#include <array>
#include <cmath>
#include <limits>

namespace orbisk {

namespace {

constexpr int boundaries = 254;

// Boundary b of a node's brackets is scale * steps[b].
const std::array<double, boundaries> steps = [] {
    std::array<double, boundaries> r{};
    for (int b = 0; b < boundaries; ++b) r[b] = std::exp2((b - 127) / 32.0);
    return r;
}();

bool usable(double x) { return std::isfinite(x) && x > 0.0; }

}  // namespace

std::uint8_t link_code(double scale, double length) {
    if (!usable(scale) || !std::isfinite(length)) return unknown_code;
    // The first boundary above the length; 254 when there is none.
    int lo = 0, hi = boundaries;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (length < scale * steps[mid]) hi = mid;
        else lo = mid + 1;
    }
    return static_cast<std::uint8_t>(lo);
}

Bracket code_bracket(double scale, std::uint8_t code) {
    if (code == unknown_code || !usable(scale)) {
        return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    }
    return {code == 0 ? 0.0 : scale * steps[code - 1],
            code == boundaries ? std::numeric_limits<double>::infinity() : scale * steps[code]};
}

SkipCodes skip_codes(double scale, double dqc, double f, std::uint32_t dim) {
    if (!usable(scale) || !std::isfinite(dqc) || !std::isfinite(f) || !(f >= 0x1p-400)) return {};
    const double m = (static_cast<double>(dim) + 16.0) * 0x1p-52;
    const double down = 1.0 - m, up = 1.0 + m;
    // Both tests are monotone in the code (rounding is monotone), so each
    // range is found by bisection.
    auto far_enough = [&](int code) {  // E beyond the query: lower end of code's bracket
        return (scale * steps[code - 1] * down - dqc * up) * down >= f;
    };
    auto near_enough = [&](int code) {  // E inside the query: upper end of code's bracket
        return (dqc * down - scale * steps[code] * up) * down >= f;
    };
    SkipCodes out;
    int lo = 1, hi = boundaries + 1;  // the first code in 1..254 far enough, or 255
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (far_enough(mid)) hi = mid;
        else lo = mid + 1;
    }
    out.far = lo;
    lo = -1, hi = boundaries - 1;  // the last code in 0..253 near enough, or -1
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (near_enough(mid)) lo = mid;
        else hi = mid - 1;
    }
    out.near = lo;
    return out;
}

}  // namespace orbisk
