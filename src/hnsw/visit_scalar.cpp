// One entry at a time: the table every machine has, and the one the others
// are tested against.
#include "hnsw/visit.h"

namespace orbisk {

namespace {

std::size_t visit_run(const std::uint16_t* low, std::uint32_t base, const std::uint16_t* high,
                      const std::uint8_t* run_codes, std::size_t size, std::uint32_t use, std::uint32_t* stamps,
                      std::uint32_t generation, std::uint32_t* ids, std::uint8_t* codes) {
    std::size_t added = 0;
    for (std::size_t j = 0; j < size; ++j) {
        if (!((use >> j) & 1)) continue;
        const std::uint32_t id = high ? (std::uint32_t{high[j]} << 16) | low[j] : base | low[j];
        if (stamps[id] == generation) continue;
        stamps[id] = generation;
        ids[added] = id;
        codes[added++] = run_codes[j];
    }
    return added;
}

}  // namespace

const VisitKernels scalar_visit = {"scalar", visit_run};

}  // namespace orbisk
