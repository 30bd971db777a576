#pragma once
// The instruction sets the kernels are compiled for, and which of them this
// CPU runs. Each family of kernels keeps one table per instruction set; an
// index is given the set to use when it is made (the best one by default,
// any supported one in tests). A build may cap the sets it uses
// (ORBISK_MAX_KERNELS), so that one machine can run as one with fewer would.

#include <cstdint>
#include <span>
#include <vector>

namespace orbisk {

/// The sets of isa_list.h, in its order.
enum class Isa : std::uint8_t {
#define ORBISK_ISA(id, name, flags) id,
#include "common/isa_list.h"
#undef ORBISK_ISA
};

/// Every set of isa_list.h, portable first.
inline constexpr Isa all_isas[] = {
#define ORBISK_ISA(id, name, flags) Isa::id,
#include "common/isa_list.h"
#undef ORBISK_ISA
};

/// The sets this CPU runs up to `cap`, portable first and fastest last;
/// Scalar always.
std::vector<Isa> isas_up_to(Isa cap);

/// The last set this build may use: the one ORBISK_MAX_KERNELS names, or
/// the last of all_isas when it names none.
Isa kernel_cap();

/// The sets in use: isas_up_to(kernel_cap()), found once.
std::span<const Isa> supported_isas();

/// The last of supported_isas(): the set an index uses unless told otherwise.
Isa best_isa();

const char* isa_name(Isa isa);

}  // namespace orbisk
