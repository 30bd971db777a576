#pragma once
// Block kernels of the exhaustive scan. A block holds `lanes` rows stored
// element-interleaved: element i of row r sits at block[i * lanes + r]. Every
// kernel keeps one accumulator per row and adds that row's terms in element
// order, so each lane computes exactly the sequential sum; SIMD runs across
// rows, never within one sum.

#include <cstddef>

namespace orbisk {

inline constexpr std::size_t lanes = 8;

struct Kernels {
    const char* name;
    /// out[r] = sum of (q[i] - row_r[i])^2 for i < dim, in order. Stops early
    /// and returns false once every lane's partial sum is >= bound (then the
    /// contents of out are partial); returns true with the full sums otherwise.
    bool (*squared_l2)(const double* block, const double* q, std::size_t dim, double bound,
                       double* out);
    /// out[r] = sum of q[i] * row_r[i] for i < dim, in order.
    void (*dot)(const double* block, const double* q, std::size_t dim, double* out);
};

/// The fastest table this CPU supports, chosen on first use.
const Kernels& kernels();

/// Every table this CPU supports, portable one first (for tests).
std::size_t supported_kernels(const Kernels** out, std::size_t capacity);

extern const Kernels scalar_kernels;
extern const Kernels avx2_kernels;
extern const Kernels avx512_kernels;

}  // namespace orbisk
