#pragma once
// The index metric that serves a reference function: tests compute their
// expected distances with the plain functions and build indexes by kind.

#include "metrics/metric.h"
#include "metrics/metrics.h"

namespace orbisk {

/// A reference function of metrics.h: a is the query (or the vector being
/// inserted), b the stored vector.
using MetricFn = double (*)(Vec a, Vec b);

inline MetricKind kind_of(MetricFn f) {
    if (f == euclidean_distance) return MetricKind::Euclidean;
    if (f == dot_product) return MetricKind::Dot;
    return MetricKind::Cosine;
}

}  // namespace orbisk
