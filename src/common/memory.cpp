#include "common/memory.h"

#include <cstdint>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace orbisk {

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
