#include "common/cpu.h"

#include <array>
#include <cstddef>

namespace orbisk {

namespace {

struct Supported {
    std::array<Isa, 4> sets{};
    std::size_t count = 0;
};

Supported detect() {
    Supported s;
    s.sets[s.count++] = Isa::Scalar;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) s.sets[s.count++] = Isa::Avx2;
    if (__builtin_cpu_supports("avx512f")) s.sets[s.count++] = Isa::Avx512;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vnni")) {
        s.sets[s.count++] = Isa::Avx512Vnni;
    }
#endif
    return s;
}

const Supported& supported() {
    static const Supported s = detect();
    return s;
}

}  // namespace

std::span<const Isa> supported_isas() { return {supported().sets.data(), supported().count}; }

Isa best_isa() { return supported_isas().back(); }

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::Scalar: return "scalar";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
        case Isa::Avx512Vnni: return "avx512vnni";
    }
    return "unknown";
}

}  // namespace orbisk
