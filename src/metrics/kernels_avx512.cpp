// Built with -mavx512f (no FMA contraction: -ffp-contract=off): each lane
// does sub, mul, add as the sequential loop does.
#include <immintrin.h>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

// One accumulator per block, each block at its own position; N known at
// compile time so that the accumulators stay in registers.
template <std::size_t N>
void l2_slots(const double* const* blocks, const std::size_t* from, const double* q, std::size_t steps,
              double* acc) {
    __m512d a[N];
    const double* p[N];
    const double* qs[N];
    for (std::size_t s = 0; s < N; ++s) {
        a[s] = _mm512_loadu_pd(acc + s * lanes);
        p[s] = blocks[s] + from[s] * lanes;
        qs[s] = q + from[s];
    }
    for (std::size_t i = 0; i < steps; ++i) {
        for (std::size_t s = 0; s < N; ++s) {
            const __m512d d = _mm512_sub_pd(_mm512_set1_pd(qs[s][i]), _mm512_loadu_pd(p[s] + i * lanes));
            a[s] = _mm512_add_pd(a[s], _mm512_mul_pd(d, d));
        }
    }
    for (std::size_t s = 0; s < N; ++s) _mm512_storeu_pd(acc + s * lanes, a[s]);
}

void squared_l2_slots(const double* const* blocks, const std::size_t* from, std::size_t count,
                      const double* q, std::size_t steps, double* acc) {
    with_slot_count(count, [&]<std::size_t N>() { l2_slots<N>(blocks, from, q, steps, acc); });
}

template <std::size_t N>
void dot_n(const double* const* blocks, const double* q, std::size_t dim, double* out) {
    __m512d a[N];
    for (std::size_t s = 0; s < N; ++s) a[s] = _mm512_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m512d qi = _mm512_set1_pd(q[i]);
        for (std::size_t s = 0; s < N; ++s) a[s] = _mm512_add_pd(a[s], _mm512_mul_pd(qi, _mm512_loadu_pd(blocks[s] + i * lanes)));
    }
    for (std::size_t s = 0; s < N; ++s) _mm512_storeu_pd(out + s * lanes, a[s]);
}

void dot_blocks(const double* const* blocks, std::size_t count, const double* q, std::size_t dim, double* out) {
    with_slot_count(count, [&]<std::size_t N>() { dot_n<N>(blocks, q, dim, out); });
}

__m512d gather(__m512i idx, const double* base) {
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, idx, base, 8);
}

void squared_l2_rows(const double* base, const std::int64_t* offsets, const double* q, std::size_t from,
                     std::size_t to, double* acc) {
    const __m512i idx = _mm512_loadu_si512(offsets);
    __m512d sum = _mm512_loadu_pd(acc);
    for (std::size_t i = from; i < to; ++i) {
        const __m512d d = _mm512_sub_pd(_mm512_set1_pd(q[i]), gather(idx, base + i));
        sum = _mm512_add_pd(sum, _mm512_mul_pd(d, d));
    }
    _mm512_storeu_pd(acc, sum);
}

void dot_rows(const double* base, const std::int64_t* offsets, const double* q, std::size_t from,
              std::size_t to, double* acc) {
    const __m512i idx = _mm512_loadu_si512(offsets);
    __m512d sum = _mm512_loadu_pd(acc);
    for (std::size_t i = from; i < to; ++i) {
        sum = _mm512_add_pd(sum, _mm512_mul_pd(_mm512_set1_pd(q[i]), gather(idx, base + i)));
    }
    _mm512_storeu_pd(acc, sum);
}

}  // namespace

const Kernels avx512_kernels = {"avx512", squared_l2_slots, dot_blocks, squared_l2_rows, dot_rows};

}  // namespace orbisk
