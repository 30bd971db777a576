// Built with -mavx512f (no FMA contraction: -ffp-contract=off): each lane
// does sub, mul, add as the sequential loop does.
#include <immintrin.h>

#include <algorithm>
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
        for (int j = 0; j < 8; ++j)
            r[j] = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskload_ps(base + offsets[j] + at, mask));
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

template <class T, std::size_t N, bool Euclidean>
void rows_n(const T* base, const std::int64_t* offsets, const double* q, std::size_t from, std::size_t to,
            double* acc) {
    __m512d sum[N];
    for (std::size_t g = 0; g < N; ++g) sum[g] = _mm512_loadu_pd(acc + g * lanes);
    for (std::size_t i = from; i < to; i += 8) {
        const std::size_t count = std::min<std::size_t>(8, to - i);
        for (std::size_t g = 0; g < N; ++g) {
            const Columns c = transpose(base, offsets + g * lanes, i, count);
            for (std::size_t k = 0; k < count; ++k) {
                const __m512d qk = _mm512_set1_pd(q[i + k]);
                if constexpr (Euclidean) {
                    const __m512d d = _mm512_sub_pd(qk, c.e[k]);
                    sum[g] = _mm512_add_pd(sum[g], _mm512_mul_pd(d, d));
                } else {
                    sum[g] = _mm512_add_pd(sum[g], _mm512_mul_pd(qk, c.e[k]));
                }
            }
        }
    }
    for (std::size_t g = 0; g < N; ++g) _mm512_storeu_pd(acc + g * lanes, sum[g]);
}

template <class T, bool Euclidean>
void rows(const T* base, const std::int64_t* offsets, std::size_t groups, const double* q, std::size_t from,
          std::size_t to, double* acc) {
    with_slot_count(groups, [&]<std::size_t N>() { rows_n<T, N, Euclidean>(base, offsets, q, from, to, acc); });
}

}  // namespace

// Without VNNI, the AVX2 code kernels serve.
const Kernels avx512_kernels = {"avx512",          rows<double, true>, rows<double, false>,
                                rows<float, true>, rows<float, false>, &avx2_codes};
const Kernels avx512vnni_kernels = {"avx512vnni",      rows<double, true>, rows<double, false>,
                                    rows<float, true>, rows<float, false>, &vnni_codes};

}  // namespace orbisk
