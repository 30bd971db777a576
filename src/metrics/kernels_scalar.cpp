// Plain C++: the table every machine has, and the one the others are tested
// against.
#include "metrics/kernels.h"

namespace orbisk {

namespace {

// Each value widened to double (exact for a float) before it is used.
template <class T>
void squared_l2_rows(const T* base, const std::int64_t* offsets, std::size_t groups, const double* q, std::size_t from,
                     std::size_t to, double* acc) {
    for (std::size_t r = 0; r < groups * lanes; ++r) {
        const T* row = base + offsets[r];
        for (std::size_t i = from; i < to; ++i) {
            const double d = q[i] - static_cast<double>(row[i]);
            acc[r] += d * d;
        }
    }
}

template <class T>
void dot_rows(const T* base, const std::int64_t* offsets, std::size_t groups, const double* q, std::size_t from,
              std::size_t to, double* acc) {
    for (std::size_t r = 0; r < groups * lanes; ++r) {
        const T* row = base + offsets[r];
        for (std::size_t i = from; i < to; ++i) acc[r] += q[i] * static_cast<double>(row[i]);
    }
}

void code_blocks(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q,
                 std::int32_t* out) {
    for (std::size_t b = 0; b < count; ++b) {
        const std::uint8_t* block = blocks + b * groups * code_lanes * 4;
        for (std::size_t r = 0; r < code_lanes; ++r) {
            std::int32_t sum = 0;
            for (std::size_t g = 0; g < groups; ++g) {
                for (std::size_t j = 0; j < 4; ++j) sum += block[(g * code_lanes + r) * 4 + j] * q[g * 4 + j];
            }
            out[b * code_lanes + r] = sum;
        }
    }
}

void code_rows(const std::uint8_t* base, const std::uint32_t* rows, std::size_t count, std::size_t stride,
               const std::int8_t* q, std::size_t bytes, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* row = base + std::size_t{rows[i]} * stride;
        std::int32_t sum = 0;
        for (std::size_t j = 0; j < bytes; ++j) sum += row[j] * q[j];
        out[i] = sum;
    }
}

}  // namespace

const CodeKernels scalar_codes = {"scalar", 127,         code_blocks,      code_rows,
                                  nullptr,  screen_rows, first_leaves8_of, single_leaves16_of};

const Kernels scalar_kernels = {"scalar",        squared_l2_rows<double>, dot_rows<double>,    squared_l2_rows<float>,
                                dot_rows<float>, encode_block<double>,    encode_block<float>, &scalar_codes};

}  // namespace orbisk
