// Built with -mavx2: 32 bytes a step by vpmaddubsw, which multiplies unsigned
// bytes by signed ones and adds each two products in 16 bits, saturating. A
// stored byte b is taken as c = b - 128 (its top bit flipped), and c * a as
// |c| times a with c's sign (vpabsb, vpsignb): |c| <= 128 and |a| <= 127, so
// each pair is at most 2 * 128 * 127 = 32512 in magnitude and never
// saturates; vpmaddwd by ones then adds pairs of pairs into 32-bit lanes.
// The sum of c * a plus 128 * sum a is the table's product, exactly. Eight
// records side by side, their eight sums gathered into one register at the
// end; the query's codes loaded once per call.
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

/// The words of 32 bytes from `step` on that lie within `bytes` (a multiple
/// of four): all eight but on the last step.
inline __m256i words_within(std::size_t bytes, std::size_t step) {
    const int words = static_cast<int>(std::min<std::size_t>(8, (bytes - 32 * step) / 4));
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(words), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

void products(const std::uint8_t* base, const std::uint32_t* ids, std::size_t count, std::size_t stride,
              const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    const std::size_t steps = (bytes + 31) / 32;
    const __m256i mask = words_within(bytes, steps - 1);  // of the last step: no byte past `bytes` is read
    constexpr std::size_t most = 32;                      // steps the split query holds: 1,024 elements
    __m256i codes[most];
    const std::size_t held = std::min(steps, most);
    auto query_step = [&](std::size_t s) {
        const __m256i m = s + 1 == steps ? mask : _mm256_set1_epi32(-1);
        return _mm256_maskload_epi32(reinterpret_cast<const int*>(q + 32 * s), m);
    };
    std::int32_t lifted = 0;  // 128 * sum a: what the stored bytes' +128 adds
    for (std::size_t j = 0; j < bytes; ++j) lifted += 128 * q[j];
    for (std::size_t s = 0; s < held; ++s) codes[s] = query_step(s);
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80)), ones = _mm256_set1_epi16(1);
    for (std::size_t i = 0; i < count; i += 8) {
        const std::size_t n = std::min<std::size_t>(8, count - i);
        __m256i acc[8];
        for (std::size_t r = 0; r < 8; ++r) acc[r] = _mm256_setzero_si256();
        for (std::size_t s = 0; s < steps; ++s) {
            const __m256i a = s < most ? codes[s] : query_step(s);
            for (std::size_t r = 0; r < n; ++r) {
                const auto* rec = reinterpret_cast<const int*>(base + std::size_t{ids[i + r]} * stride + 32 * s);
                const __m256i v = s + 1 == steps ? _mm256_maskload_epi32(rec, mask)
                                                 : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rec));
                // A byte masked off reads as c = -128 against a query code 0.
                const __m256i c = _mm256_xor_si256(v, flip);
                const __m256i pairs = _mm256_maddubs_epi16(_mm256_abs_epi8(c), _mm256_sign_epi8(a, c));
                acc[r] = _mm256_add_epi32(acc[r], _mm256_madd_epi16(pairs, ones));
            }
        }
        alignas(32) std::int32_t sums[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sums_of_eight(acc));
        for (std::size_t r = 0; r < n; ++r) out[i + r] = sums[r] + lifted;
    }
}

}  // namespace

const WalkKernels avx2_walk = {"avx2", products};

}  // namespace orbisk
