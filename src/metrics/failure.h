#pragma once
// Failures the cores report by exception rather than by error value, and the
// growth helper that keeps appends all-or-nothing.

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

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

/// Grows `v` so that `extra` more elements fit without reallocation, keeping
/// amortised doubling. Throws std::bad_alloc with `v` untouched, so the append
/// that follows cannot fail halfway.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
    const std::size_t size = v.size();
    if (extra <= v.capacity() - size) return;
    if (extra > v.max_size() - size) throw std::bad_alloc();
    const std::size_t doubled = v.capacity() > v.max_size() / 2 ? v.max_size() : v.capacity() * 2;
    v.reserve(std::max(size + extra, doubled));
}

}  // namespace orbisk
