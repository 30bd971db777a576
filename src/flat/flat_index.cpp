// The flat index's rows, codes and marks: appending, removing, compacting
// and restoring them. Its searches are in flat_scan.cpp.

#include "flat/flat_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>

#include "common/failure.h"
#include "metrics/kernels.h"

namespace orbisk {

std::string_view name(FlatError e) {
    switch (e) {
        case FlatError::EmptyIndex: return "EmptyIndex";
        case FlatError::EmptyVectors: return "EmptyVectors";
        case FlatError::MetadataMismatch: return "MetadataMismatch";
        case FlatError::NoSchema: return "NoSchema";
        case FlatError::EmptySchema: return "EmptySchema";
        case FlatError::AttributeNotFound: return "AttributeNotFound";
    }
    return "FlatError";
}

std::vector<double> Flat::vectors() const { return std::vector<double>(rows_.data(), rows_.data() + count_ * dim_); }

void Flat::reserve_rows(std::size_t rows) {
    rows_.reserve_more(rows * dim_);
    if (metric_.keeps_norms()) reserve_more(norms_, rows);
    reserve_codes(rows);
    if (removed_) {
        const std::size_t words = (count_ + rows + 63) / 64;
        if (words > live_.size()) reserve_more(live_, words - live_.size());
    }
}

void Flat::insert(Vec vector) {
    if (vector.size() != dim_) {
        throw InternalFailure("Vector length " + std::to_string(vector.size()) + " does not match index dimension " +
                              std::to_string(dim_));
    }
    if (dim_ == 0) return;  // an empty vector stores nothing
    if (count_ >= max_vectors) throw CapacityExceeded();
    append_rows(vector.data(), 1);
}

void Flat::reserve_codes(std::size_t rows) {
    if (!coding()) return;
    const std::size_t block = code_lanes * code_row_bytes();
    const std::size_t need = (count_ + rows) / code_lanes * block;
    if (need > code_blocks_.size()) code_blocks_.reserve_more(need - code_blocks_.size());
    if (code_open_.capacity() < block) code_open_.reserve(block);
    reserve_more(scales_, rows);
    reserve_more(rhos_, rows);
    reserve_more(extents_, rows);
}

namespace {

/// Once the open block holds code_lanes rows, they become the next block of
/// `blocks` (room reserved by the caller).
void close_full_block(std::vector<std::uint8_t>& open, SharedArray<std::uint8_t>& blocks, std::size_t bytes) {
    if (open.size() < code_lanes * bytes) return;
    interleave_codes(open.data(), bytes, blocks.grow(code_lanes * bytes));
    open.clear();
}

/// Row `id`'s code (`bytes`) into `out`: from its block when `id` is below
/// `full`, else from the open block's rows.
void code_of_row(const std::uint8_t* blocks, const std::uint8_t* open, std::size_t full, std::size_t id,
                 std::size_t bytes, std::uint8_t* out) {
    if (id < full) {
        lane_code(blocks + id / code_lanes * code_lanes * bytes, id % code_lanes, bytes, out);
    } else {
        std::copy_n(open + (id - full) * bytes, bytes, out);
    }
}

}  // namespace

void Flat::keep_codes(const double* data, std::size_t rows) {
    if (!coding()) return;
    const std::size_t bytes = code_row_bytes();
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t at = code_open_.size();
        code_open_.resize(at + bytes);
        const CodeInfo info = metric_.encode(Vec(data + r * dim_, dim_), code_open_.data() + at);
        scales_.push_back(info.scale);
        rhos_.push_back(info.rho);
        extents_.push_back(info.extent);
        close_full_block(code_open_, code_blocks_, bytes);
    }
}

void Flat::keep_norms(const double* data, std::size_t rows) {
    if (!metric_.keeps_norms()) return;
    for (std::size_t r = 0; r < rows; ++r) norms_.push_back(norm(Vec(data + r * dim_, dim_)));
}

std::optional<FlatError> Flat::create(const Rows& vectors, Interrupt interrupt) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    // Room for every vector up to the first of the wrong length (which stops
    // the batch), in one allocation.
    std::size_t fitting = 0;
    while (fitting < vectors.size() && vectors[fitting].size() == dim_) ++fitting;
    if (dim_ != 0 && fitting <= max_vectors - count_) reserve_rows(fitting);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        interrupt.step(vectors[i].size());
        insert(vectors[i]);
    }
    return std::nullopt;
}

void Flat::append_rows(const double* data, std::size_t rows, Interrupt interrupt) {
    if (dim_ == 0 || rows == 0) return;
    if (rows > max_vectors - count_) throw CapacityExceeded();
    reserve_rows(rows);
    constexpr std::size_t chunk = 256;
    for (std::size_t done = 0; done < rows;) {
        const std::size_t n = std::min(chunk, rows - done);
        if (rows > 1) interrupt.step(n * std::size_t{dim_});
        const double* first = data + done * dim_;
        rows_.append(first, n * dim_);
        keep_norms(first, n);
        keep_codes(first, n);
        if (removed_) {
            live_.resize((count_ + n + 63) / 64, 0);  // reserved
            for (std::size_t id = count_; id < count_ + n; ++id) live_[id / 64] |= std::uint64_t{1} << (id % 64);
        }
        count_ += n;
        done += n;
    }
}

void Flat::remove(std::span<const std::uint32_t> ids) {
    for (std::uint32_t id : ids) {
        if (id >= count_) throw std::out_of_range("no row " + std::to_string(id));
    }
    std::vector<std::uint64_t> next = live_;
    if (!removed_) {
        next.assign((count_ + 63) / 64, ~std::uint64_t{0});
        if (count_ % 64) next.back() = (std::uint64_t{1} << (count_ % 64)) - 1;
    }
    for (std::uint32_t id : ids) {
        std::uint64_t& w = next[id / 64];
        const std::uint64_t bit = std::uint64_t{1} << (id % 64);
        if (!(w & bit)) throw std::invalid_argument("row " + std::to_string(id) + " is removed already");
        w &= ~bit;
    }
    live_ = std::move(next);
    removed_ += ids.size();
}

void Flat::compact() {
    if (!removed_) return;
    const std::size_t kept = count_ - removed_;
    const std::size_t bytes = coding() ? code_row_bytes() : 0;
    // Everything the compacted index needs is allocated first, so that a
    // failure changes nothing; then nothing can fail.
    SharedArray<double> rows;
    rows.reserve_more(kept * dim_);
    SharedArray<std::uint8_t> blocks;
    blocks.reserve_more(kept / code_lanes * code_lanes * bytes);
    std::vector<std::uint8_t> open;
    open.reserve(code_lanes * bytes);
    std::vector<double> norms, extents;
    std::vector<float> scales, rhos;
    norms.reserve(metric_.keeps_norms() ? kept : 0);
    if (coding()) {
        scales.reserve(kept);
        rhos.reserve(kept);
        extents.reserve(kept);
    }
    const std::size_t full = count_ / code_lanes * code_lanes;
    each_row(live_rows(), [&](std::size_t id) {
        rows.append(rows_.data() + id * dim_, dim_);
        if (metric_.keeps_norms()) norms.push_back(norms_[id]);
        if (!coding()) return;
        scales.push_back(scales_[id]);
        rhos.push_back(rhos_[id]);
        extents.push_back(extents_[id]);
        const std::size_t at = open.size();
        open.resize(at + bytes);  // reserved
        code_of_row(code_blocks_.data(), code_open_.data(), full, id, bytes, open.data() + at);
        close_full_block(open, blocks, bytes);
    });
    rows_ = std::move(rows);
    code_blocks_ = std::move(blocks);
    code_open_ = std::move(open);
    norms_ = std::move(norms);
    scales_ = std::move(scales);
    rhos_ = std::move(rhos);
    extents_ = std::move(extents);
    live_.clear();
    live_.shrink_to_fit();
    count_ = kept;
    removed_ = 0;
}

RowSet Flat::live_rows() const { return {0, count_, removed_ ? live_.data() : nullptr, count_ - removed_}; }

RowSet Flat::admitted_rows(const std::uint8_t* admit, std::vector<std::uint64_t>& words) const {
    words.assign((count_ + 63) / 64, 0);
    std::size_t count = 0;
    // Eight bytes at a time: each byte's "not zero" into its top bit, the
    // eight top bits gathered into one byte by a multiply (no two partial
    // products meet), then the live rows' bits.
    constexpr std::uint64_t low7 = 0x7f7f7f7f7f7f7f7full, top = 0x8080808080808080ull;
    for (std::size_t w = 0; w < words.size(); ++w) {
        std::uint64_t bits = 0;
        const std::size_t first = w * 64, n = std::min<std::size_t>(64, count_ - first);
        auto eight = [&](std::uint64_t x, std::size_t b) {
            const std::uint64_t nonzero = (((x & low7) + low7) | x) & top;
            bits |= ((nonzero >> 7) * 0x0102040810204080ull) >> 56 << b;
        };
        if (n == 64) {
#if defined(__SSE2__)
            // Sixteen bytes a compare: the zero bytes' flags, inverted.
            const __m128i zero = _mm_setzero_si128();
            for (std::size_t b = 0; b < 64; b += 16) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(admit + first + b));
                const auto zeros = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero)));
                bits |= std::uint64_t{~zeros & 0xffffu} << b;
            }
#else
            std::uint64_t x[8];
            std::memcpy(x, admit + first, 64);
            for (std::size_t b = 0; b < 8; ++b) eight(x[b], 8 * b);
#endif
        } else {
            for (std::size_t b = 0; b < n; b += 8) {
                std::uint64_t x = 0;
                std::memcpy(&x, admit + first + b, std::min<std::size_t>(8, n - b));
                eight(x, b);
            }
        }
        if (removed_) bits &= live_[w];
        words[w] = bits;
        count += static_cast<std::size_t>(std::popcount(bits));
    }
    return {0, count_, words.data(), count};
}

RowSet Flat::part(const RowSet& set, std::size_t from, std::size_t to) {
    RowSet p{std::max(from, set.from), std::min(to, set.to), set.bits, 0};
    if (p.from >= p.to) return {p.from, p.from, set.bits, 0};
    if (!set.bits) {
        p.count = p.to - p.from;
        return p;
    }
    for (std::size_t first = p.from; first < p.to; first += 64) {
        p.count += static_cast<std::size_t>(std::popcount(bits_from(set.bits, first, p.to)));
    }
    return p;
}

std::size_t Flat::code_block_bytes(std::size_t rows) const {
    return coding() ? rows / code_lanes * code_lanes * code_row_bytes() : 0;
}

std::size_t Flat::code_open_bytes(std::size_t rows) const {
    return coding() ? rows % code_lanes * code_row_bytes() : 0;
}

FlatParts Flat::parts() const {
    return {rows_.data(), code_blocks_.data(), code_open_.data(), scales_.data(),
            rhos_.data(), extents_.data(),     norms_.data()};
}

bool Flat::restore(std::size_t count, const FlatParts& parts, SharedArray<double>::Block keep, bool verify) {
    if (count_ != 0 || dim_ == 0 || count > max_vectors) throw InternalFailure("restore: not an empty index");
    const std::size_t bytes = coding() ? code_row_bytes() : 0;
    const std::size_t full = count / code_lanes * code_lanes;
    if (verify) {
        // Each row's code and values computed again, compared bit for bit.
        std::vector<std::uint8_t> code(bytes), stored(bytes);
        for (std::size_t id = 0; id < count; ++id) {
            const Vec row(parts.rows + id * dim_, dim_);
            if (metric_.keeps_norms()) {
                const double n = norm(row);
                if (std::memcmp(&n, parts.norms + id, sizeof n) != 0) return false;
            }
            if (!coding()) continue;
            const CodeInfo info = metric_.encode(row, code.data());
            code_of_row(parts.code_blocks, parts.code_open, full, id, bytes, stored.data());
            if (std::memcmp(&info.scale, parts.scales + id, sizeof info.scale) != 0 ||
                std::memcmp(&info.rho, parts.rhos + id, sizeof info.rho) != 0 ||
                std::memcmp(&info.extent, parts.extents + id, sizeof info.extent) != 0 ||
                std::memcmp(stored.data(), code.data(), bytes) != 0) {
                return false;
            }
        }
    }
    std::vector<double> norms, extents;
    std::vector<float> scales, rhos;
    std::vector<std::uint8_t> open;
    if (metric_.keeps_norms()) norms.assign(parts.norms, parts.norms + count);
    if (coding()) {
        scales.assign(parts.scales, parts.scales + count);
        rhos.assign(parts.rhos, parts.rhos + count);
        extents.assign(parts.extents, parts.extents + count);
        open.reserve(code_lanes * bytes);
        open.assign(parts.code_open, parts.code_open + (count - full) * bytes);
    }
    code_blocks_ = SharedArray<std::uint8_t>::adopt(parts.code_blocks, full * bytes, keep);
    rows_ = SharedArray<double>::adopt(parts.rows, count * dim_, std::move(keep));
    norms_ = std::move(norms);
    scales_ = std::move(scales);
    rhos_ = std::move(rhos);
    extents_ = std::move(extents);
    code_open_ = std::move(open);
    count_ = count;
    return true;
}

}  // namespace orbisk
