#include "common/memory.h"

#include <cstdint>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace orbisk {

#if defined(__linux__)
Pages::Pages(std::size_t bytes) : bytes_(bytes) {
    data_ = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data_ == MAP_FAILED) throw std::bad_alloc();
}

Pages::~Pages() { munmap(data_, bytes_); }

bool Pages::resize(std::size_t bytes) {
    void* moved = mremap(data_, bytes_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return false;
    data_ = moved;
    bytes_ = bytes;
    return true;
}
#else
Pages::Pages(std::size_t bytes) : data_(::operator new(bytes)), bytes_(bytes) {}

Pages::~Pages() { ::operator delete(data_); }

bool Pages::resize(std::size_t) { return false; }
#endif

void release_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void advise_huge_pages(const void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    if (bytes < 4 * huge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // bytes >= 4 pages: end > begin
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace orbisk
