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
// Lists live in chunks of a fixed number of entries carved from slabs: a list
// grows without moving, and storage exceeds the entries by less than one
// chunk per node.

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

    /// Whether `node`'s list ends with `id`. The only lists a new node is
    /// appended to are those of its links, and only during its own insertion,
    /// so this tells whether the node is in the list already.
    bool ends_with(std::uint32_t node, std::uint32_t id) const;

    /// Appends `id` to `node`'s list. All-or-nothing.
    void append(std::uint32_t node, std::uint32_t id);

    /// Calls f(span of ids) for the runs of `node`'s list, in list order.
    template <class F>
    void for_each_run(std::uint32_t node, F&& f) const {
        const List& list = lists_[node];
        std::size_t left = list.size;
        for (const std::uint32_t* c : list.chunks) {
            if (left == 0) break;
            const std::size_t n = left < chunk ? left : chunk;
            f(std::span<const std::uint32_t>(c, n));
            left -= n;
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
    struct List {
        std::uint32_t size = 0;
        std::vector<std::uint32_t*> chunks;  ///< in list order; the last may be empty
    };
    std::uint32_t* new_chunk();

    std::vector<List> lists_;
    std::vector<std::unique_ptr<std::uint32_t[]>> slabs_;
    std::size_t slab_left_ = 0;  ///< chunks not yet handed out of the last slab
    std::size_t slab_bytes_ = 0;
};

}  // namespace orbisk
