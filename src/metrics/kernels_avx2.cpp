// Built with -mavx2 only (no FMA): each lane does sub, mul, add as the
// sequential loop does.
#include <immintrin.h>

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

void squared_l2_rows(const double* base, const std::int64_t* offsets, const double* q, std::size_t from,
                     std::size_t to, double* acc) {
    const __m256i ilo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets));
    const __m256i ihi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets + 4));
    __m256d lo = _mm256_loadu_pd(acc), hi = _mm256_loadu_pd(acc + 4);
    for (std::size_t i = from; i < to; ++i) {
        const __m256d qi = _mm256_set1_pd(q[i]);
        const __m256d d0 = _mm256_sub_pd(qi, _mm256_i64gather_pd(base + i, ilo, 8));
        const __m256d d1 = _mm256_sub_pd(qi, _mm256_i64gather_pd(base + i, ihi, 8));
        lo = _mm256_add_pd(lo, _mm256_mul_pd(d0, d0));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(d1, d1));
    }
    _mm256_storeu_pd(acc, lo);
    _mm256_storeu_pd(acc + 4, hi);
}

void dot_rows(const double* base, const std::int64_t* offsets, const double* q, std::size_t from,
              std::size_t to, double* acc) {
    const __m256i ilo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets));
    const __m256i ihi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets + 4));
    __m256d lo = _mm256_loadu_pd(acc), hi = _mm256_loadu_pd(acc + 4);
    for (std::size_t i = from; i < to; ++i) {
        const __m256d qi = _mm256_set1_pd(q[i]);
        lo = _mm256_add_pd(lo, _mm256_mul_pd(qi, _mm256_i64gather_pd(base + i, ilo, 8)));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(qi, _mm256_i64gather_pd(base + i, ihi, 8)));
    }
    _mm256_storeu_pd(acc, lo);
    _mm256_storeu_pd(acc + 4, hi);
}

}  // namespace

const Kernels avx2_kernels = {"avx2", squared_l2_slots, dot_blocks, squared_l2_rows, dot_rows};

}  // namespace orbisk
