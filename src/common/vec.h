#pragma once
// A read-only view of a vector's values.

#include <span>

namespace orbisk {

using Vec = std::span<const double>;

}  // namespace orbisk
