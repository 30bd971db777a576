// Built with -mavx2.
#include <immintrin.h>

#include <algorithm>

#include "hnsw/visit.h"

namespace orbisk {

namespace {

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
        const __m256i bits =
            _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(live)), _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1));
        const __m256i mask = _mm256_cmpeq_epi32(bits, _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1));
        const __m256i seen = _mm256_mask_i32gather_epi32(gen, reinterpret_cast<const int*>(stamps), v, mask, 4);
        unsigned fresh =
            ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(seen, gen)))) & live;
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

const VisitKernels avx2_visit = {"avx2", visit_run};

}  // namespace orbisk
