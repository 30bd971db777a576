// Plain C++: the table every machine has, and the one the others are tested
// against.
#include "graph/walk_kernels.h"

namespace orbisk {

namespace {

void products(const std::uint8_t* base, const std::uint32_t* ids, std::size_t count, std::size_t stride,
              const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* rec = base + std::size_t{ids[i]} * stride;
        std::int32_t sum = 0;
        for (std::size_t j = 0; j < bytes; ++j) sum += rec[j] * q[j];
        out[i] = sum;
    }
}

}  // namespace

const WalkKernels scalar_walk = {"scalar", products};

}  // namespace orbisk
