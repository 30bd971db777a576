#include "metrics/kernels.h"

#include <cmath>
#include <limits>

namespace orbisk {

namespace {

// How many elements between two looks at the abandoning bound.
constexpr std::size_t stride = 16;

bool squared_l2(const double* block, const double* q, std::size_t dim, double bound, double* out) {
    double acc[lanes] = {};
    for (std::size_t i = 0; i < dim; ++i) {
        const double qi = q[i];
        const double* col = block + i * lanes;
        for (std::size_t r = 0; r < lanes; ++r) {
            const double d = qi - col[r];
            acc[r] += d * d;
        }
        if ((i + 1) % stride == 0 && i + 1 < dim) {
            bool all = true;
            for (std::size_t r = 0; r < lanes; ++r) all = all && acc[r] >= bound;
            if (all) return false;
        }
    }
    for (std::size_t r = 0; r < lanes; ++r) out[r] = acc[r];
    return true;
}

void dot(const double* block, const double* q, std::size_t dim, double* out) {
    double acc[lanes] = {};
    for (std::size_t i = 0; i < dim; ++i) {
        const double qi = q[i];
        const double* col = block + i * lanes;
        for (std::size_t r = 0; r < lanes; ++r) acc[r] += qi * col[r];
    }
    for (std::size_t r = 0; r < lanes; ++r) out[r] = acc[r];
}

void squared_l2_rows(const double* base, const std::int64_t* offsets, const double* q, std::size_t from,
                     std::size_t to, double* acc) {
    for (std::size_t i = from; i < to; ++i) {
        const double qi = q[i];
        for (std::size_t r = 0; r < lanes; ++r) {
            const double d = qi - base[offsets[r] + static_cast<std::int64_t>(i)];
            acc[r] += d * d;
        }
    }
}

void dot_rows(const double* base, const std::int64_t* offsets, const double* q, std::size_t from,
              std::size_t to, double* acc) {
    for (std::size_t i = from; i < to; ++i) {
        for (std::size_t r = 0; r < lanes; ++r) acc[r] += q[i] * base[offsets[r] + static_cast<std::int64_t>(i)];
    }
}

}  // namespace

const Kernels scalar_kernels = {"scalar", squared_l2, dot, squared_l2_rows, dot_rows};

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
