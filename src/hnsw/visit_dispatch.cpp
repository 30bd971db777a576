// Which visit table serves each instruction set: the graph's lists need no
// more than AVX-512 F, so the VNNI set takes its table. Tables for sets this
// build does not compile (on other architectures) are never asked for: such
// a set is never among supported_isas().
#include "hnsw/visit.h"

namespace orbisk {

const VisitKernels& visit_kernels(Isa isa) {
    switch (isa) {
        case Isa::Scalar: break;
#if defined(__x86_64__)
        case Isa::Avx2: return avx2_visit;
        case Isa::Avx512: return avx512_visit;
        case Isa::Avx512Vnni:
        case Isa::Amx: return avx512_visit;
#else
        default: break;  // another machine's sets
#endif
    }
    return scalar_visit;
}

}  // namespace orbisk
