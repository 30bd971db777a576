#pragma once
// The exhaustive index: every search a full scan. Rows are stored one after
// another, as float64 or float32 (row_store.h), so that a reader can see them
// in place and a file can hold them as they are; the row kernels compute
// several rows at once, each in element order. Removed rows stay, marked,
// until a compaction drops them.
//
// What a row costs: dim values of the storage type, code_bytes(dim) bytes of
// code (codes.h), 16 bytes of what its bounds need (scale, rho, extent), and
// 8 more for its norm under cosine: at dimension 128 in float32, 656 bytes,
// 1.28 times the rows alone.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/candidate.h"
#include "common/cpu.h"
#include "common/failure.h"
#include "common/interrupt.h"
#include "common/memory.h"
#include "common/row_store.h"
#include "common/rows.h"
#include "common/shared_array.h"
#include "common/vec.h"
#include "flat/row_set.h"
#include "metrics/codes.h"
#include "metrics/metric.h"

namespace orbisk {

/// What a flat index's operations report. The index returns only the first
/// two; the four metadata variants stay because the type is shared in shape
/// with the graph index's (HNSWError), and its six variants, in this order,
/// are part of the extension's fixed surface.
enum class FlatError {
    EmptyIndex,
    EmptyVectors,
    MetadataMismatch,
    NoSchema,
    EmptySchema,
    AttributeNotFound,
};

/// The variant's name, which is also its text in messages.
std::string_view name(FlatError e);

/// What a flat index holds beyond its rows, in the layout it keeps them:
/// enough to restore it without computing anything again.
struct FlatParts {
    const void* rows = nullptr;               ///< count * dim values of `storage`, row after row
    const std::uint8_t* code_blocks = nullptr; ///< count / code_lanes full blocks
    const std::uint8_t* code_open = nullptr;   ///< the open block's rows, row after row
    const float* scales = nullptr;
    const float* rhos = nullptr;
    const double* extents = nullptr;
    const double* norms = nullptr;            ///< when the metric keeps norms
    Storage storage = Storage::Float64;       ///< the type of `rows`
};

class Flat {
  public:
    /// An empty index keeping its rows as `storage`; its scans use the
    /// kernels of `isa`.
    Flat(std::uint32_t dim, MetricKind metric, Isa isa = best_isa(), Storage storage = Storage::Float64)
        : dim_(dim), metric_(metric, isa), rows_(dim, storage) {}
    Flat(std::uint32_t dim, MetricKind metric, Storage storage) : Flat(dim, metric, best_isa(), storage) {}

    std::uint32_t dim() const { return dim_; }
    Storage storage() const { return rows_.storage(); }
    const Metric& metric() const { return metric_; }
    /// Number of stored vectors (0 when dim is 0, whatever was inserted),
    /// removed ones included: ids run from 0 to size() - 1.
    std::size_t size() const { return count_; }
    /// Vectors removed and not yet compacted away.
    std::size_t removed() const { return removed_; }
    bool is_removed(std::size_t id) const { return removed_ && !(live_[id / 64] >> (id % 64) & 1); }
    /// All stored vectors, row after row, widened to float64.
    std::vector<double> vectors() const;
    /// The stored vectors in place, row after row in their own type, and the
    /// block that holds them for a reader that outlives the next change.
    const RowStore& row_store() const { return rows_; }
    /// Bytes of memory the index holds: rows, codes and what each row keeps.
    std::size_t bytes() const;

    /// Appends one vector. A length other than dim throws InternalFailure and
    /// stores nothing, as does a value float32 storage cannot keep
    /// (InexactRow) or an allocation failure.
    void insert(Vec vector);

    /// Appends a batch in order, or EmptyVectors for an empty batch. The
    /// first vector of the wrong length throws InternalFailure (one float32
    /// storage cannot keep, InexactRow); the ones before it stay stored, as
    /// they do when `interrupt` stops the batch.
    std::optional<FlatError> create(const Rows& vectors, Interrupt interrupt = {});

    /// Appends `rows` vectors of length dim stored one after another, their
    /// codes and norms computed on up to `threads` threads (the calling one
    /// among them): the same bits for any count. Float64 rows into float32
    /// storage must hold float32 values only: else InexactRow names the
    /// first row that does not, with nothing stored. An interruption (asked
    /// on the calling thread only) keeps the rows appended before it, whole.
    void append_rows(const double* data, std::size_t rows, Interrupt interrupt = {}, unsigned threads = 1);
    void append_rows(const float* data, std::size_t rows, Interrupt interrupt = {}, unsigned threads = 1);

    /// Drops the rows from `count` on, appended since the last removal or
    /// compaction: an append undone (one that must leave nothing behind
    /// when it fails or is interrupted). Allocates nothing.
    void truncate(std::size_t count);

    /// Room for `rows` more vectors, so that appending them allocates
    /// nothing more. Throws std::bad_alloc (or CapacityExceeded) with
    /// nothing changed.
    void reserve(std::size_t rows) {
        if (dim_ == 0) return;
        if (rows > max_vectors - count_) throw CapacityExceeded();
        reserve_rows(rows);
    }

    /// Marks the rows `ids` removed: no search returns them. Throws
    /// std::out_of_range for an id past size(), std::invalid_argument for
    /// one removed already or given twice; nothing changes then.
    void remove(std::span<const std::uint32_t> ids);
    /// Drops the removed rows: the others keep their order, and their ids
    /// become their ranks among them. The memory the dropped rows held goes
    /// back to the system. Nothing changes when it throws.
    void compact();

    /// Every row not removed (the set points into the index: valid until
    /// the next change).
    RowSet live_rows() const;
    /// The rows not removed whose byte in `admit` (size() of them) is not
    /// zero, their bits in `words`.
    RowSet admitted_rows(const std::uint8_t* admit, std::vector<std::uint64_t>& words) const;
    /// The rows not removed among the ascending ids `ids` (each below
    /// size()): see listed_rows (row_set.h).
    RowSet listed_rows(std::vector<std::uint32_t>& ids, std::vector<std::uint64_t>& words) const;
    /// `set` restricted to the rows [from, to).
    static RowSet part(const RowSet& set, std::size_t from, std::size_t to);

    /// Fills `out` with the first max(k, 1) candidates in ranking order, or
    /// returns EmptyIndex. The query's length must be dim (the caller checks).
    std::optional<FlatError> search(Vec query, std::uint32_t k, std::vector<Candidate>& out) const;

    /// The first min(max(k, 1), set.count) rows of `set` in ranking order:
    /// what search gives over an index that holds those rows alone.
    void search(Vec query, std::uint32_t k, const RowSet& set, std::vector<Candidate>& out) const;

    /// search for `count` queries of dim values stored one after another:
    /// outs[i] receives what search(query i, k, set, outs[i]) would, empty
    /// for an empty set. Queries share each chunk of codes while it is in
    /// cache: faster than one search after another, the same results.
    /// `interrupt` is asked between chunks; a stop leaves `outs` partly
    /// written.
    void search_many(const double* queries, std::size_t count, std::uint32_t k, std::vector<Candidate>* outs,
                     Interrupt interrupt = {}) const {
        search_many(queries, count, k, live_rows(), outs, interrupt);
    }
    void search_many(const double* queries, std::size_t count, std::uint32_t k, const RowSet& set,
                     std::vector<Candidate>* outs, Interrupt interrupt = {}) const;

    /// About the bytes one query's scan of `set` reads: the codes of the
    /// rows it screens, or the values of the rows it computes in full. What
    /// the work of a call is measured by.
    std::size_t scan_bytes(const RowSet& set) const;

    /// Every row of `set` whose distance is at most `radius` (none for a NaN
    /// distance or radius), in ranking order.
    void search_radius(Vec query, double radius, const RowSet& set, std::vector<Candidate>& out) const;

    /// The index's parts in place (valid until the next change), for a
    /// file; the removed rows must have been compacted away.
    FlatParts parts() const;
    /// Bytes of the codes of `rows` rows: full blocks, and the open block's.
    std::size_t code_block_bytes(std::size_t rows) const;
    std::size_t code_open_bytes(std::size_t rows) const;
    bool coding() const { return dim_ >= 1 && dim_ <= max_code_dim; }
    /// An empty index takes `count` rows and their codes as they were
    /// stored: the rows and code blocks in place (never written; `keep`
    /// holds them), the rest copied. The rows must be of the index's
    /// storage (else InternalFailure). With `verify`, each row's code, code
    /// values and norm are computed again and must equal the stored ones:
    /// false, with nothing taken, when one does not. With `nonfinite` given,
    /// the check also looks for a row holding NaN or an infinity (in the same
    /// pass: only rows coded as having no code can) and, finding one, sets
    /// it to the first such row and returns false, with nothing taken; else
    /// it is set to `count`. The check runs on up to `threads` threads; a
    /// stop throws, with nothing taken.
    bool restore(std::size_t count, const FlatParts& parts, RowStore::Block keep, bool verify, unsigned threads = 1,
                 Interrupt interrupt = {}, std::size_t* nonfinite = nullptr);

  private:
    class TopK;
    struct Selection;
    struct Within;
    /// Bytes of codes that a batch screens together, each query in turn.
    static constexpr std::size_t screen_chunk_bytes = std::size_t{24} << 10;
    /// Bytes of products a batch makes of a chunk at most (all its queries').
    static constexpr std::size_t screen_products_bytes = std::size_t{512} << 10;
    /// The screened scan (codes.h): bounds from the codes for every row of
    /// `set`, exact distances only for rows that may rank among the first
    /// `keep`. False, with `out` untouched, when the codes cannot serve the
    /// query.
    bool scan_screened(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const;
    bool screens(std::size_t keep, const RowSet& set) const;
    /// The screen of the code blocks [from, to) (rows of `set` only), in order.
    template <class Sel>
    void screen_blocks(const QueryCode& qc, Sel& selection, const RowSet& set, std::size_t from, std::size_t to,
                       const std::int32_t* products = nullptr) const;
    template <class Sel>
    void screen_open_block(Sel& selection, const RowSet& set) const;
    /// The rows the screen left, computed exactly into `out`; `query_norm`
    /// is the query's norm(), which its QueryCode holds.
    void finish_screened(Vec query, double query_norm, Selection& selection, std::vector<Candidate>& out) const;
    /// Every row of `set` computed, the best `keep` kept: by one of the
    /// three scans below.
    void scan_rows(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const;
    /// Few rows far apart: each computed in full, fetched ahead.
    void scan_scattered(Vec query, double query_norm, const RowSet& set, TopK& top) const;
    /// Sums of products (dot, cosine): every row summed to its end.
    void scan_products(Vec query, double query_norm, const RowSet& set, TopK& top) const;
    /// Sums of squares: groups of rows abandoned once past the worst kept.
    void scan_abandoning(Vec query, const RowSet& set, TopK& top) const;
    /// The row kernel's sums of `count` rows (at most slots * lanes) into
    /// `acc`, which finish() turns into their distances.
    void row_sums(Vec query, const std::uint32_t* ids, std::size_t count, double* acc) const;
    /// Exact distances of `count` rows (at most slots * lanes) into `out`.
    void distances(Vec query, double query_norm, const std::uint32_t* ids, std::size_t count, double* out) const;
    void reserve_rows(std::size_t rows);
    template <class T>
    void append_from(const T* data, std::size_t rows, Interrupt interrupt, unsigned threads);
    /// Appends rows one by one, each code into the open block.
    template <class T>
    void append_each(const T* data, std::size_t rows, Interrupt& interrupt);
    /// Appends whole code blocks of rows (the open block empty), pieces of
    /// them on threads; the pieces done before a stop are kept.
    template <class T>
    void append_blocks(const T* data, std::size_t rows, std::vector<std::uint8_t>& done, Interrupt& interrupt,
                       unsigned threads);
    /// Rows of a piece of append_blocks, and pieces of `rows` rows.
    std::size_t piece_rows() const;
    /// Whether `parts` hold the codes, code values and norms of the first
    /// `count` rows of `values` (restore's check); with `nonfinite`, the
    /// first row holding NaN or an infinity, or count.
    template <class T>
    bool matches(const T* values, std::size_t count, const FlatParts& parts, unsigned threads, Interrupt& interrupt,
                 std::size_t* nonfinite) const;
    std::size_t pieces_of(std::size_t rows) const { return rows ? (rows + piece_rows() - 1) / piece_rows() : 0; }
    /// Writes the rows, norms and codes of `rows` rows `ahead` rows past the
    /// stored ones, whole blocks of them, into reserved room.
    template <class T>
    void write_blocks_ahead(const T* data, std::size_t ahead, std::size_t rows);
    /// Takes in `rows` rows written ahead, their marks among them.
    void take_ahead(std::size_t rows);
    /// Marks the rows [from, to) live, when rows are marked; room reserved.
    void mark_live(std::size_t from, std::size_t to);
    /// Room for the codes of `rows` more vectors. All-or-nothing.
    void reserve_codes(std::size_t rows);
    std::size_t code_row_bytes() const { return code_bytes(dim_); }

    std::uint32_t dim_;
    Metric metric_;
    std::size_t count_ = 0;
    RowStore rows_;               ///< count * dim values, row after row
    SharedArray<double> norms_;   ///< per row: its norm(), when the metric keeps norms
    /// Codes, when the dimension allows them: count / code_lanes full blocks
    /// of code_lanes rows (element groups interleaved, kernels.h), the rows
    /// of the open block one after another, and every row's CodeInfo.
    SharedArray<std::uint8_t> code_blocks_;
    std::vector<std::uint8_t> code_open_;
    SharedArray<float> scales_, rhos_;  ///< per row: its CodeInfo, by field
    SharedArray<double> extents_;
    SharedArray<RunBounds> runs_;  ///< per full block: its rows' RunBounds, for the first test
    /// When rows are removed: a bit per row, set for the rows still in.
    std::vector<std::uint64_t> live_;
    std::size_t removed_ = 0;
};

}  // namespace orbisk
