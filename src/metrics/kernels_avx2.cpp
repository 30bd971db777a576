// Built with -mavx2 only (no FMA): each lane does sub, mul, add as the
// sequential loop does.
#include <immintrin.h>

#include <algorithm>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

// Two accumulators per block (its lanes 0-3 and 4-7), each block at its own
// position; N known at compile time so that they stay in registers.
template <std::size_t N>
void l2_slots(const double* const* blocks, const std::size_t* from, const double* q, std::size_t steps,
              double* acc) {
    __m256d lo[N], hi[N];
    const double* p[N];
    const double* qs[N];
    for (std::size_t s = 0; s < N; ++s) {
        lo[s] = _mm256_loadu_pd(acc + s * lanes);
        hi[s] = _mm256_loadu_pd(acc + s * lanes + 4);
        p[s] = blocks[s] + from[s] * lanes;
        qs[s] = q + from[s];
    }
    for (std::size_t i = 0; i < steps; ++i) {
        for (std::size_t s = 0; s < N; ++s) {
            const __m256d qi = _mm256_set1_pd(qs[s][i]);
            const __m256d d0 = _mm256_sub_pd(qi, _mm256_loadu_pd(p[s] + i * lanes));
            const __m256d d1 = _mm256_sub_pd(qi, _mm256_loadu_pd(p[s] + i * lanes + 4));
            lo[s] = _mm256_add_pd(lo[s], _mm256_mul_pd(d0, d0));
            hi[s] = _mm256_add_pd(hi[s], _mm256_mul_pd(d1, d1));
        }
    }
    for (std::size_t s = 0; s < N; ++s) {
        _mm256_storeu_pd(acc + s * lanes, lo[s]);
        _mm256_storeu_pd(acc + s * lanes + 4, hi[s]);
    }
}

void squared_l2_slots(const double* const* blocks, const std::size_t* from, std::size_t count,
                      const double* q, std::size_t steps, double* acc) {
    with_slot_count(count, [&]<std::size_t N>() { l2_slots<N>(blocks, from, q, steps, acc); });
}

template <std::size_t N>
void dot_n(const double* const* blocks, const double* q, std::size_t dim, double* out) {
    __m256d lo[N], hi[N];
    for (std::size_t s = 0; s < N; ++s) lo[s] = hi[s] = _mm256_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256d qi = _mm256_set1_pd(q[i]);
        for (std::size_t s = 0; s < N; ++s) {
            const double* col = blocks[s] + i * lanes;
            lo[s] = _mm256_add_pd(lo[s], _mm256_mul_pd(qi, _mm256_loadu_pd(col)));
            hi[s] = _mm256_add_pd(hi[s], _mm256_mul_pd(qi, _mm256_loadu_pd(col + 4)));
        }
    }
    for (std::size_t s = 0; s < N; ++s) {
        _mm256_storeu_pd(out + s * lanes, lo[s]);
        _mm256_storeu_pd(out + s * lanes + 4, hi[s]);
    }
}

void dot_blocks(const double* const* blocks, std::size_t count, const double* q, std::size_t dim, double* out) {
    with_slot_count(count, [&]<std::size_t N>() { dot_n<N>(blocks, q, dim, out); });
}

// Elements at..at+3 of four row-major rows, transposed: e[k] holds element
// at + k of the four rows. Lanes beyond `count` are zero.
[[gnu::always_inline]] inline void transpose4(const double* base, const std::int64_t* offsets, std::size_t at,
                                              std::size_t count, __m256d* e) {
    const __m256i mask = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)), _mm256_set_epi64x(3, 2, 1, 0));
    __m256d r[4];
    for (int j = 0; j < 4; ++j) r[j] = _mm256_maskload_pd(base + offsets[j] + at, mask);
    const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
    const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
    e[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    e[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    e[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    e[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Each group is two chains of four rows (lanes 0-3 and 4-7).
template <std::size_t N, bool Euclidean>
void rows_n(const double* base, const std::int64_t* offsets, const double* q, std::size_t from, std::size_t to,
            double* acc) {
    __m256d sum[2 * N];
    for (std::size_t h = 0; h < 2 * N; ++h) sum[h] = _mm256_loadu_pd(acc + h * 4);
    for (std::size_t i = from; i < to; i += 4) {
        const std::size_t count = std::min<std::size_t>(4, to - i);
        for (std::size_t h = 0; h < 2 * N; ++h) {
            __m256d e[4];
            transpose4(base, offsets + h * 4, i, count, e);
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
    for (std::size_t h = 0; h < 2 * N; ++h) _mm256_storeu_pd(acc + h * 4, sum[h]);
}

void squared_l2_rows(const double* base, const std::int64_t* offsets, std::size_t groups, const double* q,
                     std::size_t from, std::size_t to, double* acc) {
    with_slot_count(groups, [&]<std::size_t N>() { rows_n<N, true>(base, offsets, q, from, to, acc); });
}

void dot_rows(const double* base, const std::int64_t* offsets, std::size_t groups, const double* q,
              std::size_t from, std::size_t to, double* acc) {
    with_slot_count(groups, [&]<std::size_t N>() { rows_n<N, false>(base, offsets, q, from, to, acc); });
}

// Eight stamps gathered and compared at a time; the few new ids are then
// taken one by one.
std::size_t visit_run(const std::uint16_t* low, std::uint32_t base, const std::uint16_t* high,
                      const std::uint8_t* run_codes, std::size_t size, std::uint32_t use, std::uint32_t* stamps,
                      std::uint32_t generation, std::uint32_t* ids, std::uint8_t* codes) {
    const __m256i gen = _mm256_set1_epi32(static_cast<int>(generation));
    std::size_t added = 0;
    for (std::size_t j = 0; j < size; j += 8) {
        __m256i v = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low + j)));
        if (high) {
            const __m256i h = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(high + j)));
            v = _mm256_or_si256(v, _mm256_slli_epi32(h, 16));
        } else {
            v = _mm256_or_si256(v, _mm256_set1_epi32(static_cast<int>(base)));
        }
        const int left = static_cast<int>(std::min<std::size_t>(size - j, 8));
        const unsigned live = ((1u << left) - 1) & (use >> j);
        if (live == 0) continue;
        // Lane r of the mask is all ones when bit r of `live` is set.
        const __m256i bits = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(live)), _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1));
        const __m256i mask = _mm256_cmpeq_epi32(bits, _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1));
        const __m256i seen = _mm256_mask_i32gather_epi32(gen, reinterpret_cast<const int*>(stamps), v, mask, 4);
        unsigned fresh = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(seen, gen)))) & live;
        alignas(32) std::uint32_t lane_ids[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lane_ids), v);
        for (; fresh != 0; fresh &= fresh - 1) {
            const int r = __builtin_ctz(fresh);
            stamps[lane_ids[r]] = generation;
            ids[added] = lane_ids[r];
            codes[added++] = run_codes[j + static_cast<std::size_t>(r)];
        }
    }
    return added;
}

}  // namespace

const Kernels avx2_kernels = {"avx2", squared_l2_slots, dot_blocks, squared_l2_rows, dot_rows, visit_run};

}  // namespace orbisk
