#pragma once
// Failures the cores report by exception rather than by error value.

#include <cstdint>
#include <stdexcept>

namespace orbisk {

/// A broken precondition inside a core operation. The Python layer reports it
/// as PanicException carrying what().
class InternalFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// An insertion that would give a vector an id beyond 32 bits. The Python
/// layer reports it as ValueError.
class CapacityExceeded : public std::length_error {
  public:
    CapacityExceeded() : std::length_error("Index cannot hold more than 4294967295 vectors") {}
};

/// Largest number of vectors an index can hold: ids are 32-bit.
inline constexpr std::uint64_t max_vectors = 0xFFFFFFFFu;

}  // namespace orbisk
