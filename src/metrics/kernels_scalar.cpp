// Plain C++: the table every machine has, and the one the others are tested
// against.
#include "metrics/kernels.h"

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

}  // namespace

const Kernels scalar_kernels = {"scalar", squared_l2_slots, dot_blocks, squared_l2_rows, dot_rows};

}  // namespace orbisk
