#pragma once
// The instruction sets the kernels are compiled for, and which of them this
// CPU runs. Each family of kernels keeps one table per instruction set; an
// index is given the set to use when it is made (the best one by default,
// any supported one in tests).

#include <cstdint>
#include <span>

namespace orbisk {

enum class Isa : std::uint8_t {
    Scalar,  ///< plain C++: every machine
    Avx2,
    Avx512,  ///< AVX-512 F
    Avx512Vnni,  ///< AVX-512 F, BW and VNNI
};

/// The sets this CPU runs, portable first and fastest last; Scalar always.
std::span<const Isa> supported_isas();

/// The last of supported_isas(), found once.
Isa best_isa();

const char* isa_name(Isa isa);

}  // namespace orbisk
