// Which walk table serves each instruction set: AVX-512 F alone brings
// nothing the products need beyond AVX2, so that set takes the AVX2 table.
// Tables for sets this build does not compile (on other architectures) are
// never asked for: such a set is never among supported_isas().
#include "graph/walk_kernels.h"

namespace orbisk {

const WalkKernels& walk_kernels(Isa isa) {
    switch (isa) {
        case Isa::Scalar: break;
#if defined(__x86_64__)
        case Isa::Avx2: return avx2_walk;
        case Isa::Avx512: return avx2_walk;
        case Isa::Avx512Vnni:
        case Isa::Amx: return vnni_walk;
#else
        default: break;  // another machine's sets
#endif
    }
    return scalar_walk;
}

}  // namespace orbisk
