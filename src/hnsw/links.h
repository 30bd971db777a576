#pragma once
// The graph's neighbour lists.
//
// A node's list keeps only the first occurrence of each neighbour, in the
// order the links were made, and never the node itself. That is all a walk
// can use: the first occurrence of an id is either skipped (by the level test
// or the filter, and every later occurrence would be skipped alike) or marks
// the node visited, after which later occurrences do nothing; and a node is
// visited before its own list is read. So every walk, and every graph built
// by later insertions, is the same as with the literal lists.
//
// Each entry carries a one-byte code of the link's length (see
// link_code.h), which walks use to skip neighbours that cannot qualify, and
// each chunk marks which of its entries reach layers 1 and 2, so that walks
// above layer 0 step over the many entries they may not use.
//
// Lists live in chunks of 32 entries, two cache lines each, carved from
// slabs: a list grows without moving, and storage exceeds the entries by
// less than one chunk per node. A chunk keeps the low 16 bits of each id;
// the high 16 bits are shared by all its entries (every chunk of a graph of
// up to 65,536 nodes, and most of larger ones), or kept beside it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace orbisk {

class Links {
  public:
    static constexpr std::size_t chunk = 32;  ///< entries per chunk

    std::size_t nodes() const { return lists_.size(); }
    std::size_t size(std::uint32_t node) const { return lists_[node].size; }

    /// An empty list for the next node. All-or-nothing.
    void add_node();

    /// Whether `node`'s list ends with `id`.
    bool ends_with(std::uint32_t node, std::uint32_t id) const;

    /// Appends `id`, whose level is `level`, with the code of the link's
    /// length, to `node`'s list. All-or-nothing.
    void append(std::uint32_t node, std::uint32_t id, std::uint8_t code, std::uint32_t level);

    /// Up to `chunk` consecutive entries of a list.
    struct Run {
        const std::uint16_t* low;   ///< the low 16 bits of each id
        const std::uint16_t* high;  ///< their high 16 bits, or null when `base` holds them
        std::uint32_t base;         ///< the high bits all ids share, in place
        const std::uint8_t* codes;
        std::size_t size;
        /// Bit j set when entry j's level is at least L, for L = 1, 2 (the
        /// bits beyond `size` are clear).
        std::uint32_t reach[2];
        std::uint32_t id(std::size_t j) const { return high ? (std::uint32_t{high[j]} << 16) | low[j] : base | low[j]; }
        /// The entries usable on `layer`: bit j set when entry j's level
        /// may be at least `layer`. Every bit on layer 0 (past `size` too);
        /// on layers 1 and 2 exactly the entries whose level is at least
        /// `layer`; above them those whose level is at least 2, a superset
        /// whose levels the caller checks (marks_layer). Bits past `size`
        /// are clear above layer 0.
        std::uint32_t on_layer(std::uint32_t layer) const { return layer == 0 ? ~std::uint32_t{0} : reach[layer >= 2]; }
    };

    /// Whether Run::on_layer(layer) is exact: the runs mark layers 0 to 2.
    static constexpr bool marks_layer(std::uint32_t layer) { return layer <= 2; }

    /// Calls f(run) for the runs of `node`'s list, in list order.
    template <class F>
    void for_each_run(std::uint32_t node, F&& f) const {
        const List& list = lists_[node];
        const std::size_t chunks = (list.size + chunk - 1) / chunk;
        for (std::size_t i = 0; i < chunks; ++i) {
            // Chunks lie anywhere in the slabs: fetch the ones ahead while
            // this one is read.
            if (i + ahead < chunks) prefetch(list.chunks[i + ahead]);
            const Chunk* c = list.chunks[i];
            const std::size_t n = i + 1 < chunks ? chunk : list.size - i * chunk;
            const std::uint16_t* high = c->wide == narrow ? nullptr : highs_[c->wide].data();
            f(Run{c->low, high, c->base, c->codes, n, {c->reach[0], c->reach[1]}});
        }
    }

    /// The whole list of `node`, copied.
    std::vector<std::uint32_t> list(std::uint32_t node) const;

    /// Forgets the lists from `nodes` on and a trailing `id` in every other
    /// list: undoes the insertion of node `id` == `nodes`. Allocates nothing.
    void truncate(std::size_t nodes, std::uint32_t id);

    /// Bytes held, slabs and bookkeeping together.
    std::size_t bytes() const;

  private:
    static constexpr std::uint32_t narrow = 0xFFFFFFFF;
    struct alignas(64) Chunk {
        std::uint16_t low[chunk];
        std::uint8_t codes[chunk];
        std::uint32_t reach[2];
        std::uint32_t base;  ///< high bits shared by the entries, when narrow
        std::uint32_t wide;  ///< where the entries' high bits are kept, or `narrow`
    };
    static_assert(sizeof(Chunk) == 128);
    static constexpr std::size_t ahead = 3;  ///< chunks fetched ahead of a walk
    static void prefetch(const Chunk* c) {
        for (std::size_t line = 0; line < sizeof(Chunk); line += 64) {
            __builtin_prefetch(reinterpret_cast<const char*>(c) + line);
        }
    }
    struct List {
        std::uint32_t size = 0;
        std::vector<Chunk*> chunks;  ///< in list order; the last may be empty
    };
    Chunk* new_chunk();

    std::vector<List> lists_;
    std::vector<std::array<std::uint16_t, chunk>> highs_;  ///< high bits of the chunks that need them
    std::vector<std::unique_ptr<Chunk[]>> slabs_;
    std::size_t slab_left_ = 0;  ///< chunks not yet handed out of the last slab
    std::size_t slab_bytes_ = 0;
};

}  // namespace orbisk
