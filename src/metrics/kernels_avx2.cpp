// Built with -mavx2 only (no FMA): each lane does sub, mul, add as the
// sequential loop does.
#include <immintrin.h>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

constexpr std::size_t stride = 16;

bool squared_l2(const double* block, const double* q, std::size_t dim, double bound, double* out) {
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    const __m256d b = _mm256_set1_pd(bound);
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256d qi = _mm256_set1_pd(q[i]);
        const double* col = block + i * lanes;
        const __m256d d0 = _mm256_sub_pd(qi, _mm256_loadu_pd(col));
        const __m256d d1 = _mm256_sub_pd(qi, _mm256_loadu_pd(col + 4));
        lo = _mm256_add_pd(lo, _mm256_mul_pd(d0, d0));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(d1, d1));
        if ((i + 1) % stride == 0 && i + 1 < dim) {
            const __m256d ge = _mm256_and_pd(_mm256_cmp_pd(lo, b, _CMP_GE_OQ), _mm256_cmp_pd(hi, b, _CMP_GE_OQ));
            if (_mm256_movemask_pd(ge) == 0xF) return false;
        }
    }
    _mm256_storeu_pd(out, lo);
    _mm256_storeu_pd(out + 4, hi);
    return true;
}

void dot(const double* block, const double* q, std::size_t dim, double* out) {
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256d qi = _mm256_set1_pd(q[i]);
        const double* col = block + i * lanes;
        lo = _mm256_add_pd(lo, _mm256_mul_pd(qi, _mm256_loadu_pd(col)));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(qi, _mm256_loadu_pd(col + 4)));
    }
    _mm256_storeu_pd(out, lo);
    _mm256_storeu_pd(out + 4, hi);
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

const Kernels avx2_kernels = {"avx2", squared_l2, dot, squared_l2_rows, dot_rows};

}  // namespace orbisk
