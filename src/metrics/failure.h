#pragma once
// Failures the cores report by exception rather than by error value, and the
// growth helper that keeps appends all-or-nothing.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
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

/// An allocator whose resize leaves new doubles uninitialised, for stores
/// that write every element they grow by.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

/// Asks the kernel to back a large store with huge pages: fewer page faults
/// when it is first written and fewer TLB misses when it is scanned. A hint
/// only; nothing depends on it.
void advise_huge_pages(const void* data, std::size_t bytes);

/// Grows `v` so that `extra` more elements fit without reallocation, keeping
/// amortised doubling. Throws std::bad_alloc with `v` untouched, so the append
/// that follows cannot fail halfway.
template <class T, class A>
void reserve_more(std::vector<T, A>& v, std::size_t extra) {
    const std::size_t size = v.size();
    if (extra <= v.capacity() - size) return;
    if (extra > v.max_size() - size) throw std::bad_alloc();
    const std::size_t doubled = v.capacity() > v.max_size() / 2 ? v.max_size() : v.capacity() * 2;
    v.reserve(std::max(size + extra, doubled));
    advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

}  // namespace orbisk
