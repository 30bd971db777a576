#pragma once
// The exhaustive index: every vector in one row-major store, every search a
// full scan.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "metrics/candidate.h"
#include "metrics/failure.h"
#include "metrics/metrics.h"

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

class Flat {
  public:
    Flat(std::uint32_t dim, MetricFn metric) : dim_(dim), metric_(metric) {}

    std::uint32_t dim() const { return dim_; }
    MetricFn metric() const { return metric_; }
    /// Number of stored vectors (0 when dim is 0, whatever was inserted).
    std::size_t size() const { return dim_ == 0 ? 0 : vectors_.size() / dim_; }
    const std::vector<double>& vectors() const { return vectors_; }

    /// Appends one vector. A length other than dim throws InternalFailure and
    /// stores nothing; an allocation failure stores nothing either.
    void insert(Vec vector);

    /// Appends a batch in order, or EmptyVectors for an empty batch. The
    /// first vector of the wrong length throws InternalFailure; the ones
    /// before it stay stored.
    std::optional<FlatError> create(std::span<const std::vector<double>> vectors);

    /// Fills `out` with the first max(k, 1) candidates in ranking order, or
    /// returns EmptyIndex. The query's length must be dim (the caller checks).
    std::optional<FlatError> search(Vec query, std::uint32_t k,
                                    std::vector<Candidate>& out) const;

  private:
    std::uint32_t dim_;
    MetricFn metric_;
    std::vector<double> vectors_;
};

}  // namespace orbisk
