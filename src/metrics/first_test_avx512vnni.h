#pragma once
// The first test's eight rows and the single test's sixteen with AVX-512:
// the forms codes.h takes where AVX-512 is on (the VNNI and AMX tables'
// files), each comparison straight into a mask register. Lane for lane they
// evaluate first_excludes's and single_excludes's expressions (codes.h).
// Only codes.h includes this file, after what it uses.
#include <immintrin.h>

#include <cstdint>

namespace orbisk {

namespace {

template <MetricKind Kind>
inline std::uint32_t first_leaves8_avx512(const FirstTest& f, const QueryCode& q, const float* scales,
                                          const double* column, const std::int32_t* raw) {
    // (The zero-masked conversions: the plain ones start from an undefined
    // register, which gcc warns of.)
    const __m512d scale = _mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(scales));
    const __m512d p =
        _mm512_sub_pd(_mm512_maskz_cvtepi32_pd(0xFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(raw))),
                      _mm512_set1_pd(q.offset));
    const __m512d a = _mm512_mul_pd(scale, p);
    if constexpr (Kind == MetricKind::Dot) {
        return ~static_cast<std::uint32_t>(_mm512_cmp_pd_mask(a, _mm512_set1_pd(f.base), _CMP_GT_OQ)) & 0xFFu;
    } else {
        const __m512d b =
            _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(column), _mm512_set1_pd(f.slope)), _mm512_set1_pd(f.base));
        constexpr int below = _CMP_LT_OQ, above = _CMP_GT_OQ;
        return ~static_cast<std::uint32_t>(_mm512_cmp_pd_mask(a, b, Kind == MetricKind::Euclidean ? below : above)) &
               0xFFu;
    }
}

template <MetricKind Kind>
inline std::uint32_t single_leaves16_avx512(const SingleTest& f, std::int32_t offset, const float* scales,
                                            const double* column, const std::int32_t* raw) {
    const __m512i p = _mm512_sub_epi32(_mm512_loadu_si512(raw), _mm512_set1_epi32(offset));
    const __m512 a = _mm512_mul_ps(_mm512_loadu_ps(scales), _mm512_maskz_cvtepi32_ps(0xFFFF, p));
    if constexpr (Kind == MetricKind::Dot) {
        return ~static_cast<std::uint32_t>(_mm512_cmp_ps_mask(a, _mm512_set1_ps(f.base), _CMP_GT_OQ)) & 0xFFFFu;
    } else {
        const __m512d lo = _mm512_loadu_pd(column), hi = _mm512_loadu_pd(column + 8);
        const __m512d low_half =
            _mm512_maskz_insertf64x4(0xFF, _mm512_setzero_pd(), _mm256_castps_pd(_mm512_maskz_cvtpd_ps(0xFF, lo)), 0);
        const __m512 c = _mm512_castpd_ps(
            _mm512_maskz_insertf64x4(0xFF, low_half, _mm256_castps_pd(_mm512_maskz_cvtpd_ps(0xFF, hi)), 1));
        const __m512 b = _mm512_add_ps(_mm512_mul_ps(c, _mm512_set1_ps(f.slope)), _mm512_set1_ps(f.base));
        constexpr int below = _CMP_LT_OQ, above = _CMP_GT_OQ;
        return ~static_cast<std::uint32_t>(_mm512_cmp_ps_mask(a, b, Kind == MetricKind::Euclidean ? below : above)) &
               0xFFFFu;
    }
}

}  // namespace

}  // namespace orbisk
