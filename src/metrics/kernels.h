#pragma once
// Distance kernels, one table per instruction set: row kernels, which read
// row-major rows of float64 or float32 wherever they lie (the exhaustive
// scan's rows one after another, a graph walk's scattered), the encoders
// that code blocks of stored rows, and the kernels of the byte codes.
// Every row kernel keeps one accumulator per row and adds that row's terms in
// element order, so each lane computes exactly the sequential sum; SIMD runs
// across rows, never within one sum. Float32 values are widened to float64
// (exactly) in registers, before any arithmetic.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/cpu.h"
#include "metrics/codes.h"

namespace orbisk {

/// Rows of a group: the rows one kernel call sums side by side.
inline constexpr std::size_t lanes = 8;

/// Groups a kernel advances together: independent accumulator chains, so
/// that the adds of one group need not wait for those of another.
inline constexpr std::size_t slots = 4;

/// Integer products of codes, exact whatever the order of the adds: stored
/// bytes (0..255) times query codes (-query_limit..query_limit), in 32 bits.
struct CodeKernels {
    const char* name;
    /// The largest query code the block kernel takes: a search codes its
    /// query within it (encode_query). 127 where products are summed in 32
    /// bits; less where pairs of products meet in 16 bits first.
    int query_limit;
    /// For `count` consecutive blocks of `groups` groups each:
    /// out[b * code_lanes + r] = sum of row r's bytes times q, element by
    /// element, over the 4 * groups elements.
    void (*blocks)(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q,
                   std::int32_t* out);
    /// out[i] = sum over j < bytes of row[j] * q[j], for the row-major codes
    /// at base + rows[i] * stride; bytes is a multiple of four.
    void (*rows)(const std::uint8_t* base, const std::uint32_t* rows, std::size_t count, std::size_t stride,
                 const std::int8_t* q, std::size_t bytes, std::int32_t* out);
    /// `blocks` for `nq` queries at once over `count` blocks: q holds the
    /// queries' codes one after another (4 * groups bytes each), then zero
    /// codes up to query_rows(nq) queries; out[j * count * code_lanes + i]
    /// is query j's product for row i of the blocks, and out has room for
    /// query_rows(nq) queries. Null in a table that multiplies one query at
    /// a time: a batch then makes each query's products as it screens.
    void (*many)(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q,
                 std::size_t nq, std::int32_t* out);
    /// The screen of n (at most pass_runs * code_lanes) rows of whole blocks
    /// from their products in raw (screen_rows in codes.h): bit r % 64 of
    /// left[r / 64] set for each row r that may pass. scales, rhos, extents
    /// and norms (cosine) hold the rows' values, runs the blocks' RunBounds.
    void (*pass)(const Screen& sc, std::size_t n, const float* scales, const float* rhos, const double* extents,
                 const double* norms, const RunBounds* runs, const std::int32_t* raw, std::uint64_t* left);
    /// The first test of eight rows as `pass` makes it (first_leaves8 in
    /// codes.h): for the tests.
    std::uint32_t (*first8)(MetricKind kind, const FirstTest& f, const QueryCode& q, const float* scales,
                            const double* column, const std::int32_t* raw);
    /// The single test of sixteen rows as `pass` makes it (single_leaves16
    /// in codes.h): for the tests.
    std::uint32_t (*single16)(MetricKind kind, const SingleTest& f, std::int32_t offset, const float* scales,
                              const double* column, const std::int32_t* raw);
};

/// Queries `many` computes together: the query codes and products it is
/// given have room for a multiple of it.
inline constexpr std::size_t query_tile = 16;
inline std::size_t query_rows(std::size_t nq) { return (nq + query_tile - 1) / query_tile * query_tile; }

extern const CodeKernels scalar_codes;
extern const CodeKernels avx2_codes;
extern const CodeKernels vnni_codes;
extern const CodeKernels amx_codes;
/// The VNNI table's kernels of one query, which the AMX table shares.
void vnni_code_blocks(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q,
                      std::int32_t* out);
void vnni_code_rows(const std::uint8_t* base, const std::uint32_t* rows, std::size_t count, std::size_t stride,
                    const std::int8_t* q, std::size_t bytes, std::int32_t* out);

/// A row kernel over rows stored as T (double, or float widened exactly):
/// see Kernels.
template <class T>
using RowsKernelOf = void (*)(const T* base, const std::int64_t* offsets, std::size_t groups, const double* q,
                              std::size_t from, std::size_t to, double* acc);
using RowsKernel = RowsKernelOf<double>;

/// A block encoder over rows stored as T: see Kernels.
template <class T>
using EncodeBlockOf = void (*)(const T* rows, std::size_t dim, MetricKind kind, std::uint8_t* block, CodeInfo* info,
                               double* norms);

struct Kernels {
    const char* name;
    /// For `groups` (<= slots) groups of `lanes` row-major rows, row r of
    /// group g starting at base + offsets[g * lanes + r]: adds
    /// (q[i] - row[i])^2, or q[i] * row[i], for i in [from, to), in order, to
    /// acc[g * lanes + r]. Resuming where a call stopped gives the same sums
    /// as one call. Groups are independent chains, computed side by side.
    RowsKernel squared_l2_rows;
    RowsKernel dot_rows;
    /// The same over float32 rows: each value widened to float64 (exact)
    /// before its subtract or multiply, so each sum is bit for bit that of
    /// the widened rows.
    RowsKernelOf<float> squared_l2_floats;
    RowsKernelOf<float> dot_floats;
    /// encode_block (codes.h) of code_lanes rows: the same bytes, CodeInfo
    /// and norms, bit for bit. The steps for each row are those codes.h
    /// lists, with rows side by side in the lanes (each lane's sums in
    /// element order) instead of one after another.
    EncodeBlockOf<double> encode_doubles;
    EncodeBlockOf<float> encode_floats;
    const CodeKernels* codes;

    /// The kernels for rows stored as T.
    template <class T>
    RowsKernelOf<T> squared_l2() const {
        if constexpr (std::is_same_v<T, float>) {
            return squared_l2_floats;
        } else {
            return squared_l2_rows;
        }
    }
    template <class T>
    RowsKernelOf<T> dot() const {
        if constexpr (std::is_same_v<T, float>) {
            return dot_floats;
        } else {
            return dot_rows;
        }
    }
    template <class T>
    EncodeBlockOf<T> encode() const {
        if constexpr (std::is_same_v<T, float>) {
            return encode_floats;
        } else {
            return encode_doubles;
        }
    }
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

/// A code block kernel from one that takes four blocks side by side and one
/// that takes a single block: four at a time, then the rest one by one.
/// Each instruction set's file instantiates it with its own kernels.
using BlocksOf = void (*)(const std::uint8_t* blocks, std::size_t groups, const std::int8_t* q, std::int32_t* out);
template <BlocksOf Four, BlocksOf One>
void four_then_one(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q,
                   std::int32_t* out) {
    const std::size_t block_bytes = groups * code_lanes * 4;
    std::size_t b = 0;
    for (; b + 4 <= count; b += 4) Four(blocks + b * block_bytes, groups, q, out + b * code_lanes);
    for (; b < count; ++b) One(blocks + b * block_bytes, groups, q, out + b * code_lanes);
}

/// The table of `isa`, which must be one this CPU runs (supported_isas()).
const Kernels& distance_kernels(Isa isa);

extern const Kernels scalar_kernels;
extern const Kernels avx2_kernels;
extern const Kernels avx512_kernels;
extern const Kernels avx512vnni_kernels;
extern const Kernels amx_kernels;

}  // namespace orbisk
