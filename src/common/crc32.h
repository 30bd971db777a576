// The CRC-32 that zlib computes (polynomial 0x04C11DB7, bits taken least
// significant first, the register inverted before and after), at the speed
// memory is read: files are checksummed as fast as they are written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisk {

/// The CRC-32 of `n` bytes at `data`, continuing from the CRC `crc` of the
/// bytes before them (0 for none): zlib.crc32(data, crc).
std::uint32_t crc32(const void* data, std::size_t n, std::uint32_t crc = 0);

}  // namespace orbisk
