// Built with the VNNI table's flags and AMX's: the products of many queries
// at once by tile multiplication (tdpbsud: signed query codes times
// unsigned stored bytes, four products a 32-bit lane, exactly). The code
// blocks are already laid out as the second operand wants it: each 64-byte
// line holds one group of four elements of the block's sixteen rows. A
// product tile is sixteen queries by the sixteen rows of one block.
// One query at a time, the table is the VNNI one.
#include <immintrin.h>

#include "metrics/kernels.h"

namespace orbisk {

namespace {

struct alignas(64) TileShapes {
    std::uint8_t palette = 1, start_row = 0, reserved[14] = {};
    std::uint16_t bytes[16] = {};  // per tile: bytes a row
    std::uint8_t rows[16] = {};
};

// Tiles 0 and 1: the products of two blocks; 2: the queries' codes over
// 64 elements, 3 and 4: the two blocks' over the same elements; 5, 6 and 7:
// the same three over the last, shorter part of the elements. (Tile
// numbers are part of the instruction.)
#define ORBISK_MULTIPLY(A, B0, B1, q, at, q_stride, block_bytes) \
    do {                                                         \
        _tile_loadd(A, q, q_stride);                             \
        _tile_loadd(B0, at, 64);                                 \
        _tile_loadd(B1, (at) + (block_bytes), 64);               \
        _tile_dpbsud(0, A, B0);                                  \
        _tile_dpbsud(1, A, B1);                                  \
    } while (0)

void many(const std::uint8_t* blocks, std::size_t count, std::size_t groups, const std::int8_t* q, std::size_t nq,
          std::int32_t* out) {
    const std::size_t bytes = groups * 4, whole = bytes / 64, tail = bytes % 64;
    const std::size_t block_bytes = groups * code_lanes * 4, out_stride = count * code_lanes * 4;
    TileShapes shapes;
    for (int t = 0; t < 5; ++t) {
        shapes.bytes[t] = 64;
        shapes.rows[t] = 16;
    }
    if (tail) {
        shapes.bytes[5] = static_cast<std::uint16_t>(tail);
        shapes.rows[5] = 16;
        for (int t = 6; t < 8; ++t) {
            shapes.bytes[t] = 64;
            shapes.rows[t] = static_cast<std::uint8_t>(tail / 4);
        }
    }
    _tile_loadconfig(&shapes);
    for (std::size_t j = 0; j < nq; j += query_tile) {
        const std::int8_t* qj = q + j * bytes;
        std::int32_t* oj = out + j * count * code_lanes;
        for (std::size_t b = 0; b < count; b += 2) {
            // An odd last block is both of its pair (its second product not kept).
            const std::uint8_t* at = blocks + b * block_bytes;
            const std::size_t second = b + 1 < count ? block_bytes : 0;
            _tile_zero(0);
            _tile_zero(1);
            for (std::size_t k = 0; k < whole; ++k) {
                ORBISK_MULTIPLY(2, 3, 4, qj + 64 * k, at + 1024 * k, bytes, second);
            }
            if (tail) ORBISK_MULTIPLY(5, 6, 7, qj + 64 * whole, at + 1024 * whole, bytes, second);
            _tile_stored(0, oj + b * code_lanes, out_stride);
            if (second) _tile_stored(1, oj + (b + 1) * code_lanes, out_stride);
        }
    }
    _tile_release();
}

#undef ORBISK_MULTIPLY

}  // namespace

const CodeKernels amx_codes = {"amx", 127,         vnni_code_blocks, vnni_code_rows,
                               many,  screen_rows, first_leaves8_of, single_leaves16_of};

}  // namespace orbisk
