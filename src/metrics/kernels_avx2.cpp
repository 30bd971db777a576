// Built with -mavx2 only (no FMA): each lane does sub, mul, add as the
// sequential loop does.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

// Elements at..at+3 of four row-major rows, transposed: e[k] holds element
// at + k of the four rows, floats widened (exactly). Lanes beyond `count`
// are zero.
template <class T>
[[gnu::always_inline]] inline void transpose4(const T* base, const std::int64_t* offsets, std::size_t at,
                                              std::size_t count, __m256d* e) {
    __m256d r[4];
    if constexpr (std::is_same_v<T, float>) {
        const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(count)), _mm_set_epi32(3, 2, 1, 0));
        for (int j = 0; j < 4; ++j) {
            const float* row = base + offsets[j] + at;
            r[j] = _mm256_cvtps_pd(count == 4 ? _mm_loadu_ps(row) : _mm_maskload_ps(row, mask));
        }
    } else {
        const __m256i mask =
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)), _mm256_set_epi64x(3, 2, 1, 0));
        for (int j = 0; j < 4; ++j) {
            const double* row = base + offsets[j] + at;
            r[j] = count == 4 ? _mm256_loadu_pd(row) : _mm256_maskload_pd(row, mask);
        }
    }
    const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
    const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
    e[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    e[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    e[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    e[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Elements i..i+count-1 (count <= 4) of the 2N chains (each group is two
// chains of four rows, lanes 0-3 and 4-7) added to their sums, in element
// order. Whole chunks (count 4, known when compiled) keep every sum in a
// register and load without masks.
template <class T, std::size_t N, bool Euclidean>
[[gnu::always_inline]] inline void add_chunk(const T* base, const std::int64_t* offsets, const double* q, std::size_t i,
                                             std::size_t count, __m256d (&sum)[2 * N]) {
#pragma GCC unroll 8
    for (std::size_t h = 0; h < 2 * N; ++h) {
        __m256d e[4];
        transpose4(base, offsets + h * 4, i, count, e);
#pragma GCC unroll 4
        for (std::size_t k = 0; k < count; ++k) {
            const __m256d qk = _mm256_set1_pd(q[i + k]);
            if constexpr (Euclidean) {
                const __m256d d = _mm256_sub_pd(qk, e[k]);
                sum[h] = _mm256_add_pd(sum[h], _mm256_mul_pd(d, d));
            } else {
                sum[h] = _mm256_add_pd(sum[h], _mm256_mul_pd(qk, e[k]));
            }
        }
    }
}

template <class T, std::size_t N, bool Euclidean>
void rows_n(const T* base, const std::int64_t* offsets, const double* q, std::size_t from, std::size_t to,
            double* acc) {
    __m256d sum[2 * N];
    for (std::size_t h = 0; h < 2 * N; ++h) sum[h] = _mm256_loadu_pd(acc + h * 4);
    std::size_t i = from;
    for (; i + 4 <= to; i += 4) add_chunk<T, N, Euclidean>(base, offsets, q, i, 4, sum);
    if (i < to) add_chunk<T, N, Euclidean>(base, offsets, q, i, to - i, sum);
    for (std::size_t h = 0; h < 2 * N; ++h) _mm256_storeu_pd(acc + h * 4, sum[h]);
}

template <class T, bool Euclidean>
void rows(const T* base, const std::int64_t* offsets, std::size_t groups, const double* q, std::size_t from,
          std::size_t to, double* acc) {
    with_slot_count(groups, [&]<std::size_t N>() { rows_n<T, N, Euclidean>(base, offsets, q, from, to, acc); });
}

// Codes: the steps of codes.h for the sixteen rows of a block, four to a
// register, each lane one row: its division, rounding (in the current
// direction, as nearbyint), clamp, residual, square and norm are the scalar
// steps, and its sums run in element order.

/// The largest magnitude of a row, infinite when a value is not finite: a
/// maximum, exact in any order (floats compared before they are widened).
template <class T>
double top_of(const T* row, std::size_t dim) {
    constexpr std::size_t step = 32 / sizeof(T);
    T most[step] = {};
    bool finite = true;
    if constexpr (std::is_same_v<T, float>) {
        const __m256 sign = _mm256_set1_ps(-0.0f), limit = _mm256_set1_ps(std::numeric_limits<float>::max());
        __m256 m = _mm256_setzero_ps();
        for (std::size_t i = 0; i < dim; i += step) {
            const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(std::min(step, dim - i))),
                                                    _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
            const __m256 v = _mm256_andnot_ps(sign, _mm256_maskload_ps(row + i, mask));
            finite &= _mm256_movemask_ps(_mm256_cmp_ps(v, limit, _CMP_LE_OQ)) == 0xFF;
            m = _mm256_max_ps(m, v);
        }
        _mm256_storeu_ps(most, m);
    } else {
        const __m256d sign = _mm256_set1_pd(-0.0), limit = _mm256_set1_pd(std::numeric_limits<double>::max());
        __m256d m = _mm256_setzero_pd();
        for (std::size_t i = 0; i < dim; i += step) {
            const __m256i mask = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(std::min(step, dim - i))),
                                                    _mm256_set_epi64x(3, 2, 1, 0));
            const __m256d v = _mm256_andnot_pd(sign, _mm256_maskload_pd(row + i, mask));
            finite &= _mm256_movemask_pd(_mm256_cmp_pd(v, limit, _CMP_LE_OQ)) == 0xF;
            m = _mm256_max_pd(m, v);
        }
        _mm256_storeu_pd(most, m);
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
    const __m256d most = _mm256_set1_pd(127.0), least = _mm256_set1_pd(-127.0);
    const __m128i bias = _mm_set1_epi32(128);
    for (std::size_t h = 0; h < code_lanes; h += 4) {
        const __m256d s = _mm256_loadu_pd(divisor + h);
        const __m128i kept = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + h));
        __m256d residual = _mm256_setzero_pd(), squares = _mm256_setzero_pd(), lengths = _mm256_setzero_pd();
        for (std::size_t i = 0; i < dim; i += 4) {
            // Past the last element the values are zeros: codes 0 (the pad
            // bytes), and +0.0 added to every sum, which changes none.
            __m256d e[4];
            transpose4(rows, offsets + h, i, std::min<std::size_t>(4, dim - i), e);
            __m128i bytes[4];
            for (std::size_t j = 0; j < 4; ++j) {
                const __m256d q = _mm256_round_pd(_mm256_div_pd(e[j], s), _MM_FROUND_CUR_DIRECTION);
                const __m256d k = _mm256_min_pd(_mm256_max_pd(q, least), most);
                const __m256d t = _mm256_sub_pd(e[j], _mm256_mul_pd(s, k));
                residual = _mm256_add_pd(residual, _mm256_mul_pd(t, t));
                squares = _mm256_add_pd(squares, _mm256_mul_pd(k, k));
                lengths = _mm256_add_pd(lengths, _mm256_mul_pd(e[j], e[j]));
                bytes[j] = _mm_add_epi32(_mm256_cvtpd_epi32(k), bias);
            }
            // Group i / 4: each row's four bytes in its 32-bit lane.
            const __m128i word = _mm_or_si128(_mm_or_si128(bytes[0], _mm_slli_epi32(bytes[1], 8)),
                                              _mm_or_si128(_mm_slli_epi32(bytes[2], 16), _mm_slli_epi32(bytes[3], 24)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(block + (i / 4 * code_lanes + h) * 4),
                             _mm_and_si128(word, kept));
        }
        double res[4], sq[4], len[4];
        _mm256_storeu_pd(res, residual);
        _mm256_storeu_pd(sq, squares);
        _mm256_storeu_pd(len, lengths);
        for (std::size_t l = 0; l < 4; ++l) {
            info[h + l] = code_info(kind, scale[h + l], code_radius(res[l], top[h + l]), sq[l]);
            if (norms) norms[h + l] = std::sqrt(len[l]);
        }
    }
}

// Codes: bytes widened to 16 bits and multiplied by 16-bit query codes in
// pairs (vpmaddwd), which cannot overflow: a pair is at most 2 * 255 * 127.
// Four rows of a group fill one register: lane 2r + h holds half h of row
// r's four products, and the halves are added once at the end.
// vpmaddubsw multiplies each stored byte (0..255) by a query code and adds
// neighbouring pairs into 16 bits, saturating; with query codes within
// +-63 a pair reaches at most 2 * 255 * 63 = 32130 < 2^15, so nothing
// saturates and every sum is exact. vpmaddwd by ones then adds the two pairs
// of each row's group into its 32-bit lane. Eight rows a register, the
// sixteen rows of a block in two, up to four blocks side by side.
constexpr int byte_pair_limit = 63;

template <std::size_t N>
void blocks_n(const std::uint8_t* blocks, std::size_t groups, const std::int8_t* q, std::int32_t* out) {
    const __m256i ones = _mm256_set1_epi16(1);
    const std::size_t block_bytes = groups * code_lanes * 4;
    __m256i acc[2 * N];
    for (std::size_t h = 0; h < 2 * N; ++h) acc[h] = _mm256_setzero_si256();
    for (std::size_t g = 0; g < groups; ++g) {
        std::int32_t word;
        std::memcpy(&word, q + g * 4, 4);
        const __m256i qg = _mm256_set1_epi32(word);
        for (std::size_t b = 0; b < N; ++b) {
            const std::uint8_t* at = blocks + b * block_bytes + g * code_lanes * 4;
            for (std::size_t h = 0; h < 2; ++h) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32 * h));
                acc[2 * b + h] = _mm256_add_epi32(acc[2 * b + h], _mm256_madd_epi16(_mm256_maddubs_epi16(v, qg), ones));
            }
        }
    }
    for (std::size_t h = 0; h < 2 * N; ++h) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * h), acc[h]);
}

constexpr auto code_blocks = four_then_one<blocks_n<4>, blocks_n<1>>;

std::int32_t sum_lanes(__m256i v) {
    const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i t = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    return _mm_cvtsi128_si32(_mm_add_epi32(t, _mm_shuffle_epi32(t, 0xB1)));
}

void code_rows(const std::uint8_t* base, const std::uint32_t* rows, std::size_t count, std::size_t stride,
               const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    const std::size_t whole = bytes / 16 * 16;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* row = base + std::size_t{rows[i]} * stride;
        __m256i acc = _mm256_setzero_si256();
        for (std::size_t j = 0; j < whole; j += 16) {
            const __m256i v = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j)));
            const __m256i w = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + j)));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(v, w));
        }
        std::int32_t sum = sum_lanes(acc);
        for (std::size_t j = whole; j < bytes; ++j) sum += row[j] * q[j];
        out[i] = sum;
    }
}

}  // namespace

const CodeKernels avx2_codes = {"avx2",  byte_pair_limit, code_blocks,      code_rows,
                                nullptr, screen_rows,     first_leaves8_of, single_leaves16_of};

const Kernels avx2_kernels = {"avx2",
                              rows<double, true>,
                              rows<double, false>,
                              rows<float, true>,
                              rows<float, false>,
                              encode_lanes<double>,
                              encode_lanes<float>,
                              &avx2_codes};

}  // namespace orbisk
