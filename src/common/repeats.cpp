#include "common/repeats.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace orbisk {

namespace {

/// Mixes a 64-bit word so that every input bit reaches every output bit
/// (two multiply-xorshift rounds).
inline std::uint64_t mixed(std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ULL;
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ULL;
    return x ^ (x >> 32);
}

inline std::uint64_t text_hash(const std::uint8_t* p, std::size_t len) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ len;
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xbf58476d1ce4e5b9ULL;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    if (len > i) std::memcpy(&tail, p + i, len - i);  // fewer than 8 bytes
    return mixed(h ^ tail);
}

/// A slot of the table: a text's position + 1 (0: empty) and 32 of the hash
/// bits its place does not use, compared before the bytes are.
struct Slot {
    std::uint32_t tag, at;
};

}  // namespace

std::size_t first_repeat(const std::uint8_t* blob, const std::int64_t* ends, std::size_t n, Interrupt interrupt) {
    auto start = [&](std::size_t i) { return i ? static_cast<std::size_t>(ends[i - 1]) : std::size_t{0}; };
    // At most half the slots used: a probe ends soon.
    const std::size_t size = std::bit_ceil(std::max<std::size_t>(2 * n, 16)), last = size - 1;
    const int shift = std::countr_zero(size);
    std::vector<Slot> slots(size, Slot{0, 0});
    // The table is larger than the caches: each text's slot is asked from
    // memory `ahead` texts before it is probed.
    constexpr std::size_t ahead = 16;
    std::uint64_t hashes[ahead];
    auto hash_of = [&](std::size_t i) {
        const std::size_t from = start(i);
        const std::uint64_t h = text_hash(blob + from, static_cast<std::size_t>(ends[i]) - from);
        __builtin_prefetch(&slots[h & last]);
        return h;
    };
    for (std::size_t i = 0; i < std::min(n, ahead); ++i) hashes[i] = hash_of(i);
    for (std::size_t i = 0; i < n; ++i) {
        interrupt.step(1);
        const std::uint64_t h = hashes[i % ahead];
        if (i + ahead < n) hashes[i % ahead] = hash_of(i + ahead);
        const std::size_t from = start(i), length = static_cast<std::size_t>(ends[i]) - from;
        const auto tag = static_cast<std::uint32_t>(h >> (shift < 32 ? 32 : shift));
        for (std::size_t place = h & last;; place = (place + 1) & last) {
            Slot& s = slots[place];
            if (s.at == 0) {
                s = Slot{tag, static_cast<std::uint32_t>(i + 1)};
                break;
            }
            if (s.tag != tag) continue;
            const std::size_t j = static_cast<std::size_t>(s.at) - 1, other = start(j);
            if (static_cast<std::size_t>(ends[j]) - other == length &&
                std::memcmp(blob + other, blob + from, length) == 0) {
                return i;
            }
        }
    }
    return n;
}

}  // namespace orbisk
