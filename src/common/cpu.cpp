#include "common/cpu.h"

#include <array>
#include <cstddef>

#include "kernel_cap.h"

namespace orbisk {

namespace {

struct Detected {
    std::array<Isa, 4> sets{};
    std::size_t count = 0;
};

// Every set the CPU runs, in the order of Isa.
Detected detect() {
    Detected d;
    d.sets[d.count++] = Isa::Scalar;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) d.sets[d.count++] = Isa::Avx2;
    if (__builtin_cpu_supports("avx512f")) d.sets[d.count++] = Isa::Avx512;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vnni")) {
        d.sets[d.count++] = Isa::Avx512Vnni;
    }
#endif
    return d;
}

}  // namespace

std::vector<Isa> isas_up_to(Isa cap) {
    static const Detected cpu = detect();
    std::vector<Isa> sets;
    for (std::size_t i = 0; i < cpu.count; ++i) {
        if (cpu.sets[i] <= cap) sets.push_back(cpu.sets[i]);
    }
    return sets;
}

Isa kernel_cap() { return static_cast<Isa>(ORBISK_KERNEL_CAP); }

std::span<const Isa> supported_isas() {
    static const std::vector<Isa> sets = isas_up_to(kernel_cap());
    return sets;
}

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
