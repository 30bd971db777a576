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
    double values = 0.0;  ///< sum x_i * x_i in element order, from +0.0: what norm() takes the root of
};

// nearbyint(y) for |y| < 2^52 without the library's call: adding 2^52 with
// y's sign rounds y to an integer in the current rounding mode, as nearbyint
// does, and taking it away again is exact. Only the sign of a zero may
// differ, which no use of the result can see (its byte, its square and
// x - s * k are the same). The sign is copied, not branched on: codes'
// signs are as good as random, and a branch on them is mispredicted half
// the time.
double nearest_integer(double y) {
    const double big = std::copysign(0x1p52, y);
    return (y + big) - big;
}

float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

float round_down(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) f = std::nextafter(f, 0.0f);
    return f;
}

// Codes v (n values, each widened to double) as bytes c + 128, put(i, byte)
// for each of the code_bytes(n) bytes, and bounds the residual (code_radius);
// scale 0 when v has no code. The steps are those the kernel tables'
// encoders take for each row (kernels.h).
// A vector longer than max_code_dim has no code and no room is kept for
// one: nothing is put.
template <class T, class Put>
Coded code(const T* v, std::size_t n, Put put, int limit = 127) {
    if (n > max_code_dim) return {};
    double top = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(v[i]);
        top = std::isfinite(x) ? std::max(top, std::fabs(x)) : std::numeric_limits<double>::infinity();
    }
    const double s = n ? code_scale(top, limit) : 0.0;
    if (s == 0.0) {
        for (std::size_t i = 0; i < code_bytes(n); ++i) put(i, std::uint8_t{0});
        return {};
    }
    const double most = limit;
    Coded c;
    double residual = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(v[i]);
        const double k = std::clamp(nearest_integer(x / s), -most, most);  // |x / s| < 128
        const auto ki = static_cast<std::int64_t>(k);
        put(i, static_cast<std::uint8_t>(ki + 128));
        c.squares += ki * ki;
        c.sum += ki;
        const double t = x - s * k;
        residual += t * t;
        c.values += x * x;
    }
    for (std::size_t i = n; i < code_bytes(n); ++i) put(i, std::uint8_t{128});  // the pad codes 0
    c.scale = s;
    c.radius = code_radius(residual, top);
    return c;
}

template <class T>
CodeInfo encode_row(const T* v, std::size_t n, MetricKind kind, std::uint8_t* out) {
    const Coded c = code(v, n, [out](std::size_t i, std::uint8_t b) { out[i] = b; });
    return code_info(kind, c.scale, c.radius, static_cast<double>(c.squares));
}

}  // namespace

double code_scale(double top, int limit) {
    const double most = limit;
    if (!(top / most >= min_scale && top / most <= max_scale)) return 0.0;
    return round_up(top / most * (1.0 + code_margin));
}

// With t_i the computed |x_i - fl(s c_i)|, |x_i - s c_i| <= t_i (1 + 2u) +
// 2u max|x|, so |x - s c| <= (1 + 2u)|t| + 2^-44 max|x| for n <= 65536; the
// computed |t| errs by at most (n + 3)u relative and, where squares
// underflow, by 2^-529.
double code_radius(double residual, double top) {
    return (std::sqrt(residual) * (1.0 + code_margin) + top * 0x1p-44 + 0x1p-529) * (1.0 + code_margin);
}

CodeInfo code_info(MetricKind kind, double scale, double radius, double squares) {
    if (scale == 0.0) return {};
    // Euclidean: s^2 C as the bounds compute it; the others: s sqrt(C),
    // rounded up.
    const double extent =
        kind == MetricKind::Euclidean ? scale * scale * squares : scale * std::sqrt(squares) * (1.0 + code_margin);
    return {static_cast<float>(scale), round_up(radius / scale * (1.0 + code_margin)), extent};
}

RunBounds run_bounds(MetricKind kind, std::size_t n, const float* scales, const float* rhos, const double* extents) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    float s_lo = inf, s_hi = 0.0f;
    double ext_lo = std::numeric_limits<double>::infinity(), ext_hi = 0.0, r_hi = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
        if (scales[r] == 0.0f) return {};  // a row without a code: no first test
        s_lo = std::min(s_lo, scales[r]);
        s_hi = std::max(s_hi, scales[r]);
        ext_lo = std::min(ext_lo, extents[r]);
        ext_hi = std::max(ext_hi, extents[r]);
        r_hi = std::max(r_hi, static_cast<double>(scales[r]) * static_cast<double>(rhos[r]));  // exact
    }
    RunBounds b;
    b.all_coded = -1;
    b.narrow = s_lo >= 0x1p-20f && s_hi <= 0x1p20f ? -1 : 0;
    b.ext = kind == MetricKind::Euclidean ? round_down(ext_lo) : round_up(ext_hi);
    b.r_hi = round_up(r_hi);
    return b;
}

CodeInfo encode(Vec v, MetricKind kind, std::uint8_t* out) { return encode_row(v.data(), v.size(), kind, out); }
CodeInfo encode(std::span<const float> v, MetricKind kind, std::uint8_t* out) {
    return encode_row(v.data(), v.size(), kind, out);
}

template <class T>
void encode_block(const T* rows, std::size_t dim, MetricKind kind, std::uint8_t* block, CodeInfo* info, double* norms) {
    for (std::size_t r = 0; r < code_lanes; ++r) {
        // Byte i of row r at its place in the interleaved block.
        auto put = [block, r](std::size_t i, std::uint8_t b) { block[(i / 4 * code_lanes + r) * 4 + i % 4] = b; };
        const Coded c = code(rows + r * dim, dim, put);
        info[r] = code_info(kind, c.scale, c.radius, static_cast<double>(c.squares));
        if (norms) norms[r] = norm(std::span<const T>(rows + r * dim, dim));
    }
}
template void encode_block(const double*, std::size_t, MetricKind, std::uint8_t*, CodeInfo*, double*);
template void encode_block(const float*, std::size_t, MetricKind, std::uint8_t*, CodeInfo*, double*);

void encode_query(Vec query, std::size_t dim, QueryCode& out, int limit) {
    out.usable = false;
    out.codes.assign(code_bytes(dim), 0);
    if (query.size() != dim) return;
    std::int8_t* codes = out.codes.data();
    const Coded c = code(
        query.data(), dim, [codes](std::size_t i, std::uint8_t b) { codes[i] = static_cast<std::int8_t>(b - 128); },
        limit);
    if (c.scale == 0.0) {
        std::fill(out.codes.begin(), out.codes.end(), 0);
        return;
    }
    out.scale = c.scale;
    out.inverse = 1.0 / c.scale;
    out.radius = c.radius;
    out.squares = static_cast<double>(c.squares);
    out.offset = 128.0 * static_cast<double>(c.sum);
    out.length = c.scale * std::sqrt(out.squares) * (1.0 + code_margin);
    out.norm = std::sqrt(c.values);  // norm(query), from the same sum
    out.qq = c.scale * c.scale * out.squares;
    out.usable = true;
}

}  // namespace orbisk
