#pragma once
// Failures the cores report by exception rather than by error value.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

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

/// A float64 row holding a value that float32 storage cannot keep exactly
/// (row_store.h): `row` counts from the first row of the call. The Python
/// layer reports it as ValueError.
class InexactRow : public std::invalid_argument {
  public:
    explicit InexactRow(std::size_t row)
        : std::invalid_argument("row " + std::to_string(row) +
                                " holds a value that float32 storage cannot keep exactly"),
          row(row) {}
    std::size_t row;
};

/// Largest number of vectors an index can hold: ids are 32-bit.
inline constexpr std::uint64_t max_vectors = 0xFFFFFFFFu;

}  // namespace orbisk
