#pragma once
// The three distance functions, and the pieces of them that the indexes
// compute apart (a stored vector's norm once at insertion, a query's once
// per search). Each accumulates from +0.0 in element order, rounding every
// product before the add (the build forbids contraction), so results are
// bit-identical to the plain sequential loop; the pieces are the very
// expressions the functions are made of, so a distance put together from
// them has the same bits as the function's.

#include <cmath>
#include <cstddef>
#include <span>

#include "common/vec.h"

namespace orbisk {

// In each of the three, a is the query (or the vector being inserted) and b
// the stored vector. Lengths may differ; nothing is checked.

/// sqrt of the sum of squared differences over the common prefix.
double euclidean_distance(Vec a, Vec b);
/// Sum of products over the common prefix.
double dot_product(Vec a, Vec b);
/// dot(prefix) / (sqrt(|a|^2) * sqrt(|b|^2)), norms over the whole vectors.
double cosine_similarity(Vec a, Vec b);

/// a[0]*b[0] + a[1]*b[1] + ... for i < n, from +0.0 in element order.
double sum_of_products(const double* a, const double* b, std::size_t n);

/// sqrt of v's sum of squares: the norm cosine_similarity divides by.
inline double norm(Vec v) { return std::sqrt(sum_of_products(v.data(), v.data(), v.size())); }
/// The norm of v's values widened: norm() of the same values as doubles.
double norm(std::span<const float> v);

/// cosine_similarity's last step: its dot product over the two norms.
inline double cosine_of(double dot, double norm_a, double norm_b) { return dot / (norm_a * norm_b); }

}  // namespace orbisk
