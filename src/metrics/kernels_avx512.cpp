// Built with -mavx512f (no FMA contraction: -ffp-contract=off): each lane
// does sub, mul, add as the sequential loop does.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

// Elements at..at+7 of eight row-major rows, transposed so that e[k] holds
// element at + k of rows 0..7: eight row loads and three rounds of two-source
// permutes rather than a gather per element. Lanes beyond `count` are zero.
struct Columns {
    __m512d e[8];
};

// Floats are widened (exactly) as they are loaded.
template <class T>
[[gnu::always_inline]] inline Columns transpose(const T* base, const std::int64_t* offsets, std::size_t at,
                                                std::size_t count) {
    __m512d r[8];
    if constexpr (std::is_same_v<T, float>) {
        // AVX's masked load: the lanes past `count` are not read (AVX-512 F
        // has no 256-bit masked load of its own).
        const __m256i mask =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
        for (int j = 0; j < 8; ++j) {
            const float* row = base + offsets[j] + at;
            r[j] = _mm512_maskz_cvtps_pd(0xFF, count == 8 ? _mm256_loadu_ps(row) : _mm256_maskload_ps(row, mask));
        }
    } else {
        const __mmask8 m = static_cast<__mmask8>((1u << count) - 1);
        for (int j = 0; j < 8; ++j) r[j] = _mm512_maskz_loadu_pd(m, base + offsets[j] + at);
    }
    // Interleave pairs of rows, then pairs of 128-bit lanes, then halves.
    const __m512i lo = _mm512_set_epi64(14, 6, 12, 4, 10, 2, 8, 0), hi = _mm512_set_epi64(15, 7, 13, 5, 11, 3, 9, 1);
    const __m512i even = _mm512_set_epi64(13, 12, 9, 8, 5, 4, 1, 0), odd = _mm512_set_epi64(15, 14, 11, 10, 7, 6, 3, 2);
    __m512d t[8], u[8];
    for (int j = 0; j < 8; j += 2) {
        t[j] = _mm512_permutex2var_pd(r[j], lo, r[j + 1]);
        t[j + 1] = _mm512_permutex2var_pd(r[j], hi, r[j + 1]);
    }
    for (int h = 0; h < 8; h += 4) {
        u[h] = _mm512_permutex2var_pd(t[h], even, t[h + 2]);
        u[h + 1] = _mm512_permutex2var_pd(t[h], odd, t[h + 2]);
        u[h + 2] = _mm512_permutex2var_pd(t[h + 1], even, t[h + 3]);
        u[h + 3] = _mm512_permutex2var_pd(t[h + 1], odd, t[h + 3]);
    }
    // u[0..3] hold rows 0-3, u[4..7] rows 4-7; as 128-bit lanes:
    // u[0] = (e0 e4 | e0 e4) of (rows 0,1 | rows 2,3), u[1] = e2 e6, u[2] = e1 e5, u[3] = e3 e7.
    Columns c;
    const int from_u[4] = {0, 2, 1, 3};  // u index holding elements (k, k + 4) for k = 0..3
    for (int k = 0; k < 4; ++k) {
        c.e[k] = _mm512_permutex2var_pd(u[from_u[k]], even, u[from_u[k] + 4]);
        c.e[k + 4] = _mm512_permutex2var_pd(u[from_u[k]], odd, u[from_u[k] + 4]);
    }
    return c;
}

/// Adds the terms of element q[i] and the column `e` (that element of the
/// group's rows) to the group's sums.
template <bool Euclidean>
[[gnu::always_inline]] inline __m512d add_term(__m512d sum, double qi, __m512d e) {
    const __m512d qk = _mm512_set1_pd(qi);
    if constexpr (Euclidean) {
        const __m512d d = _mm512_sub_pd(qk, e);
        return _mm512_add_pd(sum, _mm512_mul_pd(d, d));
    } else {
        return _mm512_add_pd(sum, _mm512_mul_pd(qk, e));
    }
}

// Elements i..i+count-1 (count <= 8) of the N groups added to their sums,
// in element order. Whole chunks (count 8, known when compiled) keep every
// sum in a register and load without masks.
template <class T, std::size_t N, bool Euclidean>
[[gnu::always_inline]] inline void add_chunk(const T* base, const std::int64_t* offsets, const double* q, std::size_t i,
                                             std::size_t count, __m512d (&sum)[N]) {
#pragma GCC unroll 4
    for (std::size_t g = 0; g < N; ++g) {
        const Columns c = transpose(base, offsets + g * lanes, i, count);
#pragma GCC unroll 8
        for (std::size_t k = 0; k < count; ++k) sum[g] = add_term<Euclidean>(sum[g], q[i + k], c.e[k]);
    }
}

/// The eight floats of half `High` of `x`, widened.
template <int High>
[[gnu::always_inline]] inline __m512d widened_half(__m512 x) {
    const __m256d half = _mm512_maskz_extractf64x4_pd(0xF, _mm512_castps_pd(x), High);
    return _mm512_maskz_cvtps_pd(0xFF, _mm256_castpd_ps(half));
}

// Elements at..at+15 of eight rows of floats, transposed, then widened:
// e[k] holds element at + k of rows 0..7. A load of sixteen floats a row
// and three rounds of shuffles among the floats take fewer shuffles an
// element than transpose's rounds among the widened doubles.
[[gnu::always_inline]] inline void transpose16(const float* base, const std::int64_t* offsets, std::size_t at,
                                               __m512d (&e)[16]) {
    __m512 r[8], a[8], b[8];
    for (int j = 0; j < 8; ++j) r[j] = _mm512_loadu_ps(base + offsets[j] + at);
    // a: rows j and j + 1 interleaved in each 128-bit lane L (elements 4L..4L+3).
    for (int j = 0; j < 8; j += 2) {
        a[j] = _mm512_maskz_unpacklo_ps(0xFFFF, r[j], r[j + 1]);
        a[j + 1] = _mm512_maskz_unpackhi_ps(0xFFFF, r[j], r[j + 1]);
    }
    // b[h + k]: element 4L + k of rows h..h+3 in lane L.
    auto pairs = [](__m512 x, __m512 y, bool high) {
        const __m512d u = _mm512_castps_pd(x), v = _mm512_castps_pd(y);
        return _mm512_castpd_ps(high ? _mm512_maskz_unpackhi_pd(0xFF, u, v) : _mm512_maskz_unpacklo_pd(0xFF, u, v));
    };
    for (int h = 0; h < 8; h += 4) {
        b[h] = pairs(a[h], a[h + 2], false);
        b[h + 1] = pairs(a[h], a[h + 2], true);
        b[h + 2] = pairs(a[h + 1], a[h + 3], false);
        b[h + 3] = pairs(a[h + 1], a[h + 3], true);
    }
    // Lane L of b[k] beside lane L of b[4 + k]: element 4L + k of rows 0..7,
    // lanes 0-1 into one register's halves, lanes 2-3 into another's.
    const __m512i front = _mm512_set_epi32(23, 22, 21, 20, 7, 6, 5, 4, 19, 18, 17, 16, 3, 2, 1, 0);
    const __m512i back = _mm512_set_epi32(31, 30, 29, 28, 15, 14, 13, 12, 27, 26, 25, 24, 11, 10, 9, 8);
    for (int k = 0; k < 4; ++k) {
        const __m512 c = _mm512_permutex2var_ps(b[k], front, b[4 + k]);
        const __m512 d = _mm512_permutex2var_ps(b[k], back, b[4 + k]);
        e[k] = widened_half<0>(c);
        e[4 + k] = widened_half<1>(c);
        e[8 + k] = widened_half<0>(d);
        e[12 + k] = widened_half<1>(d);
    }
}

template <class T, std::size_t N, bool Euclidean>
void rows_n(const T* base, const std::int64_t* offsets, const double* q, std::size_t from, std::size_t to,
            double* acc) {
    __m512d sum[N];
    for (std::size_t g = 0; g < N; ++g) sum[g] = _mm512_loadu_pd(acc + g * lanes);
    std::size_t i = from;
    if constexpr (std::is_same_v<T, float>) {
        for (; i + 16 <= to; i += 16) {
#pragma GCC unroll 4
            for (std::size_t g = 0; g < N; ++g) {
                __m512d e[16];
                transpose16(base, offsets + g * lanes, i, e);
#pragma GCC unroll 16
                for (std::size_t k = 0; k < 16; ++k) sum[g] = add_term<Euclidean>(sum[g], q[i + k], e[k]);
            }
        }
    }
    for (; i + 8 <= to; i += 8) add_chunk<T, N, Euclidean>(base, offsets, q, i, 8, sum);
    if (i < to) add_chunk<T, N, Euclidean>(base, offsets, q, i, to - i, sum);
    for (std::size_t g = 0; g < N; ++g) _mm512_storeu_pd(acc + g * lanes, sum[g]);
}

template <class T, bool Euclidean>
void rows(const T* base, const std::int64_t* offsets, std::size_t groups, const double* q, std::size_t from,
          std::size_t to, double* acc) {
    with_slot_count(groups, [&]<std::size_t N>() { rows_n<T, N, Euclidean>(base, offsets, q, from, to, acc); });
}

// Codes: the steps of codes.h for the sixteen rows of a block, eight to a
// register, each lane one row: its division, rounding (in the current
// direction, as nearbyint), clamp, residual, square and norm are the scalar
// steps, and its sums run in element order. (The maskz forms with every lane
// set are the plain instructions; gcc 12 warns about the undefined source
// its plain intrinsics pass.)

/// The largest magnitude of a row, infinite when a value is not finite: a
/// maximum, exact in any order (floats compared before they are widened).
template <class T>
double top_of(const T* row, std::size_t dim) {
    constexpr std::size_t step = 64 / sizeof(T);
    T most[step] = {};
    bool finite = true;
    if constexpr (std::is_same_v<T, float>) {
        __m512 m = _mm512_setzero_ps();
        const __m512 limit = _mm512_set1_ps(std::numeric_limits<float>::max());
        for (std::size_t i = 0; i < dim; i += step) {
            const auto mask = static_cast<__mmask16>((1u << std::min(step, dim - i)) - 1);
            const __m512 v = _mm512_abs_ps(_mm512_maskz_loadu_ps(mask, row + i));
            finite &= _mm512_cmp_ps_mask(v, limit, _CMP_LE_OQ) == 0xFFFF;
            m = _mm512_maskz_max_ps(0xFFFF, m, v);
        }
        _mm512_storeu_ps(most, m);
    } else {
        __m512d m = _mm512_setzero_pd();
        const __m512d limit = _mm512_set1_pd(std::numeric_limits<double>::max());
        for (std::size_t i = 0; i < dim; i += step) {
            const auto mask = static_cast<__mmask8>((1u << std::min(step, dim - i)) - 1);
            const __m512d v = _mm512_abs_pd(_mm512_maskz_loadu_pd(mask, row + i));
            finite &= _mm512_cmp_pd_mask(v, limit, _CMP_LE_OQ) == 0xFF;
            m = _mm512_maskz_max_pd(0xFF, m, v);
        }
        _mm512_storeu_pd(most, m);
    }
    if (!finite) return std::numeric_limits<double>::infinity();
    return static_cast<double>(*std::max_element(most, most + step));
}

template <class T>
void encode_lanes(const T* rows, std::size_t dim, MetricKind kind, std::uint8_t* block, CodeInfo* info, double* norms) {
    double top[code_lanes], scale[code_lanes], divisor[code_lanes];
    std::int64_t offsets[code_lanes];
    std::int32_t keep[code_lanes];
    for (std::size_t r = 0; r < code_lanes; ++r) {
        top[r] = top_of(rows + r * dim, dim);
        scale[r] = code_scale(top[r]);
        divisor[r] = scale[r] != 0.0 ? scale[r] : 1.0;  // a row without a code: computed, then written as zeros
        keep[r] = scale[r] != 0.0 ? -1 : 0;
        offsets[r] = static_cast<std::int64_t>(r * dim);
    }
    const __m512d most = _mm512_set1_pd(127.0), least = _mm512_set1_pd(-127.0);
    const __m256i bias = _mm256_set1_epi32(128);
    for (std::size_t h = 0; h < code_lanes; h += lanes) {
        const __m512d s = _mm512_loadu_pd(divisor + h);
        const __m256i kept = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep + h));
        __m512d residual = _mm512_setzero_pd(), squares = _mm512_setzero_pd(), lengths = _mm512_setzero_pd();
        for (std::size_t i = 0; i < dim; i += 8) {
            // Past the last element the values are zeros: codes 0 (the pad
            // bytes), and +0.0 added to every sum, which changes none.
            const Columns c = transpose(rows, offsets + h, i, std::min<std::size_t>(8, dim - i));
            __m256i bytes[8];
            for (std::size_t e = 0; e < 8; ++e) {
                const __m512d x = c.e[e];
                const __m512d q = _mm512_maskz_roundscale_pd(0xFF, _mm512_div_pd(x, s), _MM_FROUND_CUR_DIRECTION);
                const __m512d k = _mm512_maskz_min_pd(0xFF, _mm512_maskz_max_pd(0xFF, q, least), most);
                const __m512d t = _mm512_sub_pd(x, _mm512_mul_pd(s, k));
                residual = _mm512_add_pd(residual, _mm512_mul_pd(t, t));
                squares = _mm512_add_pd(squares, _mm512_mul_pd(k, k));
                lengths = _mm512_add_pd(lengths, _mm512_mul_pd(x, x));
                bytes[e] = _mm256_add_epi32(_mm512_maskz_cvtpd_epi32(0xFF, k), bias);
            }
            // Group g: each row's four bytes in its 32-bit lane.
            for (std::size_t j = 0; j < 2 && i + 4 * j < dim; ++j) {
                const __m256i* b = bytes + 4 * j;
                const __m256i word =
                    _mm256_or_si256(_mm256_or_si256(b[0], _mm256_slli_epi32(b[1], 8)),
                                    _mm256_or_si256(_mm256_slli_epi32(b[2], 16), _mm256_slli_epi32(b[3], 24)));
                const std::size_t g = i / 4 + j;
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + (g * code_lanes + h) * 4),
                                    _mm256_and_si256(word, kept));
            }
        }
        double res[lanes], sq[lanes], len[lanes];
        _mm512_storeu_pd(res, residual);
        _mm512_storeu_pd(sq, squares);
        _mm512_storeu_pd(len, lengths);
        for (std::size_t l = 0; l < lanes; ++l) {
            info[h + l] = code_info(kind, scale[h + l], code_radius(res[l], top[h + l]), sq[l]);
            if (norms) norms[h + l] = std::sqrt(len[l]);
        }
    }
}

/// This file's row kernels and encoders beside the code kernels `codes`.
constexpr Kernels with_codes(const char* name, const CodeKernels* codes) {
    return {name,
            rows<double, true>,
            rows<double, false>,
            rows<float, true>,
            rows<float, false>,
            encode_lanes<double>,
            encode_lanes<float>,
            codes};
}

}  // namespace

// Without VNNI, the AVX2 code kernels serve.
const Kernels avx512_kernels = with_codes("avx512", &avx2_codes);
const Kernels avx512vnni_kernels = with_codes("avx512vnni", &vnni_codes);
const Kernels amx_kernels = with_codes("amx", &amx_codes);

}  // namespace orbisk
