#include "metrics/codes.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "metrics/metrics.h"

namespace orbisk {

namespace {

constexpr double min_scale = 0x1p-100, max_scale = 0x1p100;

struct Coded {
    double scale = 0.0;
    double radius = 0.0;  ///< an upper bound on |x - s c|
    std::int64_t squares = 0, sum = 0;
};

float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// Codes v as bytes c + 128 (into `out`, code_bytes(n) of them) and bounds
// the residual; scale 0 when v has no code. The scale is a float at least
// max|x_i| / limit, so every |x_i / s| rounds to at most limit (<= 127).
// The residual:
// with t_i the computed |x_i - fl(s c_i)|, |x_i - s c_i| <= t_i (1 + 2u) +
// 2u max|x|, so |x - s c| <= (1 + 2u)|t| + 2^-44 max|x| for n <= 65536; the
// computed |t| errs by at most (n + 3)u relative and, where squares
// underflow, by 2^-529.
// A vector longer than max_code_dim has no code and no room is kept for
// one: `out` is not written.
Coded code(Vec v, std::uint8_t* out, int limit = 127) {
    const std::size_t n = v.size();
    if (n > max_code_dim) return {};
    std::memset(out, 0, code_bytes(n));
    double top = 0.0;
    for (double x : v) top = std::isfinite(x) ? std::max(top, std::fabs(x)) : std::numeric_limits<double>::infinity();
    const double most = limit;
    if (n == 0 || !(top / most >= min_scale && top / most <= max_scale)) return {};
    const double s = round_up(top / most * (1.0 + code_margin));
    std::memset(out, 128, code_bytes(n));  // the pad codes 0
    Coded c;
    double residual = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double k = std::clamp(std::nearbyint(v[i] / s), -most, most);
        const auto ki = static_cast<std::int64_t>(k);
        out[i] = static_cast<std::uint8_t>(ki + 128);
        c.squares += ki * ki;
        c.sum += ki;
        const double t = v[i] - s * k;
        residual += t * t;
    }
    c.scale = s;
    c.radius = (std::sqrt(residual) * (1.0 + code_margin) + top * 0x1p-44 + 0x1p-529) * (1.0 + code_margin);
    return c;
}

}  // namespace

CodeInfo encode(Vec v, MetricKind kind, std::uint8_t* out) {
    const Coded c = code(v, out);
    if (c.scale == 0.0) return {};
    const double squares = static_cast<double>(c.squares);
    // Euclidean: s^2 C as the bounds compute it; the others: s sqrt(C),
    // rounded up.
    const double extent = kind == MetricKind::Euclidean ? c.scale * c.scale * squares
                                                        : c.scale * std::sqrt(squares) * (1.0 + code_margin);
    return {static_cast<float>(c.scale), round_up(c.radius / c.scale * (1.0 + code_margin)), extent};
}

void encode_query(Vec query, std::size_t dim, QueryCode& out, int limit) {
    out.usable = false;
    out.codes.assign(code_bytes(dim), 0);
    if (query.size() != dim) return;
    std::vector<std::uint8_t> bytes(code_bytes(dim));
    const Coded c = code(query, bytes.data(), limit);
    if (c.scale == 0.0) return;
    for (std::size_t i = 0; i < dim; ++i) out.codes[i] = static_cast<std::int8_t>(static_cast<int>(bytes[i]) - 128);
    out.scale = c.scale;
    out.radius = c.radius;
    out.squares = static_cast<double>(c.squares);
    out.offset = 128.0 * static_cast<double>(c.sum);
    out.length = c.scale * std::sqrt(out.squares) * (1.0 + code_margin);
    out.norm = norm(query);
    out.qq = c.scale * c.scale * out.squares;
    out.usable = true;
}

}  // namespace orbisk
