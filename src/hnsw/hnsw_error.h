#pragma once

#include <string_view>

namespace orbisk {

/// Errors of the graph index, in code order 0 to 6. InvalidNodeID belongs to
/// a guard that cannot fire (see HNSW::link_in); the type keeps it all the
/// same, as its codes and names are fixed.
enum class HNSWError {
    InvalidEF,
    InvalidLayer,
    NoSchema,
    EmptySchema,
    AttributeNotFound,
    EmptyVectors,
    InvalidNodeID,
};

/// The variant's name, which is also its text in messages.
std::string_view name(HNSWError e);

}  // namespace orbisk
