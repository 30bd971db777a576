#pragma once
// Equality filters over one metadata attribute.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "metadata/metadata.h"

namespace orbisk {

/// Decides whether a node's value passes. Immutable and free of side effects,
/// so one share may be called from several threads.
using Predicate = std::function<bool(const Metadata&)>;

struct Filter {
    std::string attribute;                       ///< as the caller gave it
    std::shared_ptr<const Predicate> predicate;  ///< shared, immutable
};

/// A filter admitting exactly the values equal to `value`.
Filter make_filter(std::string attribute, Metadata value);

/// Why a filter's attribute has no place in a schema.
enum class LookupError {
    NoSchema,     ///< the index has no schema
    EmptySchema,  ///< its schema names nothing
    NotFound,     ///< no name of it equals the attribute
};

/// Position of `attribute` among the schema names (first match), or why
/// there is none, checked in the order of LookupError.
std::variant<std::size_t, LookupError> attribute_position(const Schema& schema, std::string_view attribute);

/// Whether the filter admits `node`, whose attribute sits at `position` of its
/// record. A node without a record is never admitted.
inline bool filter_matches(const MetadataStore& store, const Filter& filter, std::size_t position, std::uint32_t node) {
    const Metadata* value = store.value(node, position);
    return value != nullptr && (*filter.predicate)(*value);
}

}  // namespace orbisk
