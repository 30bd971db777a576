#pragma once
// The exhaustive index: every search a full scan. Rows are stored in blocks
// of `lanes`, element-interleaved, so that a scan computes several rows at
// once, each in element order.

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
#include "common/vec.h"
#include "metrics/codes.h"
#include "metrics/metric.h"

namespace orbisk {

enum class FlatError {
    EmptyIndex,
    EmptyVectors,
    MetadataMismatch,
    NoSchema,
    EmptySchema,
    AttributeNotFound,
};

/// The variant's name, which is also its text in messages. No operation of
/// the index returns the last four variants; the error type has them all.
std::string_view name(FlatError e);

class Flat {
  public:
    /// An empty index; its scans use the kernels of `isa`.
    Flat(std::uint32_t dim, MetricKind metric, Isa isa = best_isa()) : dim_(dim), metric_(metric, isa) {}

    std::uint32_t dim() const { return dim_; }
    const Metric& metric() const { return metric_; }
    /// Number of stored vectors (0 when dim is 0, whatever was inserted).
    std::size_t size() const { return count_; }
    /// All stored vectors, row after row.
    std::vector<double> vectors() const;

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

    /// Fills `out` with the first max(k, 1) candidates in ranking order, or
    /// returns EmptyIndex. The query's length must be dim (the caller checks).
    std::optional<FlatError> search(Vec query, std::uint32_t k,
                                    std::vector<Candidate>& out) const;

    /// search for `count` queries of dim values stored one after another:
    /// outs[i] receives what search(query i, k, outs[i]) would, empty for
    /// an empty index. Queries share each chunk of codes while it is in
    /// cache: faster than one search after another, the same results.
    /// `interrupt` is asked between chunks; a stop leaves `outs` partly
    /// written.
    void search_many(const double* queries, std::size_t count, std::uint32_t k, std::vector<Candidate>* outs,
                     Interrupt interrupt = {}) const;

  private:
    struct Selection;
    /// Bytes of codes that a batch screens together, each query in turn.
    static constexpr std::size_t screen_chunk_bytes = std::size_t{24} << 10;
    /// The screened scan (codes.h): bounds from the codes for every row,
    /// exact distances only for rows that may rank among the first `keep`.
    /// False, with `out` untouched, when the codes cannot serve the query.
    bool scan_screened(Vec query, std::size_t keep, std::vector<Candidate>& out) const;
    bool screens(std::size_t keep) const;
    /// The screen of the code blocks [from, to), in order.
    void screen_blocks(const QueryCode& qc, Selection& selection, std::size_t from, std::size_t to) const;
    void screen_open_block(Selection& selection) const;
    /// The rows the screen left, computed exactly into `out`.
    void finish_screened(Vec query, Selection& selection, std::vector<Candidate>& out) const;
    void scan_euclidean(Vec query, std::size_t keep, std::vector<Candidate>& heap) const;
    void scan_products(Vec query, std::size_t keep, std::vector<Candidate>& heap) const;
    template <class Top>
    void scan_tail(Vec query, std::size_t first, Top& top) const;
    void close_block(const double* rows);
    void reserve_blocks(std::size_t rows);
    /// Keeps the norms of `rows` vectors stored one after another, when the
    /// metric asks for them; room reserved by the caller.
    void keep_norms(const double* data, std::size_t rows);
    /// Codes `rows` vectors stored one after another; room reserved by the
    /// caller (reserve_codes).
    void keep_codes(const double* data, std::size_t rows);
    /// Room for the codes of `rows` more vectors. All-or-nothing.
    void reserve_codes(std::size_t rows);
    bool coding() const { return dim_ >= 1 && dim_ <= max_code_dim; }
    std::size_t code_row_bytes() const { return code_bytes(dim_); }

    std::uint32_t dim_;
    Metric metric_;
    std::size_t count_ = 0;
    /// count / lanes full blocks of lanes * dim values, and the rows of the
    /// open block one after another: nothing is stored beyond the vectors.
    std::vector<double, UninitAllocator<double>> blocks_;
    std::vector<double> tail_;
    std::vector<double> norms_;   ///< per row: its norm(), when the metric keeps norms
    /// Codes, when the dimension allows them: count / code_lanes full blocks
    /// of code_lanes rows (element groups interleaved, kernels.h), the rows
    /// of the open block one after another, and every row's CodeInfo.
    std::vector<std::uint8_t, UninitAllocator<std::uint8_t>> code_blocks_;
    std::vector<std::uint8_t> code_open_;
    std::vector<float> scales_, rhos_;  ///< per row: its CodeInfo, by field
    std::vector<double> extents_;
};

}  // namespace orbisk
