#pragma once
// The first of a sequence of texts, cut from one byte string by their ends,
// that equals one before it: one pass over them in order, a table of their
// positions open-addressed by a hash of their bytes, so that a file's keys
// are checked without a Python object per key.

#include <cstddef>
#include <cstdint>

#include "common/interrupt.h"

namespace orbisk {

/// The most texts first_repeat takes (positions are kept in 32 bits; an
/// index holds fewer rows than this).
inline constexpr std::size_t max_texts = 0xFFFFFFFFu;

/// The position of the first text blob[ends[i - 1]..ends[i]) (the first from
/// 0) equal byte for byte to one before it, or n when they all differ.
/// `ends` rise from 0 to at most the blob's end, and n is below max_texts
/// (the caller checks both).
std::size_t first_repeat(const std::uint8_t* blob, const std::int64_t* ends, std::size_t n, Interrupt interrupt = {});

}  // namespace orbisk
