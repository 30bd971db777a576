// Built with the AVX-512 VNNI set's flags (F, BW, VL and VNNI): vpdpbusd on
// 256-bit registers multiplies stored bytes by the query's signed codes and
// adds each four products into a 32-bit lane, exactly; the last step's bytes
// past the code are masked off. Eight records side by side, their sums
// gathered into one register at the end.
#include <immintrin.h>

#include <algorithm>

#include "graph/walk_kernels.h"

namespace orbisk {

namespace {

inline __m256i sums_of_eight(const __m256i* a) {
    const __m256i t01 = _mm256_hadd_epi32(a[0], a[1]), t23 = _mm256_hadd_epi32(a[2], a[3]);
    const __m256i t45 = _mm256_hadd_epi32(a[4], a[5]), t67 = _mm256_hadd_epi32(a[6], a[7]);
    const __m256i lo = _mm256_hadd_epi32(t01, t23), hi = _mm256_hadd_epi32(t45, t67);
    return _mm256_add_epi32(_mm256_permute2x128_si256(lo, hi, 0x20), _mm256_permute2x128_si256(lo, hi, 0x31));
}

void products(const std::uint8_t* base, const std::uint32_t* ids, std::size_t count, std::size_t stride,
              const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    const std::size_t steps = (bytes + 31) / 32;
    const __mmask32 last = bytes % 32 ? (__mmask32{1} << (bytes % 32)) - 1 : ~__mmask32{0};
    for (std::size_t i = 0; i < count; i += 8) {
        const std::size_t n = std::min<std::size_t>(8, count - i);
        __m256i acc[8];
        for (std::size_t r = 0; r < 8; ++r) acc[r] = _mm256_setzero_si256();
        for (std::size_t s = 0; s < steps; ++s) {
            const __mmask32 m = s + 1 == steps ? last : ~__mmask32{0};
            const __m256i w = _mm256_maskz_loadu_epi8(m, q + 32 * s);
            for (std::size_t r = 0; r < n; ++r) {
                const std::uint8_t* rec = base + std::size_t{ids[i + r]} * stride + 32 * s;
                acc[r] = _mm256_dpbusd_epi32(acc[r], _mm256_maskz_loadu_epi8(m, rec), w);
            }
        }
        alignas(32) std::int32_t sums[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sums_of_eight(acc));
        for (std::size_t r = 0; r < n; ++r) out[i + r] = sums[r];
    }
}

}  // namespace

const WalkKernels vnni_walk = {"vnni", products};

}  // namespace orbisk
