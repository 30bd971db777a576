// Which distance table serves each instruction set. Tables for sets this
// build does not compile (on other architectures) are never asked for: such
// a set is never among supported_isas().
#include "metrics/kernels.h"

namespace orbisk {

const Kernels& distance_kernels(Isa isa) {
    switch (isa) {
        case Isa::Scalar: break;
#if defined(__x86_64__)
        case Isa::Avx2: return avx2_kernels;
        case Isa::Avx512: return avx512_kernels;
        case Isa::Avx512Vnni: return avx512vnni_kernels;
        case Isa::Amx: return amx_kernels;
#else
        default: break;  // another machine's sets
#endif
    }
    return scalar_kernels;
}

}  // namespace orbisk
