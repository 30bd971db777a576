#include "hnsw/links.h"

#include <algorithm>

#include "common/memory.h"

namespace orbisk {

namespace {

// Slabs double from 16 chunks up to 8 Ki chunks (1 MiB), so that a small
// graph holds little and a large one allocates rarely.
constexpr std::size_t first_slab = 16, last_slab = 8192;

}  // namespace

void Links::add_node() {
    reserve_more(lists_, 1);
    lists_.emplace_back();
}

bool Links::ends_with(std::uint32_t node, std::uint32_t id) const {
    const List& list = lists_[node];
    if (list.size == 0) return false;
    const std::size_t last = list.size - 1;
    const Chunk* c = list.chunks[last / chunk];
    const std::size_t j = last % chunk;
    const std::uint32_t high = c->wide == narrow ? c->base : std::uint32_t{highs_[c->wide][j]} << 16;
    return (high | c->low[j]) == id;
}

Links::Chunk* Links::new_chunk() {
    if (slab_left_ == 0) {
        const std::size_t chunks = std::min(last_slab, first_slab << std::min<std::size_t>(slabs_.size(), 16));
        reserve_more(slabs_, 1);
        slabs_.emplace_back(new Chunk[chunks]);
        slab_left_ = chunks;
        slab_bytes_ += chunks * sizeof(Chunk);
    }
    const std::size_t chunks = std::min(last_slab, first_slab << std::min<std::size_t>(slabs_.size() - 1, 16));
    return slabs_.back().get() + (chunks - slab_left_--);
}

void Links::append(std::uint32_t node, std::uint32_t id, std::uint8_t code, std::uint32_t level) {
    List& list = lists_[node];
    const std::size_t at = list.size;
    if (at / chunk == list.chunks.size()) {
        reserve_more(list.chunks, 1);
        list.chunks.push_back(new_chunk());
    }
    Chunk* c = list.chunks[at / chunk];
    const std::size_t j = at % chunk;
    const std::uint32_t high = id & 0xFFFF0000u;
    if (j == 0) {
        c->reach[0] = c->reach[1] = 0;
        c->base = high;
        c->wide = narrow;
    }
    if (c->wide == narrow && high != c->base) {
        // The first id of this chunk with other high bits: keep them all.
        reserve_more(highs_, 1);
        highs_.emplace_back();
        highs_.back().fill(static_cast<std::uint16_t>(c->base >> 16));
        c->wide = static_cast<std::uint32_t>(highs_.size() - 1);
    }
    if (c->wide != narrow) highs_[c->wide][j] = static_cast<std::uint16_t>(id >> 16);
    const std::uint32_t bit = std::uint32_t{1} << j;
    c->low[j] = static_cast<std::uint16_t>(id);
    c->codes[j] = code;
    c->reach[0] = level >= 1 ? c->reach[0] | bit : c->reach[0] & ~bit;
    c->reach[1] = level >= 2 ? c->reach[1] | bit : c->reach[1] & ~bit;
    ++list.size;
}

std::vector<std::uint32_t> Links::list(std::uint32_t node) const {
    std::vector<std::uint32_t> out;
    out.reserve(lists_[node].size);
    for_each_run(node, [&](const Run& run) {
        for (std::size_t j = 0; j < run.size; ++j) out.push_back(run.id(j));
    });
    return out;
}

void Links::truncate(std::size_t nodes, std::uint32_t id) {
    if (lists_.size() > nodes) lists_.resize(nodes);
    for (std::uint32_t n = 0; n < lists_.size(); ++n) {
        if (!ends_with(n, id)) continue;
        List& list = lists_[n];
        const std::size_t last = --list.size;  // the chunk stays with the list
        for (std::uint32_t& r : list.chunks[last / chunk]->reach) r &= ~(std::uint32_t{1} << (last % chunk));
    }
}

std::size_t Links::bytes() const {
    std::size_t total = slab_bytes_ + lists_.capacity() * sizeof(List) + slabs_.capacity() * sizeof(void*) +
                        highs_.capacity() * sizeof(highs_[0]);
    for (const List& list : lists_) total += list.chunks.capacity() * sizeof(Chunk*);
    return total;
}

}  // namespace orbisk
