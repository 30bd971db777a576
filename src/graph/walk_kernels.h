#pragma once
// The walk's code products: for each of a few scattered records, the sum of
// its code bytes times the query's codes. Integers, exact whatever the order
// of the adds, so every table gives the same sums and a walk goes the same
// way on every machine. One table per instruction set, as for the distance
// kernels; the scalar one everywhere.

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"

namespace orbisk {

struct WalkKernels {
    const char* name;
    /// out[i] = sum over j < bytes of rec[j] * q[j], rec the record at
    /// base + ids[i] * stride; bytes is a multiple of four, and no byte
    /// past a record's `bytes` is read.
    void (*products)(const std::uint8_t* base, const std::uint32_t* ids, std::size_t count, std::size_t stride,
                     const std::int8_t* q, std::size_t bytes, std::int32_t* out);
};

extern const WalkKernels scalar_walk;
extern const WalkKernels avx2_walk;
extern const WalkKernels vnni_walk;

/// The table of `isa`, which must be one this CPU runs.
const WalkKernels& walk_kernels(Isa isa);

}  // namespace orbisk
