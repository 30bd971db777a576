#include "metrics/kernels.h"

#include <cmath>
#include <limits>

namespace orbisk {

namespace {

void squared_l2_slots(const double* const* blocks, const std::size_t* from, std::size_t count,
                      const double* q, std::size_t steps, double* acc) {
    for (std::size_t s = 0; s < count; ++s) {
        for (std::size_t i = from[s]; i < from[s] + steps; ++i) {
            const double qi = q[i];
            const double* col = blocks[s] + i * lanes;
            for (std::size_t r = 0; r < lanes; ++r) {
                const double d = qi - col[r];
                acc[s * lanes + r] += d * d;
            }
        }
    }
}

void dot_blocks(const double* const* blocks, std::size_t count, const double* q, std::size_t dim, double* out) {
    for (std::size_t s = 0; s < count; ++s) {
        double acc[lanes] = {};
        for (std::size_t i = 0; i < dim; ++i) {
            const double qi = q[i];
            const double* col = blocks[s] + i * lanes;
            for (std::size_t r = 0; r < lanes; ++r) acc[r] += qi * col[r];
        }
        for (std::size_t r = 0; r < lanes; ++r) out[s * lanes + r] = acc[r];
    }
}

void squared_l2_rows(const double* base, const std::int64_t* offsets, std::size_t groups, const double* q,
                     std::size_t from, std::size_t to, double* acc) {
    for (std::size_t r = 0; r < groups * lanes; ++r) {
        const double* row = base + offsets[r];
        for (std::size_t i = from; i < to; ++i) {
            const double d = q[i] - row[i];
            acc[r] += d * d;
        }
    }
}

void dot_rows(const double* base, const std::int64_t* offsets, std::size_t groups, const double* q,
              std::size_t from, std::size_t to, double* acc) {
    for (std::size_t r = 0; r < groups * lanes; ++r) {
        const double* row = base + offsets[r];
        for (std::size_t i = from; i < to; ++i) acc[r] += q[i] * row[i];
    }
}

std::size_t visit_run(const std::uint16_t* low, std::uint32_t base, const std::uint16_t* high,
                      const std::uint8_t* run_codes, std::size_t size, std::uint32_t use, std::uint32_t* stamps,
                      std::uint32_t generation, std::uint32_t* ids, std::uint8_t* codes) {
    std::size_t added = 0;
    for (std::size_t j = 0; j < size; ++j) {
        if (!((use >> j) & 1)) continue;
        const std::uint32_t id = high ? (std::uint32_t{high[j]} << 16) | low[j] : base | low[j];
        if (stamps[id] == generation) continue;
        stamps[id] = generation;
        ids[added] = id;
        codes[added++] = run_codes[j];
    }
    return added;
}

}  // namespace

const Kernels scalar_kernels = {"scalar", squared_l2_slots, dot_blocks, squared_l2_rows, dot_rows, visit_run};

double abandoning_bound(double distance) {
    if (std::isnan(distance)) return std::numeric_limits<double>::quiet_NaN();
    double t = distance * distance;
    while (t > 0.0 && std::sqrt(std::nextafter(t, 0.0)) >= distance) t = std::nextafter(t, 0.0);
    while (std::sqrt(t) < distance) t = std::nextafter(t, std::numeric_limits<double>::infinity());
    return t;
}

const Kernels& kernels() {
    static const Kernels* chosen = [] {
        const Kernels* all[3];
        const std::size_t n = supported_kernels(all, 3);
        return all[n - 1];
    }();
    return *chosen;
}

std::size_t supported_kernels(const Kernels** out, std::size_t capacity) {
    std::size_t n = 0;
    if (n < capacity) out[n++] = &scalar_kernels;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (n < capacity && __builtin_cpu_supports("avx2")) out[n++] = &avx2_kernels;
    if (n < capacity && __builtin_cpu_supports("avx512f")) out[n++] = &avx512_kernels;
#endif
    return n;
}

}  // namespace orbisk
