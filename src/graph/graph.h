#pragma once
// The approximate graph index: a layered proximity graph of bounded degree,
// built with the pruning heuristic, walked on one-byte codes of the rows, and
// every result scored again from the stored float64 row, so that a reported
// distance is bit for bit the flat index's. What a walk misses is the only
// approximation: a row it reports is ranked exactly.
//
// Layout, chosen for the walk's step (expand one node, score its unvisited
// neighbours): the node's bottom list is 2m ids in 128 bytes for m = 16 (two
// cache lines, aligned), and each neighbour's code record (code bytes, scale,
// squared norm, where its upper lists start) is one aligned block, a single
// line up to 52 dimensions. Rows are kept apart, row after row, and read only
// to score the final candidates.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "common/candidate.h"
#include "common/cpu.h"
#include "common/pool.h"
#include "common/shared_array.h"
#include "common/vec.h"
#include "flat/row_set.h"
#include "graph/walk_kernels.h"
#include "metrics/metric.h"

namespace orbisk {

/// Storage aligned to a cache line, grown without zeroing.
template <class T>
struct LineAllocator {
    using value_type = T;
    LineAllocator() = default;
    template <class U>
    LineAllocator(const LineAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(64))); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t(64)); }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    bool operator==(const LineAllocator&) const { return true; }
};
template <class T>
using LineVector = std::vector<T, LineAllocator<T>>;

struct GraphParams {
    std::uint32_t dim = 1;
    MetricKind metric = MetricKind::Euclidean;
    std::uint32_t m = 16;  ///< links per node on the upper layers; 2m on the bottom one
    std::uint32_t ef_construction = 200;
    std::uint64_t seed = 0;  ///< levels are a function of the seed and the row's id
    Isa isa = best_isa();
};

/// Largest m: lists are walked 32 entries at a time, and a degree fits a byte.
inline constexpr std::uint32_t max_graph_m = 64;
/// Levels above this are never drawn (the chance is 16^-32 for m = 16).
inline constexpr std::uint32_t max_graph_level = 31;
/// An unused slot of a list.
inline constexpr std::uint32_t no_link = 0xFFFFFFFFu;

/// What a graph holds beyond its rows, in the layout it keeps them: enough
/// to restore it without a build.
struct GraphParts {
    const double* rows = nullptr;          ///< count * dim, row after row
    const std::uint8_t* levels = nullptr;  ///< count
    /// count * 2m: each node's bottom list, its links first, then no_link.
    const std::uint32_t* bottom = nullptr;
    /// The upper lists of the nodes whose level is above 0, in id order:
    /// level lists of m slots each, layer 1 first.
    const std::uint32_t* upper = nullptr;
    std::size_t upper_size = 0;
    std::uint32_t entry = 0;  ///< the entry point: a node of the top level
    /// count * record_bytes(): each row's code record (optional: with null
    /// they are computed). Where a record's upper lists start is computed
    /// from the levels whatever it says.
    const std::uint8_t* records = nullptr;
};

struct WalkCode;

/// What one walk did: for profiles and the benchmark.
struct WalkCounts {
    std::size_t expanded = 0;   ///< nodes whose lists were read
    std::size_t coded = 0;      ///< code distances computed
    std::size_t exact = 0;      ///< rows scored in full
    std::size_t lines = 0;      ///< cache lines of lists and records read
};

class Graph {
  public:
    /// Throws std::invalid_argument for m outside [2, max_graph_m], an
    /// ef_construction of 0 or a dim of 0.
    explicit Graph(GraphParams params);
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    const GraphParams& params() const { return params_; }
    const Metric& metric() const { return metric_; }
    std::uint32_t dim() const { return params_.dim; }
    /// Rows stored, removed ones included: ids run from 0 to size() - 1.
    std::size_t size() const { return count_; }
    std::size_t removed() const { return removed_; }
    bool is_removed(std::size_t id) const { return removed_ && !(live_[id / 64] >> (id % 64) & 1); }
    const SharedArray<double>& row_store() const { return rows_; }
    Vec row(std::size_t id) const { return Vec(rows_.data() + id * params_.dim, params_.dim); }

    std::uint32_t level(std::size_t id) const { return levels_[id]; }
    /// The node's links on `layer` (at most its level), in list order.
    std::span<const std::uint32_t> links(std::size_t id, std::uint32_t layer) const;
    std::uint32_t entry() const { return entry_; }
    /// Slots of a list on `layer`: 2m on the bottom, m above.
    std::uint32_t capacity(std::uint32_t layer) const { return layer == 0 ? 2 * params_.m : params_.m; }
    /// The level drawn for the row of id `id`.
    std::uint32_t draw_level(std::uint64_t id) const;

    /// Appends `count` rows of dim values and links them, on up to
    /// `threads` threads (the calling one among them). Throws std::bad_alloc
    /// (or CapacityExceeded) with nothing added. When `poll` says stop, the
    /// rows linked so far stay, the graph whole, and Interrupted is thrown;
    /// so it is when a thread runs out of memory midway (std::bad_alloc).
    void add(const double* rows, std::size_t count, unsigned threads = 1, Poll poll = {});
    /// add() in its three steps, for a caller whose readers must not see
    /// the stores change while rows are linked: append_unlinked() stores
    /// the rows (nothing changes when it throws) and returns the first id;
    /// link() links the rows from `first` on, writing nothing but lists,
    /// and returns the end of those linked (a stop keeps the rows taken so
    /// far, its reason in `stop`); truncate() then drops the rows not linked.
    std::size_t append_unlinked(const double* rows, std::size_t count);
    std::size_t link(std::size_t first, unsigned threads, Poll poll, std::exception_ptr& stop);
    /// Drops the rows from `count` on (rows not linked yet).
    void truncate(std::size_t count);

    /// The first min(k, rows of `set`) rows the walk finds, in ranking
    /// order, scored exactly. The walk keeps max(ef, k) candidates; a set
    /// admitting few rows is scanned in full instead. `set` null: every row
    /// not removed. The query's length must be dim.
    void search(Vec query, std::uint32_t k, std::uint32_t ef, const RowSet* set, std::vector<Candidate>& out,
                WalkCounts* counts = nullptr) const;
    /// search for `m` queries stored one after another on up to `threads`
    /// threads: row i of `ids` and `distances` (batch_width(set, k)
    /// columns) is search(query i). Throws
    /// Interrupted when the poll says stop (the outputs partly written).
    void search_batch(const double* queries, std::size_t m, std::uint32_t k, std::uint32_t ef, const RowSet* set,
                      std::int64_t* ids, double* distances, unsigned threads, Poll poll = {}) const;

    /// What a walk ranks row `id` by for `query` (walk.cpp says how it is
    /// made from the codes).
    double code_distance(Vec query, std::uint32_t id) const;
    /// What construction ranks row `b` by from row `a`: the same bits as
    /// from b to a.
    double code_distance(std::uint32_t a, std::uint32_t b) const;

    /// The first min(k, rows of `set`) rows of `set` by exact distance, every
    /// row scored: what search answers for a set below scan_below().
    void scan(Vec query, std::uint32_t k, const RowSet& set, std::vector<Candidate>& out) const;

    /// Every row not removed.
    RowSet live_rows() const { return {0, count_, removed_ ? live_.data() : nullptr, count_ - removed_}; }
    /// The rows not removed whose byte of `admit` (one per row) is not
    /// zero, their bits in `words`.
    RowSet admitted_rows(const std::uint8_t* admit, std::vector<std::uint64_t>& words) const {
        return orbisk::admitted_rows(live_rows(), admit, words);
    }
    /// Sets admitting fewer rows than this are scanned rather than walked.
    std::size_t scan_below() const;

    /// Marks `ids` removed: no search reports them, walks still pass through
    /// them. std::out_of_range for an id past size(), std::invalid_argument
    /// for one removed already or given twice; nothing changes then.
    void remove(std::span<const std::uint32_t> ids);
    /// Drops the removed rows, links their neighbours around them and
    /// renumbers the others in order. Nothing changes when it throws.
    void compact();

    /// The parts in place (valid until the next change); the removed rows
    /// must have been compacted away.
    GraphParts parts() const;
    /// Bytes of a code record.
    std::size_t record_bytes() const { return stride_; }
    /// Words of parts().upper.
    std::size_t upper_size() const { return upper_.size(); }
    /// An empty graph takes `count` rows and their links as they were
    /// stored: the rows in place (never written; `keep` holds them), the rest
    /// copied. Every list is checked (ids in range, no self link, no id
    /// twice, degrees within bounds, links only to nodes of the layer's
    /// level, the entry point on the top level); with `verify`, the codes
    /// given are computed again and must be equal (without, they are
    /// taken as they are: a wrong one misleads walks, nothing worse). Returns
    /// what does not hold, with nothing taken, or empty.
    std::string restore(std::size_t count, const GraphParts& parts, SharedArray<double>::Block keep, bool verify);

    /// Bytes held: rows, code records, lists and levels.
    std::size_t bytes() const;
    /// The first broken invariant, or empty: degrees within bounds, no self
    /// link, no id twice, links to nodes of the layer, the entry point on
    /// the top level.
    std::string check() const;

  private:
    struct Scratch;
    struct Build;
    class Lease;
    class Scratches;

    // Records and stores (graph.cpp).
    std::uint8_t* record(std::size_t id) { return records_.data() + id * stride_; }
    const std::uint8_t* record(std::size_t id) const { return records_.data() + id * stride_; }
    float scale(std::size_t id) const;
    float squares(std::size_t id) const;
    std::uint32_t upper_at(std::size_t id) const;
    void set_upper_at(std::size_t id, std::uint32_t at);
    /// Codes row `id` into its record (its upper start left as it is);
    /// `unit` holds dim values of room.
    void encode_row(std::size_t id, std::vector<double>& unit);
    const std::uint32_t* list(std::size_t id, std::uint32_t layer) const;
    std::uint32_t* list(std::size_t id, std::uint32_t layer);
    /// Room for `rows` more rows in every store; all-or-nothing.
    void reserve(std::size_t rows, std::size_t upper_words);

    // Walks (walk.cpp).
    /// Codes a query for a walk; a stored row's code as a query.
    void code_query(Scratch& s, Vec query) const;
    void code_row(WalkCode& q, std::uint32_t row) const;
    /// Code distances from `q` to `count` rows (s.raw holds room for them).
    void code_distances(const Scratch& s, const WalkCode& q, const std::uint32_t* ids, std::size_t count,
                        double* out) const;
    /// Scores the unvisited neighbours of `node` on `layer` into s.fresh
    /// and s.near. Locked: other threads are linking.
    template <bool Locked>
    void expand(Scratch& s, const WalkCode& q, std::uint32_t node, std::uint32_t layer, const Build* build) const;
    /// The best `ef` nodes of `layer` that the walk from `entry` finds (of
    /// `set` when Filtered, passing through the others), by code distance,
    /// into s.found in ranking order. Locked: other threads are linking.
    template <bool Locked, bool Filtered>
    void walk(Scratch& s, const WalkCode& q, Candidate entry, std::size_t ef, std::uint32_t layer, const RowSet* set,
              const Build* build) const;
    /// From `from` on layer `top` down to layer `down_to`, the nearest node
    /// found on each layer the start of the next.
    template <bool Locked>
    Candidate descend(Scratch& s, const WalkCode& q, Candidate from, std::uint32_t top, std::uint32_t down_to,
                      const Build* build) const;
    /// Exact distances of `count` rows into `out`.
    void exact(const Scratch& s, Vec query, double query_norm, const std::uint32_t* ids, std::size_t count,
               double* out) const;
    /// The first k rows of `set` by exact distance, every row scored.
    void scan(const Scratch& s, Vec query, std::size_t k, const RowSet& set, std::vector<Candidate>& out) const;
    void search_with(Scratch& s, Vec query, std::uint32_t k, std::uint32_t ef, const RowSet& set,
                     std::vector<Candidate>& out) const;

    // Construction (build.cpp).
    void insert(Scratch& s, Build& b, std::uint32_t node);
    /// Keeps, of `candidates` in ranking order from a base node, those
    /// closer to the base than to every one kept before them, up to `cap`.
    void select(Scratch& s, std::span<const Candidate> candidates, std::size_t cap,
                std::vector<std::uint32_t>& kept) const;
    /// Links `from` to `to` on `layer`, pruning `from`'s list when full.
    void link_back(Scratch& s, Build& b, std::uint32_t from, std::uint32_t to, std::uint32_t layer);
    void set_list(std::uint32_t node, std::uint32_t layer, std::span<const std::uint32_t> ids);

    // Compaction and files (files.cpp).
    /// The list of `node` on `layer` without its removed neighbours, and
    /// with the live neighbours of those, pruned by the heuristic.
    void repair(Scratch& s, std::uint32_t node, std::uint32_t layer, std::vector<std::uint32_t>& out) const;
    /// The first broken rule of these lists and levels, or empty.
    std::string check_lists(std::size_t count, const std::uint8_t* levels, const std::uint32_t* bottom,
                            const std::uint32_t* upper, std::size_t upper_size, std::uint32_t entry) const;

    GraphParams params_;
    Metric metric_;
    const WalkKernels* walk_;
    double level_factor_;  ///< 1 / ln m
    std::size_t code_bytes_;
    std::size_t stride_;   ///< bytes of a record
    std::size_t count_ = 0;
    SharedArray<double> rows_;
    /// Per row: code bytes (code_bytes_), then scale (float), squared norm
    /// of what was coded (float), start of its upper lists in upper_ (u32).
    LineVector<std::uint8_t> records_;
    LineVector<std::uint32_t> bottom_;  ///< count * 2m
    std::vector<std::uint32_t> upper_;
    std::vector<std::uint8_t> levels_;
    std::uint32_t entry_ = 0;
    std::uint32_t top_ = 0;  ///< the entry point's level
    std::vector<std::uint64_t> live_;
    std::size_t removed_ = 0;
    /// Working memory of one walk, reused by the next; a concurrent reader
    /// finding it taken brings its own.
    mutable std::atomic<Scratch*> spare_{nullptr};
};

}  // namespace orbisk
