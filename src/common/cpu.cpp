#include "common/cpu.h"

#include <array>
#include <cstddef>
#include <iterator>

#include "kernel_cap.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace orbisk {

namespace {

#if defined(__x86_64__)
/// Whether the CPU has AMX's int8 tiles and the system lets this process
/// use them: Linux asks a process to request the tile state first, which
/// it refuses when the system does not save it (or a thread's signal stack
/// is too small to hold it).
bool tiles_usable() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    constexpr unsigned tile = 1u << 24, int8 = 1u << 25;
    if ((d & (tile | int8)) != (tile | int8)) return false;
#if defined(__linux__)
    constexpr long request_state = 0x1023, tile_data = 18;  // ARCH_REQ_XCOMP_PERM, XFEATURE_XTILEDATA
    return syscall(SYS_arch_prctl, request_state, tile_data) == 0;
#else
    return false;
#endif
}
#endif

/// Whether this CPU runs `isa`.
bool runs(Isa isa) {
    switch (isa) {
        case Isa::Scalar: return true;
#if defined(__x86_64__)
        case Isa::Avx2: return __builtin_cpu_supports("avx2");
        case Isa::Avx512: return __builtin_cpu_supports("avx512f");
        case Isa::Avx512Vnni:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
        case Isa::Amx: return runs(Isa::Avx512Vnni) && tiles_usable();
#else
        default: break;  // another machine's sets
#endif
    }
    return false;
}

struct Detected {
    std::array<Isa, std::size(all_isas)> sets{};
    std::size_t count = 0;
};

// Every set the CPU runs, in the order of Isa.
Detected detect() {
#if defined(__x86_64__)
    __builtin_cpu_init();
#endif
    Detected d;
    for (Isa isa : all_isas) {
        if (runs(isa)) d.sets[d.count++] = isa;
    }
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
#define ORBISK_ISA(id, name, flags) \
    case Isa::id: return #name;
#include "common/isa_list.h"
#undef ORBISK_ISA
    }
    return "unknown";
}

}  // namespace orbisk
