// Built with -mavx512f (no FMA contraction: -ffp-contract=off): each lane
// does sub, mul, add as the sequential loop does.
#include <immintrin.h>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

constexpr std::size_t stride = 16;

bool squared_l2(const double* block, const double* q, std::size_t dim, double bound, double* out) {
    __m512d acc = _mm512_setzero_pd();
    const __m512d b = _mm512_set1_pd(bound);
    for (std::size_t i = 0; i < dim; ++i) {
        const __m512d d = _mm512_sub_pd(_mm512_set1_pd(q[i]), _mm512_loadu_pd(block + i * lanes));
        acc = _mm512_add_pd(acc, _mm512_mul_pd(d, d));
        if ((i + 1) % stride == 0 && i + 1 < dim) {
            if (_mm512_cmp_pd_mask(acc, b, _CMP_GE_OQ) == 0xFF) return false;
        }
    }
    _mm512_storeu_pd(out, acc);
    return true;
}

void dot(const double* block, const double* q, std::size_t dim, double* out) {
    __m512d acc = _mm512_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i) {
        acc = _mm512_add_pd(acc, _mm512_mul_pd(_mm512_set1_pd(q[i]), _mm512_loadu_pd(block + i * lanes)));
    }
    _mm512_storeu_pd(out, acc);
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

const Kernels avx512_kernels = {"avx512", squared_l2, dot, squared_l2_rows, dot_rows};

}  // namespace orbisk
