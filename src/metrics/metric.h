#pragma once
// The metric an index ranks by, chosen once when the index is made, and
// everything that depends on it: the exact distance, what is kept per stored
// vector, which row kernel sums it and how that sum becomes the distance,
// whether a partial sum may be abandoned, and the kernel table that serves
// it. Indexes take every formula from here and ask for properties, never for
// a kind.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/cpu.h"
#include "common/vec.h"
#include "metrics/codes.h"
#include "metrics/kernels.h"
#include "metrics/metric_kind.h"
#include "metrics/metrics.h"

namespace orbisk {

class Metric {
  public:
    explicit Metric(MetricKind kind = MetricKind::Euclidean, Isa isa = best_isa())
        : kind_(kind), isa_(isa), kernels_(&distance_kernels(isa)) {}

    Isa isa() const { return isa_; }
    const Kernels& kernels() const { return *kernels_; }

    /// The exact distance of a (the query) and b (a stored vector).
    double distance(Vec a, Vec b) const {
        switch (kind_) {
            case MetricKind::Euclidean: return euclidean_distance(a, b);
            case MetricKind::Dot: return dot_product(a, b);
            case MetricKind::Cosine: break;
        }
        return cosine_similarity(a, b);
    }

    /// Whether an index keeps each stored vector's norm (cosine divides by it).
    bool keeps_norms() const { return kind_ == MetricKind::Cosine; }

    /// The norm kept for row i of `norms`, or 0 where the metric keeps none
    /// (then `norms` may be null).
    double row_norm(const double* norms, std::size_t i) const { return keeps_norms() ? norms[i] : 0.0; }

    /// Whether the metric sums squared differences: partial sums never
    /// decrease, so a scan may abandon a row once its partial sum reaches
    /// abandoning_bound, and the distance obeys the triangle inequality, so a
    /// graph's link lengths bound its neighbours' distances. Sums of products
    /// may fall as well as rise: such rows are summed to the end.
    bool sums_squares() const { return kind_ == MetricKind::Euclidean; }

    /// The row kernel (kernels.h) for rows stored as T whose sums finish()
    /// turns into distances.
    template <class T = double>
    RowsKernelOf<T> rows_kernel() const {
        return sums_squares() ? kernels_->squared_l2<T>() : kernels_->dot<T>();
    }

    /// The distance from rows_kernel()'s sum over a whole row: bit for bit
    /// distance(query, row), given the norms that norm() computes.
    double finish(double sum, double query_norm, double row_norm) const {
        return sums_squares() ? from_squares(sum) : from_dot(sum, query_norm, row_norm);
    }

    /// What a query contributes once per search: its norm, for cosine.
    double query_norm(Vec query) const { return keeps_norms() ? norm(query) : 0.0; }

    /// The distance from a dot product over the common prefix (dot and cosine
    /// metrics): bit for bit the metric's own result, given the norms that
    /// norm() computes.
    double from_dot(double dot, double query_norm, double row_norm) const {
        return kind_ == MetricKind::Cosine ? cosine_of(dot, query_norm, row_norm) : dot;
    }

    /// The Euclidean distance from its sum of squared differences.
    static double from_squares(double sum) { return std::sqrt(sum); }

    /// A stored vector's screening code and what its bounds need (codes.h).
    CodeInfo encode(Vec v, std::uint8_t* out) const { return orbisk::encode(v, kind_, out); }
    CodeInfo encode(std::span<const float> v, std::uint8_t* out) const { return orbisk::encode(v, kind_, out); }
    /// code_lanes rows coded into one block, with their norms when `norms`
    /// is not null (encode_block, by the kernel table's encoder).
    template <class T>
    void encode_block(const T* rows, std::size_t dim, std::uint8_t* block, CodeInfo* info, double* norms) const {
        kernels_->encode<T>()(rows, dim, kind_, block, info, norms);
    }

    /// The RunBounds of the code_lanes coded rows from `first` (codes.h),
    /// from their CodeInfo fields.
    RunBounds run_bounds(std::size_t first, const float* scales, const float* rhos, const double* extents) const {
        return orbisk::run_bounds(kind_, code_lanes, scales + first, rhos + first, extents + first);
    }

    /// One screen of coded blocks by the kernels (CodeKernels::screen): rows
    /// whose lower bound exceeds `threshold` fail it.
    Screen screen(const QueryCode& q, double threshold) const { return {kind_, &q, threshold}; }

    /// Bounds on the distance of a query and a coded stored vector (codes.h);
    /// `row_norm` as row_norm() gives it.
    Bounds bounds(const QueryCode& q, float scale, float rho, double extent, std::int32_t raw, double row_norm) const {
        return orbisk::bounds(kind_, q, scale, rho, extent, raw, row_norm);
    }

    /// Whether a coded stored vector may lie within `t` (codes.h, may_pass);
    /// `widened` is widened_threshold(t).
    bool may_pass(const QueryCode& q, double widened, double t, float scale, float rho, double extent, std::int32_t raw,
                  double row_norm) const {
        return orbisk::may_pass(kind_, q, widened, t, scale, rho, extent, raw, row_norm);
    }

  private:
    MetricKind kind_;
    Isa isa_;
    const Kernels* kernels_;
};

/// The smallest double whose square root is not below `distance`: a partial
/// sum of squares that reaches it can only end at `distance` or beyond, since
/// such sums never decrease and sqrt is correctly rounded and monotone.
/// NaN (abandon nothing) when `distance` is NaN.
double abandoning_bound(double distance);

}  // namespace orbisk
