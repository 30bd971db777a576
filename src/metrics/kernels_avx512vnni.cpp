// Built with -mavx512f -mavx512bw -mavx512vnni: code products by vpdpbusd,
// which multiplies unsigned stored bytes by signed query codes and adds
// each four products into a 32-bit lane, exactly.
#include <immintrin.h>

#include <cstring>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

// Four blocks at a time, each lane one row, each group one instruction.
template <std::size_t N>
void blocks_n(const std::uint8_t* blocks, std::size_t groups, const std::int8_t* q, std::int32_t* out) {
    __m512i acc[N];
    for (std::size_t b = 0; b < N; ++b) acc[b] = _mm512_setzero_si512();
    const std::size_t block_bytes = groups * code_lanes * 4;
    for (std::size_t g = 0; g < groups; ++g) {
        std::int32_t word;
        std::memcpy(&word, q + g * 4, 4);
        const __m512i qg = _mm512_set1_epi32(word);
        for (std::size_t b = 0; b < N; ++b) {
            const __m512i v = _mm512_loadu_si512(blocks + b * block_bytes + g * code_lanes * 4);
            acc[b] = _mm512_dpbusd_epi32(acc[b], v, qg);
        }
    }
    for (std::size_t b = 0; b < N; ++b) _mm512_storeu_si512(out + b * code_lanes, acc[b]);
}

constexpr auto code_blocks = four_then_one<blocks_n<4>, blocks_n<1>>;

// Four rows side by side, 64 bytes at a time, the last chunk masked.
void code_rows(const std::uint8_t* base, const std::uint32_t* rows, std::size_t count, std::size_t stride,
               const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    std::size_t i = 0;
    for (; i < count; i += 4) {
        const std::size_t n = count - i < 4 ? count - i : 4;
        const std::uint8_t* row[4];
        for (std::size_t k = 0; k < 4; ++k) row[k] = base + std::size_t{rows[i + (k < n ? k : 0)]} * stride;
        __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                          _mm512_setzero_si512()};
        for (std::size_t j = 0; j < bytes; j += 64) {
            const __mmask64 m = bytes - j >= 64 ? ~__mmask64{0} : (__mmask64{1} << (bytes - j)) - 1;
            const __m512i w = _mm512_maskz_loadu_epi8(m, q + j);
            for (std::size_t k = 0; k < 4; ++k) {
                acc[k] = _mm512_dpbusd_epi32(acc[k], _mm512_maskz_loadu_epi8(m, row[k] + j), w);
            }
        }
        for (std::size_t k = 0; k < n; ++k) {
            const __m256i half = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xFF, acc[k], 0),
                                                  _mm512_maskz_extracti64x4_epi64(0xFF, acc[k], 1));
            const __m128i quarter = _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
            const __m128i pairs = _mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, 0x4E));
            out[i + k] = _mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, 0xB1)));
        }
    }
}

}  // namespace

void vnni_code_blocks(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q,
                      std::int32_t* out) {
    code_blocks(blocks, count, groups, q, out);
}

void vnni_code_rows(const std::uint8_t* base, const std::uint32_t* rows, std::size_t count, std::size_t stride,
                    const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    code_rows(base, rows, count, stride, q, bytes, out);
}

const CodeKernels vnni_codes = {"vnni",  127,         code_blocks,      code_rows,
                                nullptr, screen_rows, first_leaves8_of, single_leaves16_of};

}  // namespace orbisk
