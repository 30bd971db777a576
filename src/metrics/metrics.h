#pragma once
// The three distance functions. Each accumulates from +0.0 in element order,
// rounding every product before the add (the build forbids contraction), so
// results are bit-identical to the plain sequential loop.

#include <cstddef>
#include <span>

namespace orbisk {

using Vec = std::span<const double>;

/// Signature shared by the metrics: a is the query (or the vector being
/// inserted), b the stored vector. Lengths may differ; nothing is checked.
using MetricFn = double (*)(Vec a, Vec b);

/// sqrt of the sum of squared differences over the common prefix.
double euclidean_distance(Vec a, Vec b);
/// Sum of products over the common prefix.
double dot_product(Vec a, Vec b);
/// dot(prefix) / (sqrt(|a|^2) * sqrt(|b|^2)), norms over the whole vectors.
double cosine_similarity(Vec a, Vec b);

}  // namespace orbisk
