// Construction: each row walks down from the entry point to its own level,
// and on each layer from there to the bottom links to the nodes the pruning
// heuristic keeps of the ef_construction nearest it found; each of those
// links back, pruning its own list again when it is full.
//
// Rows are linked on several threads at once. Each list is read and written
// under its node's lock, and a thread holds one lock at a time. A row's walks
// come first and its writes after, and its walks allocate nothing (their
// room is made before the build starts): a row taken by a thread is linked
// whole, so whatever stops a build leaves the rows taken so far linked.

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <optional>

#include "common/interrupt.h"
#include "common/pool.h"
#include "graph/graph.h"
#include "graph/scratch.h"

namespace orbisk {

void Graph::select(Scratch& s, std::span<const Candidate> candidates, std::size_t cap,
                   std::vector<std::uint32_t>& kept) const {
    // A candidate is kept when it is closer to the base than to every node
    // kept before it: a nearer kept node would lead a walk to it anyway, and
    // the links go to other directions instead. NaN is never closer.
    kept.clear();
    for (const Candidate& c : candidates) {
        if (kept.size() >= cap) break;
        bool closer = true;
        if (!kept.empty()) {
            code_row(s.other, c.id);
            s.near.resize(kept.size());
            s.raw.resize(kept.size());
            code_distances(s, s.other, kept.data(), kept.size(), s.near.data());
            for (std::size_t j = 0; j < kept.size() && closer; ++j) closer = c.distance < s.near[j];
        }
        if (closer) kept.push_back(c.id);
    }
}

void Graph::set_list(std::uint32_t node, std::uint32_t layer, std::span<const std::uint32_t> ids) {
    std::uint32_t* l = list(node, layer);
    std::copy(ids.begin(), ids.end(), l);
    std::fill(l + ids.size(), l + capacity(layer), no_link);
}

void Graph::link_back(Scratch& s, Build& b, std::uint32_t from, std::uint32_t to, std::uint32_t layer) {
    std::lock_guard lock(b.lock_of(from));
    std::uint32_t* l = list(from, layer);
    const std::uint32_t cap = capacity(layer);
    std::uint32_t n = 0;
    while (n < cap && l[n] != no_link) ++n;
    if (n < cap) {
        l[n] = to;
        return;
    }
    // Full: the list and the new node, pruned again from `from`.
    s.links.assign(l, l + cap);
    s.links.push_back(to);
    code_row(s.base, from);
    s.near.resize(s.links.size());
    s.raw.resize(s.links.size());
    code_distances(s, s.base, s.links.data(), s.links.size(), s.near.data());
    s.pool.clear();
    for (std::size_t i = 0; i < s.links.size(); ++i) s.pool.push_back({s.near[i], s.links[i]});
    std::sort(s.pool.begin(), s.pool.end(), ranks_before);
    select(s, s.pool, cap, s.kept_back);
    set_list(from, layer, s.kept_back);
}

void Graph::insert(Scratch& s, Build& b, std::uint32_t node) {
    const std::uint32_t level = levels_[node];
    std::uint32_t entry, top;
    {
        std::lock_guard lock(b.top_lock);
        if (b.empty) {
            b.entry = node;
            b.top = level;
            b.empty = false;
            return;
        }
        entry = b.entry;
        top = b.top;
    }
    code_row(s.query, node);
    double d;
    s.raw.resize(1);
    code_distances(s, s.query, &entry, 1, &d);
    const std::uint32_t high = std::min(level, top);
    Candidate from = descend<true>(s, s.query, {d, entry}, top, high, &b);
    for (std::uint32_t layer = high + 1; layer-- > 0;) {
        walk<true, false>(s, s.query, from, params_.ef_construction, layer, nullptr, &b);
        select(s, s.found, params_.m, s.layers[layer]);
        from = s.found.front();
    }
    for (std::uint32_t layer = high + 1; layer-- > 0;) {
        {
            std::lock_guard lock(b.lock_of(node));
            set_list(node, layer, s.layers[layer]);
        }
        for (std::uint32_t e : s.layers[layer]) link_back(s, b, e, node, layer);
    }
    if (level > top) {
        std::lock_guard lock(b.top_lock);
        if (level > b.top) {
            b.top = level;
            b.entry = node;
        }
    }
}

std::size_t Graph::link(std::size_t first, unsigned threads, Poll poll, std::exception_ptr& stop) {
    // Every row taken is linked whole before anyone looks at the caller:
    // the rows linked are always the first ones. Whatever fails before the
    // first is taken (the build's locks, the threads' scratches) links none.
    std::optional<Build> b;
    std::atomic<std::size_t> linked{0};
    try {
        b.emplace();
        b->empty = first == 0;
        b->entry = entry_;
        b->top = top_;
        Scratches scratches(std::max(threads, 1u));
        for (Scratch& s : scratches.all()) {
            s.size_for(count_, params_.ef_construction, capacity(0), params_.dim, code_bytes_);
        }
        run_tiles(count_ - first, 1, threads, poll, [&](std::size_t i, std::size_t, Interrupt& interrupt) {
            scratches.with_one([&](Scratch& s) { insert(s, *b, static_cast<std::uint32_t>(first + i)); });
            linked.fetch_add(1, std::memory_order_relaxed);
            if (interrupt.stop_now()) throw Interrupted{};
        });
    } catch (...) {
        stop = std::current_exception();
    }
    if (linked.load() > 0) {
        entry_ = b->entry;
        top_ = b->top;
    }
    return first + linked.load();
}

}  // namespace orbisk
