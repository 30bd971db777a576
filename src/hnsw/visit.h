#pragma once
// Kernels that visit a run of a node's list (see links.h): the entries a
// walk may use are checked against the walk's stamps, and the new ones are
// stamped and handed out with their link codes, in list order. One table per
// instruction set, as for the distance kernels.

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"

namespace orbisk {

/// Room a visit_run needs beyond what it appends to.
inline constexpr std::size_t visit_room = 48;

struct VisitKernels {
    const char* name;
    /// Reads the list entries j < `size` (<= 32) whose bit is set in `use`,
    /// id j being `base | low[j]`, or `high[j] << 16 | low[j]` when `high` is
    /// not null: each id whose stamp is not `generation` gets it, and is
    /// appended with its code to ids / codes, in list order. Returns how many
    /// were appended; ids and codes need room for `visit_room` more whatever
    /// the count. Lists hold no id twice.
    std::size_t (*visit_run)(const std::uint16_t* low, std::uint32_t base, const std::uint16_t* high,
                             const std::uint8_t* run_codes, std::size_t size, std::uint32_t use, std::uint32_t* stamps,
                             std::uint32_t generation, std::uint32_t* ids, std::uint8_t* codes);
};

extern const VisitKernels scalar_visit;
extern const VisitKernels avx2_visit;
extern const VisitKernels avx512_visit;

/// The table of `isa`, which must be one this CPU runs (supported_isas()).
const VisitKernels& visit_kernels(Isa isa);

}  // namespace orbisk
