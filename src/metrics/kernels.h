#pragma once
// Block kernels of the exhaustive scan. A block holds `lanes` rows stored
// element-interleaved: element i of row r sits at block[i * lanes + r]. Every
// kernel keeps one accumulator per row and adds that row's terms in element
// order, so each lane computes exactly the sequential sum; SIMD runs across
// rows, never within one sum.

#include <cstddef>
#include <cstdint>

namespace orbisk {

inline constexpr std::size_t lanes = 8;

/// Room a visit_run needs beyond what it appends to.
inline constexpr std::size_t visit_room = 48;

/// Blocks a kernel advances together: independent accumulator chains, so
/// that the adds of one block need not wait for those of another.
inline constexpr std::size_t slots = 4;

struct Kernels {
    const char* name;
    /// For each of the first `count` (<= slots) blocks s: adds
    /// (q[i] - row_r[i])^2 for i in [from[s], from[s] + steps), in order, to
    /// acc[s * lanes + r]. Each block has its own position, so a block that is
    /// done can give way to the next while the others go on.
    void (*squared_l2_slots)(const double* const* blocks, const std::size_t* from, std::size_t count,
                             const double* q, std::size_t steps, double* acc);
    /// For each of the first `count` (<= slots) blocks s: out[s * lanes + r]
    /// = sum of q[i] * row_r[i] for i < dim, in order.
    void (*dot_blocks)(const double* const* blocks, std::size_t count, const double* q, std::size_t dim,
                       double* out);
    /// For `groups` (<= slots) groups of `lanes` row-major rows, row r of
    /// group g starting at base + offsets[g * lanes + r]: adds
    /// (q[i] - row[i])^2, or q[i] * row[i], for i in [from, to), in order, to
    /// acc[g * lanes + r]. Resuming where a call stopped gives the same sums
    /// as one call. Groups are independent chains, computed side by side.
    void (*squared_l2_rows)(const double* base, const std::int64_t* offsets, std::size_t groups,
                            const double* q, std::size_t from, std::size_t to, double* acc);
    void (*dot_rows)(const double* base, const std::int64_t* offsets, std::size_t groups, const double* q,
                     std::size_t from, std::size_t to, double* acc);
    /// Reads the list entries j < `size` (<= 32) whose bit is set in `use`,
    /// id j being `base | low[j]`, or `high[j] << 16 | low[j]` when `high` is
    /// not null: each id whose stamp is not `generation` gets it, and is
    /// appended with its code to ids / codes, in list order. Returns how many were appended; ids and codes
    /// need room for `visit_room` more whatever the count. Lists hold no id
    /// twice.
    std::size_t (*visit_run)(const std::uint16_t* low, std::uint32_t base, const std::uint16_t* high,
                             const std::uint8_t* run_codes, std::size_t size, std::uint32_t use, std::uint32_t* stamps,
                             std::uint32_t generation, std::uint32_t* ids, std::uint8_t* codes);
};

/// Calls f.template operator()<N>() with N == count, for count in 1..slots:
/// each instruction set compiles its kernels for a known number of blocks.
template <class F>
void with_slot_count(std::size_t count, F&& f) {
    switch (count) {
        case 4: return f.template operator()<4>();
        case 3: return f.template operator()<3>();
        case 2: return f.template operator()<2>();
        case 1: return f.template operator()<1>();
    }
}

/// The smallest double whose square root is not below `distance`: a partial
/// sum of squares that reaches it can only end at `distance` or beyond, since
/// such sums never decrease and sqrt is correctly rounded and monotone.
/// NaN (abandon nothing) when `distance` is NaN.
double abandoning_bound(double distance);

/// The fastest table this CPU supports, chosen on first use.
const Kernels& kernels();

/// Every table this CPU supports, portable one first (for tests).
std::size_t supported_kernels(const Kernels** out, std::size_t capacity);

extern const Kernels scalar_kernels;
extern const Kernels avx2_kernels;
extern const Kernels avx512_kernels;

}  // namespace orbisk
