#pragma once
// Growth of the stores: appends that cannot fail halfway, uninitialised
// growth for stores that write every element, huge pages for big stores.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace orbisk {

/// An allocator whose resize leaves new elements uninitialised, for stores
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

/// Hands the heap's free pages back to the system. A large batch leaves
/// its converted input and the old buffers of everything that grew as free
/// heap memory, resident until reused; this makes the process's size what
/// the indexes hold. A no-op where the C library offers no such call.
void release_free_memory();

/// Memory taken from the system in whole pages (big stores): given back to
/// it when freed, and grown or shrunk without a copy where the system can
/// move pages (Linux).
class Pages {
  public:
    /// `bytes` (> 0) of new pages; std::bad_alloc when the system has none.
    explicit Pages(std::size_t bytes);
    ~Pages();
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    void* data() const { return data_; }
    std::size_t bytes() const { return bytes_; }
    /// Resizes to `bytes` (> 0), keeping the first min(old, new) bytes: false,
    /// with nothing changed, where pages cannot be moved.
    bool resize(std::size_t bytes);

  private:
    void* data_;
    std::size_t bytes_;
};

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
