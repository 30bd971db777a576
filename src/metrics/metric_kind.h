#pragma once

#include <cstdint>

namespace orbisk {

/// The metrics an index can rank by.
enum class MetricKind : std::uint8_t {
    Euclidean,  ///< euclidean_distance
    Dot,        ///< dot_product
    Cosine,     ///< cosine_similarity
};

}  // namespace orbisk
