// Built with -mavx2: bytes widened to 16 bits and multiplied by the query's
// codes in pairs (vpmaddwd: 2 * 255 * 127 fits, nothing saturates). Eight
// records side by side, their eight sums gathered into one register at the
// end; the query's codes widened once per call.
#include <immintrin.h>

#include <algorithm>

#include "graph/walk_kernels.h"

namespace orbisk {

namespace {

/// The eight lane sums of a[0..7], in one register: lane r is a[r]'s sum.
inline __m256i sums_of_eight(const __m256i* a) {
    const __m256i t01 = _mm256_hadd_epi32(a[0], a[1]), t23 = _mm256_hadd_epi32(a[2], a[3]);
    const __m256i t45 = _mm256_hadd_epi32(a[4], a[5]), t67 = _mm256_hadd_epi32(a[6], a[7]);
    const __m256i lo = _mm256_hadd_epi32(t01, t23), hi = _mm256_hadd_epi32(t45, t67);
    return _mm256_add_epi32(_mm256_permute2x128_si256(lo, hi, 0x20), _mm256_permute2x128_si256(lo, hi, 0x31));
}

void products(const std::uint8_t* base, const std::uint32_t* ids, std::size_t count, std::size_t stride,
              const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    // 16 bytes a step; the last step's words past `bytes` masked off (bytes
    // is a multiple of four), so no byte past a record's code is read.
    const std::size_t steps = (bytes + 15) / 16;
    constexpr std::size_t most = 64;  // steps the widened query holds: the codes of 1,024 elements
    __m256i qw[most];
    const std::size_t held = std::min(steps, most);
    for (std::size_t s = 0; s < held; ++s) {
        const std::size_t words = std::min<std::size_t>(4, (bytes - 16 * s) / 4);
        const __m128i m = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(words)), _mm_setr_epi32(0, 1, 2, 3));
        qw[s] = _mm256_cvtepi8_epi16(_mm_maskload_epi32(reinterpret_cast<const int*>(q + 16 * s), m));
    }
    for (std::size_t i = 0; i < count; i += 8) {
        const std::size_t n = std::min<std::size_t>(8, count - i);
        __m256i acc[8];
        for (std::size_t r = 0; r < 8; ++r) acc[r] = _mm256_setzero_si256();
        for (std::size_t s = 0; s < steps; ++s) {
            const std::size_t words = std::min<std::size_t>(4, (bytes - 16 * s) / 4);
            const __m128i m = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(words)), _mm_setr_epi32(0, 1, 2, 3));
            const __m256i w =
                s < most ? qw[s]
                         : _mm256_cvtepi8_epi16(_mm_maskload_epi32(reinterpret_cast<const int*>(q + 16 * s), m));
            for (std::size_t r = 0; r < n; ++r) {
                const std::uint8_t* rec = base + std::size_t{ids[i + r]} * stride + 16 * s;
                const __m256i v = _mm256_cvtepu8_epi16(_mm_maskload_epi32(reinterpret_cast<const int*>(rec), m));
                acc[r] = _mm256_add_epi32(acc[r], _mm256_madd_epi16(v, w));
            }
        }
        alignas(32) std::int32_t sums[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sums_of_eight(acc));
        for (std::size_t r = 0; r < n; ++r) out[i + r] = sums[r];
    }
}

}  // namespace

const WalkKernels avx2_walk = {"avx2", products};

}  // namespace orbisk
