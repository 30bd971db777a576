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
    return list.chunks[last / chunk][last % chunk] == id;
}

std::uint32_t* Links::new_chunk() {
    if (slab_left_ == 0) {
        const std::size_t chunks = std::min(last_slab, first_slab << std::min<std::size_t>(slabs_.size(), 16));
        reserve_more(slabs_, 1);
        slabs_.emplace_back(new std::uint32_t[chunks * chunk]);
        slab_left_ = chunks;
        slab_bytes_ += chunks * chunk * sizeof(std::uint32_t);
    }
    const std::size_t chunks = std::min(last_slab, first_slab << std::min<std::size_t>(slabs_.size() - 1, 16));
    return slabs_.back().get() + (chunks - slab_left_--) * chunk;
}

void Links::append(std::uint32_t node, std::uint32_t id) {
    List& list = lists_[node];
    const std::size_t at = list.size;
    if (at / chunk == list.chunks.size()) {
        reserve_more(list.chunks, 1);
        list.chunks.push_back(new_chunk());
    }
    list.chunks[at / chunk][at % chunk] = id;
    ++list.size;
}

std::vector<std::uint32_t> Links::list(std::uint32_t node) const {
    std::vector<std::uint32_t> out;
    out.reserve(lists_[node].size);
    for_each_run(node, [&](std::span<const std::uint32_t> run) { out.insert(out.end(), run.begin(), run.end()); });
    return out;
}

void Links::truncate(std::size_t nodes, std::uint32_t id) {
    if (lists_.size() > nodes) lists_.resize(nodes);
    for (std::uint32_t n = 0; n < lists_.size(); ++n) {
        if (ends_with(n, id)) --lists_[n].size;  // the chunk stays with the list
    }
}

std::size_t Links::bytes() const {
    std::size_t total = slab_bytes_ + lists_.capacity() * sizeof(List) + slabs_.capacity() * sizeof(void*);
    for (const List& list : lists_) total += list.chunks.capacity() * sizeof(std::uint32_t*);
    return total;
}

}  // namespace orbisk
