#pragma once
// The exhaustive index: every vector in one row-major store, every search a
// full scan.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/candidate.h"
#include "common/failure.h"
#include "common/interrupt.h"
#include "common/memory.h"
#include "metrics/metrics.h"
#include "common/rows.h"

namespace orbisk {

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

/// Vectors are kept in blocks of `lanes` rows, element-interleaved, so that
/// a scan computes several rows at once, each in element order.
class Flat {
  public:
    Flat(std::uint32_t dim, MetricFn metric) : dim_(dim), metric_(metric) {}

    std::uint32_t dim() const { return dim_; }
    MetricFn metric() const { return metric_; }
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

  private:
    void scan_euclidean(Vec query, std::size_t keep, std::vector<Candidate>& heap) const;
    void scan_products(Vec query, std::size_t keep, std::vector<Candidate>& heap) const;
    template <class Top>
    void scan_tail(Vec query, std::size_t first, Top& top) const;
    void close_block(const double* rows);
    void reserve_blocks(std::size_t rows);

    std::uint32_t dim_;
    MetricFn metric_;
    std::size_t count_ = 0;
    /// count / lanes full blocks of lanes * dim values, and the rows of the
    /// open block one after another: nothing is stored beyond the vectors.
    std::vector<double, UninitAllocator<double>> blocks_;
    std::vector<double> tail_;
    std::vector<double> norms_;   ///< per row: sqrt of its sum of squares (cosine only)
};

}  // namespace orbisk
