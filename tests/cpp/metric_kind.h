#pragma once
// The index metric that serves a reference function: tests compute their
// expected distances with the plain functions and build indexes by kind.

#include "metrics/metric.h"

namespace orbisk {

inline MetricKind kind_of(MetricFn f) {
    if (f == euclidean_distance) return MetricKind::Euclidean;
    if (f == dot_product) return MetricKind::Dot;
    return MetricKind::Cosine;
}

}  // namespace orbisk
