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
    return list.chunks[last / chunk]->ids[last % chunk] == id;
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
        Chunk* fresh = new_chunk();
        fresh->reach[0] = fresh->reach[1] = 0;
        list.chunks.push_back(fresh);
    }
    Chunk* c = list.chunks[at / chunk];
    const std::uint32_t bit = std::uint32_t{1} << (at % chunk);
    c->ids[at % chunk] = id;
    c->codes[at % chunk] = code;
    c->reach[0] = level >= 1 ? c->reach[0] | bit : c->reach[0] & ~bit;
    c->reach[1] = level >= 2 ? c->reach[1] | bit : c->reach[1] & ~bit;
    ++list.size;
}

std::vector<std::uint32_t> Links::list(std::uint32_t node) const {
    std::vector<std::uint32_t> out;
    out.reserve(lists_[node].size);
    for_each_run(node, [&](const Run& run) { out.insert(out.end(), run.ids, run.ids + run.size); });
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
    std::size_t total = slab_bytes_ + lists_.capacity() * sizeof(List) + slabs_.capacity() * sizeof(void*);
    for (const List& list : lists_) total += list.chunks.capacity() * sizeof(Chunk*);
    return total;
}

}  // namespace orbisk
