// Built with -mavx512f.
#include <immintrin.h>

#include "hnsw/visit.h"

namespace orbisk {

namespace {

// Sixteen ids at a time: stamps gathered and compared, the new ones stamped
// by a scatter and compressed out in list order with their codes.
std::size_t visit_run(const std::uint16_t* low, std::uint32_t base, const std::uint16_t* high,
                      const std::uint8_t* run_codes, std::size_t size, std::uint32_t use, std::uint32_t* stamps,
                      std::uint32_t generation, std::uint32_t* ids, std::uint8_t* codes) {
    const __m512i gen = _mm512_set1_epi32(static_cast<int>(generation));
    std::size_t added = 0;
    for (std::size_t j = 0; j < size; j += 16) {
        const __mmask16 live = static_cast<__mmask16>((size - j >= 16 ? 0xFFFFu : (1u << (size - j)) - 1) & (use >> j));
        if (live == 0) continue;
        __m512i v = _mm512_maskz_cvtepu16_epi32(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(low + j)));
        if (high) {
            const __m512i h =
                _mm512_maskz_cvtepu16_epi32(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(high + j)));
            v = _mm512_or_si512(v, _mm512_maskz_slli_epi32(0xFFFF, h, 16));
        } else {
            v = _mm512_or_si512(v, _mm512_set1_epi32(static_cast<int>(base)));
        }
        const __m512i seen = _mm512_mask_i32gather_epi32(gen, live, v, stamps, 4);
        const __mmask16 fresh = _mm512_mask_cmpneq_epi32_mask(live, seen, gen);
        if (fresh == 0) continue;
        _mm512_mask_i32scatter_epi32(stamps, fresh, v, gen, 4);
        _mm512_mask_compressstoreu_epi32(ids + added, fresh, v);
        const __m512i c =
            _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(run_codes + j)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + added),
                         _mm512_maskz_cvtepi32_epi8(0xFFFF, _mm512_maskz_compress_epi32(fresh, c)));
        added += static_cast<std::size_t>(__builtin_popcount(fresh));
    }
    return added;
}

}  // namespace

const VisitKernels avx512_visit = {"avx512", visit_run};

}  // namespace orbisk
