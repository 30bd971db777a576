#pragma once
// The rows a flat search may return, as a range and optional bits, and the
// walks over them in id order that every scan takes.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orbisk {

/// The rows a search may return: those of [from, to) whose bit is set in
/// `bits` (every one of them when `bits` and `list` are null), or the
/// `list` of ascending ids within [from, to); `count` of them. A list is
/// only made of few rows: a set with a list is scattered.
struct RowSet {
    std::size_t from = 0, to = 0;
    const std::uint64_t* bits = nullptr;
    std::size_t count = 0;
    const std::uint32_t* list = nullptr;
    bool has(std::size_t id) const { return !bits || (bits[id / 64] >> (id % 64) & 1); }
    /// Fewer than one row in eight of the range: computing each in full
    /// costs less than screening the code blocks they lie in.
    bool scattered() const { return list || (bits && count * 8 < to - from); }
};

/// The rows of `live` (every row from 0 to live.to, or those whose bit is
/// set) whose byte of `admit` (one per row) is not zero, their bits in
/// `words`.
RowSet admitted_rows(const RowSet& live, const std::uint8_t* admit, std::vector<std::uint64_t>& words);

/// The rows of `live` among the ascending ids `ids` (all below live.to):
/// as the list `ids` itself, with the rows `live` lacks dropped from it,
/// when they are few enough to be scattered; else as bits in `words`. The
/// same rows, searched alike, as the mask admitting exactly `ids`.
RowSet listed_rows(const RowSet& live, std::vector<std::uint32_t>& ids, std::vector<std::uint64_t>& words);

/// Up to 64 bits of `words` from bit `first` on (bits past `limit`: zero).
inline std::uint64_t bits_from(const std::uint64_t* words, std::size_t first, std::size_t limit) {
    const std::size_t w = first / 64, shift = first % 64;
    std::uint64_t v = words[w] >> shift;
    if (shift && (w + 1) * 64 < limit) v |= words[w + 1] << (64 - shift);
    const std::size_t n = limit - first;
    return n >= 64 ? v : v & ((std::uint64_t{1} << n) - 1);
}

/// Calls f(id) for each row of `set`, in order.
template <class F>
void each_row(const RowSet& set, F&& f) {
    if (set.list) {
        for (std::size_t i = 0; i < set.count; ++i) f(std::size_t{set.list[i]});
        return;
    }
    if (!set.bits) {
        for (std::size_t id = set.from; id < set.to; ++id) f(id);
        return;
    }
    for (std::size_t first = set.from; first < set.to; first += 64) {
        for (std::uint64_t w = bits_from(set.bits, first, set.to); w; w &= w - 1) {
            f(first + static_cast<std::size_t>(std::countr_zero(w)));
        }
    }
}

}  // namespace orbisk
