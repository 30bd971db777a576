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

enum class Isa : std::uint8_t {
    Scalar,  ///< plain C++: every machine
    Avx2,
    Avx512,  ///< AVX-512 F
    Avx512Vnni,  ///< AVX-512 F, BW and VNNI
};

/// The sets this CPU runs up to `cap`, portable first and fastest last;
/// Scalar always.
std::vector<Isa> isas_up_to(Isa cap);

/// The last set this build may use: the one ORBISK_MAX_KERNELS names, or
/// Avx512Vnni when it names none.
Isa kernel_cap();

/// The sets in use: isas_up_to(kernel_cap()), found once.
std::span<const Isa> supported_isas();

/// The last of supported_isas(): the set an index uses unless told otherwise.
Isa best_isa();

const char* isa_name(Isa isa);

}  // namespace orbisk
