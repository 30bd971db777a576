#include "flat/row_set.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orbisk {

RowSet admitted_rows(const RowSet& live, const std::uint8_t* admit, std::vector<std::uint64_t>& words) {
    const std::size_t rows = live.to;
    words.assign((rows + 63) / 64, 0);
    std::size_t count = 0;
    // Eight bytes at a time: each byte's "not zero" into its top bit, the
    // eight top bits gathered into one byte by a multiply (no two partial
    // products meet), then the live rows' bits.
    constexpr std::uint64_t low7 = 0x7f7f7f7f7f7f7f7full, top = 0x8080808080808080ull;
    for (std::size_t w = 0; w < words.size(); ++w) {
        std::uint64_t bits = 0;
        const std::size_t first = w * 64, n = std::min<std::size_t>(64, rows - first);
        auto eight = [&](std::uint64_t x, std::size_t b) {
            const std::uint64_t nonzero = (((x & low7) + low7) | x) & top;
            bits |= ((nonzero >> 7) * 0x0102040810204080ull) >> 56 << b;
        };
        if (n == 64) {
#if defined(__SSE2__)
            // Sixteen bytes a compare: the zero bytes' flags, inverted.
            const __m128i zero = _mm_setzero_si128();
            for (std::size_t b = 0; b < 64; b += 16) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(admit + first + b));
                const auto zeros = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero)));
                bits |= std::uint64_t{~zeros & 0xffffu} << b;
            }
#else
            std::uint64_t x[8];
            std::memcpy(x, admit + first, 64);
            for (std::size_t b = 0; b < 8; ++b) eight(x[b], 8 * b);
#endif
        } else {
            for (std::size_t b = 0; b < n; b += 8) {
                std::uint64_t x = 0;
                std::memcpy(&x, admit + first + b, std::min<std::size_t>(8, n - b));
                eight(x, b);
            }
        }
        if (live.bits) bits &= live.bits[w];
        words[w] = bits;
        count += static_cast<std::size_t>(std::popcount(bits));
    }
    return {0, rows, words.data(), count};
}

RowSet listed_rows(const RowSet& live, std::vector<std::uint32_t>& ids, std::vector<std::uint64_t>& words) {
    if (live.bits) std::erase_if(ids, [&](std::uint32_t id) { return !live.has(id); });
    const RowSet listed{0, live.to, nullptr, ids.size(), ids.data()};
    if (listed.count == 0 || listed.count * 8 < live.to) return listed;
    words.assign((live.to + 63) / 64, 0);
    for (const std::uint32_t id : ids) words[id / 64] |= std::uint64_t{1} << (id % 64);
    return {0, live.to, words.data(), ids.size()};
}

}  // namespace orbisk
