#pragma once
// The exhaustive index: every search a full scan. Rows are stored one after
// another, so that a reader can see them in place and a file can hold them as
// they are; the row kernels compute several rows at once, each in element
// order. Removed rows stay, marked, until a compaction drops them.

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
    const double* rows = nullptr;             ///< count * dim, row after row
    const std::uint8_t* code_blocks = nullptr; ///< count / code_lanes full blocks
    const std::uint8_t* code_open = nullptr;   ///< the open block's rows, row after row
    const float* scales = nullptr;
    const float* rhos = nullptr;
    const double* extents = nullptr;
    const double* norms = nullptr;            ///< when the metric keeps norms
};

class Flat {
  public:
    /// An empty index; its scans use the kernels of `isa`.
    Flat(std::uint32_t dim, MetricKind metric, Isa isa = best_isa()) : dim_(dim), metric_(metric, isa) {}

    std::uint32_t dim() const { return dim_; }
    const Metric& metric() const { return metric_; }
    /// Number of stored vectors (0 when dim is 0, whatever was inserted),
    /// removed ones included: ids run from 0 to size() - 1.
    std::size_t size() const { return count_; }
    /// Vectors removed and not yet compacted away.
    std::size_t removed() const { return removed_; }
    bool is_removed(std::size_t id) const { return removed_ && !(live_[id / 64] >> (id % 64) & 1); }
    /// All stored vectors, row after row.
    std::vector<double> vectors() const;
    /// The stored vectors in place, row after row, and the block that holds
    /// them for a reader that outlives the next change.
    const SharedArray<double>& row_store() const { return rows_; }

    /// Appends one vector. A length other than dim throws InternalFailure and
    /// stores nothing; an allocation failure stores nothing either.
    void insert(Vec vector);

    /// Appends a batch in order, or EmptyVectors for an empty batch. The
    /// first vector of the wrong length throws InternalFailure; the ones
    /// before it stay stored, as they do when `interrupt` stops the batch.
    std::optional<FlatError> create(const Rows& vectors, Interrupt interrupt = {});

    /// Appends `rows` vectors of length dim stored one after another; an
    /// interruption keeps the rows appended before it.
    void append_rows(const double* data, std::size_t rows, Interrupt interrupt = {});

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
    /// become their ranks among them. Nothing changes when it throws.
    void compact();

    /// Every row not removed (the set points into the index: valid until
    /// the next change).
    RowSet live_rows() const;
    /// The rows not removed whose byte in `admit` (size() of them) is not
    /// zero, their bits in `words`.
    RowSet admitted_rows(const std::uint8_t* admit, std::vector<std::uint64_t>& words) const;
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
    /// holds them), the rest copied. With `verify`, each row's code, code
    /// values and norm are computed again and must equal the stored ones:
    /// false, with nothing taken, when one does not.
    bool restore(std::size_t count, const FlatParts& parts, SharedArray<double>::Block keep, bool verify);

  private:
    class TopK;
    struct Selection;
    struct Within;
    /// Bytes of codes that a batch screens together, each query in turn.
    static constexpr std::size_t screen_chunk_bytes = std::size_t{24} << 10;
    /// The screened scan (codes.h): bounds from the codes for every row of
    /// `set`, exact distances only for rows that may rank among the first
    /// `keep`. False, with `out` untouched, when the codes cannot serve the
    /// query.
    bool scan_screened(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const;
    bool screens(std::size_t keep, const RowSet& set) const;
    /// The screen of the code blocks [from, to) (rows of `set` only), in order.
    template <class Sel>
    void screen_blocks(const QueryCode& qc, Sel& selection, const RowSet& set, std::size_t from, std::size_t to) const;
    template <class Sel>
    void screen_open_block(Sel& selection, const RowSet& set) const;
    /// The rows the screen left, computed exactly into `out`.
    void finish_screened(Vec query, Selection& selection, std::vector<Candidate>& out) const;
    /// Every row of `set` computed, the best `keep` kept: by one of the
    /// three scans below.
    void scan_rows(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const;
    /// Few rows far apart: each computed in full, fetched ahead.
    void scan_scattered(Vec query, double query_norm, const RowSet& set, TopK& top) const;
    /// Sums of products (dot, cosine): every row summed to its end.
    void scan_products(Vec query, double query_norm, const RowSet& set, TopK& top) const;
    /// Sums of squares: groups of rows abandoned once past the worst kept.
    void scan_abandoning(Vec query, const RowSet& set, TopK& top) const;
    /// Exact distances of `count` rows (at most slots * lanes) into `out`.
    void distances(Vec query, double query_norm, const std::uint32_t* ids, std::size_t count, double* out) const;
    void reserve_rows(std::size_t rows);
    /// Keeps the norms of `rows` vectors stored one after another, when the
    /// metric asks for them; room reserved by the caller.
    void keep_norms(const double* data, std::size_t rows);
    /// Codes `rows` vectors stored one after another; room reserved by the
    /// caller (reserve_codes).
    void keep_codes(const double* data, std::size_t rows);
    /// Room for the codes of `rows` more vectors. All-or-nothing.
    void reserve_codes(std::size_t rows);
    std::size_t code_row_bytes() const { return code_bytes(dim_); }

    std::uint32_t dim_;
    Metric metric_;
    std::size_t count_ = 0;
    SharedArray<double> rows_;    ///< count * dim values, row after row
    std::vector<double> norms_;   ///< per row: its norm(), when the metric keeps norms
    /// Codes, when the dimension allows them: count / code_lanes full blocks
    /// of code_lanes rows (element groups interleaved, kernels.h), the rows
    /// of the open block one after another, and every row's CodeInfo.
    SharedArray<std::uint8_t> code_blocks_;
    std::vector<std::uint8_t> code_open_;
    std::vector<float> scales_, rhos_;  ///< per row: its CodeInfo, by field
    std::vector<double> extents_;
    /// When rows are removed: a bit per row, set for the rows still in.
    std::vector<std::uint64_t> live_;
    std::size_t removed_ = 0;
};

}  // namespace orbisk
