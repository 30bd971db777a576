#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orbisk {

/// The metrics an index can rank by.
enum class MetricKind : std::uint8_t {
    Euclidean,  ///< euclidean_distance
    Dot,        ///< dot_product
    Cosine,     ///< cosine_similarity
};

/// Every metric's name: the one table the bindings read names from.
struct MetricName {
    std::string_view name;
    MetricKind kind;
};
inline constexpr MetricName metric_names[] = {
    {"euclidean", MetricKind::Euclidean},
    {"cosine", MetricKind::Cosine},
    {"inner_product", MetricKind::Dot},
};

/// The metric called `name`, if one is.
inline std::optional<MetricKind> metric_named(std::string_view name) {
    for (const MetricName& m : metric_names) {
        if (m.name == name) return m.kind;
    }
    return std::nullopt;
}

inline std::string_view metric_name(MetricKind kind) {
    for (const MetricName& m : metric_names) {
        if (m.kind == kind) return m.name;
    }
    return "unknown";
}

}  // namespace orbisk
