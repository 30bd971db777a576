// The flat index's rows, codes and marks: appending, removing, compacting
// and restoring them. Its searches are in flat_scan.cpp.

#include "flat/flat_index.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/failure.h"
#include "common/pool.h"
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

std::vector<double> Flat::vectors() const {
    std::vector<double> out(count_ * dim_);
    rows_.visit([&](const auto* values) { std::copy_n(values, out.size(), out.begin()); });
    return out;
}

std::size_t Flat::bytes() const {
    return rows_.bytes() + norms_.bytes() + code_blocks_.bytes() + code_open_.capacity() + scales_.bytes() +
           rhos_.bytes() + extents_.bytes() + runs_.bytes() + live_.capacity() * sizeof(std::uint64_t);
}

void Flat::reserve_rows(std::size_t rows) {
    rows_.reserve_more(rows);
    if (metric_.keeps_norms()) norms_.reserve_more(rows);
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
    const std::size_t runs = (count_ + rows) / code_lanes;
    if (runs > runs_.size()) runs_.reserve_more(runs - runs_.size());
    if (code_open_.capacity() < block) code_open_.reserve(block);
    scales_.reserve_more(rows);
    rhos_.reserve_more(rows);
    extents_.reserve_more(rows);
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

/// A copy of `count` values at `from`.
template <class T>
SharedArray<T> copy_of(const T* from, std::size_t count) {
    SharedArray<T> a;
    a.reserve_more(count);
    a.append(from, count);
    return a;
}

}  // namespace

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

void Flat::append_rows(const double* data, std::size_t rows, Interrupt interrupt, unsigned threads) {
    if (storage() == Storage::Float32 && dim_ != 0) {
        const std::size_t inexact = first_inexact_row(data, rows, dim_);
        if (inexact < rows) throw InexactRow(inexact);
    }
    append_from(data, rows, interrupt, threads);
}

void Flat::append_rows(const float* data, std::size_t rows, Interrupt interrupt, unsigned threads) {
    append_from(data, rows, interrupt, threads);
}

template <class T>
void Flat::append_from(const T* data, std::size_t rows, Interrupt interrupt, unsigned threads) {
    if (dim_ == 0 || rows == 0) return;
    if (rows > max_vectors - count_) throw CapacityExceeded();
    // The rows that close the open block, one by one; then whole blocks, on
    // threads; then the rest one by one, into the open block.
    const std::size_t head = coding() ? std::min(rows, (code_lanes - count_ % code_lanes) % code_lanes) : rows;
    const std::size_t whole = (rows - head) / code_lanes * code_lanes;
    std::vector<std::uint8_t> done(pieces_of(whole), 0);  // allocated before anything changes
    reserve_rows(rows);
    append_each(data, head, interrupt);
    append_blocks(data + head * dim_, whole, done, interrupt, threads);
    append_each(data + (head + whole) * dim_, rows - head - whole, interrupt);
}

template <class T>
void Flat::append_each(const T* data, std::size_t rows, Interrupt& interrupt) {
    const std::size_t bytes = code_row_bytes();
    constexpr std::size_t chunk = 256;
    for (std::size_t done = 0; done < rows;) {
        const std::size_t n = std::min(chunk, rows - done);
        if (rows > 1) interrupt.step(n * std::size_t{dim_});
        const T* first = data + done * dim_;
        rows_.append(first, n);
        for (std::size_t r = 0; r < n; ++r) {
            const std::span<const T> row(first + r * dim_, dim_);
            if (metric_.keeps_norms()) *norms_.grow(1) = norm(row);
            if (!coding()) continue;
            const std::size_t at = code_open_.size();
            code_open_.resize(at + bytes);  // reserved
            const CodeInfo info = metric_.encode(row, code_open_.data() + at);
            *scales_.grow(1) = info.scale;
            *rhos_.grow(1) = info.rho;
            *extents_.grow(1) = info.extent;
            close_full_block(code_open_, code_blocks_, bytes);
            if (code_open_.empty()) {
                *runs_.grow(1) =
                    metric_.run_bounds(scales_.size() - code_lanes, scales_.data(), rhos_.data(), extents_.data());
            }
        }
        mark_live(count_, count_ + n);
        count_ += n;
        done += n;
    }
}

std::size_t Flat::piece_rows() const {
    // Whole blocks and about 64 Ki values: a piece pays many times over for
    // being handed to a thread, and a stop between pieces is answered within
    // a fraction of a millisecond.
    return std::max<std::size_t>(1, (std::size_t{1} << 16) / (code_lanes * dim_)) * code_lanes;
}

template <class T>
void Flat::append_blocks(const T* data, std::size_t rows, std::vector<std::uint8_t>& done, Interrupt& interrupt,
                         unsigned threads) {
    if (rows == 0) return;
    const std::size_t piece = piece_rows(), pieces = done.size();
    // done[p]: written by the thread that did piece p, read once all are joined.
    auto commit = [&] {
        // The pieces done before the first one not done: rows kept whole.
        const std::size_t kept = static_cast<std::size_t>(std::find(done.begin(), done.end(), 0) - done.begin());
        take_ahead(std::min(rows, kept * piece));
    };
    try {
        run_tiles(pieces, 1, threads, interrupt, [&](std::size_t p, std::size_t, Interrupt& stop) {
            const std::size_t first = p * piece, n = std::min(piece, rows - first);
            stop.step(n * dim_);
            write_blocks_ahead(data + first * dim_, first, n);
            done[p] = 1;
        });
    } catch (...) {
        commit();
        throw;
    }
    commit();
}

template <class T>
void Flat::write_blocks_ahead(const T* data, std::size_t ahead, std::size_t rows) {
    rows_.write_ahead(ahead, data, rows);
    const std::size_t block = code_lanes * code_row_bytes();
    CodeInfo info[code_lanes];
    for (std::size_t b = 0; b < rows / code_lanes; ++b) {
        const std::size_t at = ahead + b * code_lanes;
        metric_.encode_block(data + b * code_lanes * dim_, dim_, code_blocks_.tail() + at / code_lanes * block, info,
                             metric_.keeps_norms() ? norms_.tail() + at : nullptr);
        for (std::size_t r = 0; r < code_lanes; ++r) {
            scales_.tail()[at + r] = info[r].scale;
            rhos_.tail()[at + r] = info[r].rho;
            extents_.tail()[at + r] = info[r].extent;
        }
        runs_.tail()[at / code_lanes] = metric_.run_bounds(at, scales_.tail(), rhos_.tail(), extents_.tail());
    }
}

void Flat::take_ahead(std::size_t rows) {
    rows_.grow(rows);
    if (metric_.keeps_norms()) norms_.grow(rows);
    code_blocks_.grow(rows / code_lanes * code_lanes * code_row_bytes());
    scales_.grow(rows);
    rhos_.grow(rows);
    extents_.grow(rows);
    runs_.grow(rows / code_lanes);
    mark_live(count_, count_ + rows);
    count_ += rows;
}

void Flat::truncate(std::size_t count) {
    if (count >= count_) return;
    if (coding()) {
        const std::size_t bytes = code_row_bytes(), full = count / code_lanes * code_lanes;
        const bool reopened = full < count_ / code_lanes * code_lanes;
        code_open_.resize((count - full) * bytes);  // within the block's room, reserved since the first append
        // A block the append closed opens again: its first rows' codes out of it.
        for (std::size_t r = 0; reopened && r < count - full; ++r) {
            lane_code(code_blocks_.data() + full * bytes, r, bytes, code_open_.data() + r * bytes);
        }
        code_blocks_.resize_down(full * bytes);
        runs_.resize_down(full / code_lanes);
        scales_.resize_down(count);
        rhos_.resize_down(count);
        extents_.resize_down(count);
    }
    rows_.truncate(count);
    norms_.resize_down(count);
    if (removed_) {
        live_.resize((count + 63) / 64);
        if (count % 64) live_.back() &= (std::uint64_t{1} << (count % 64)) - 1;
    }
    count_ = count;
}

void Flat::mark_live(std::size_t from, std::size_t to) {
    if (!removed_) return;
    live_.resize((to + 63) / 64, 0);  // reserved
    for (std::size_t id = from; id < to; ++id) live_[id / 64] |= std::uint64_t{1} << (id % 64);
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
    RowStore rows(dim_, storage());
    rows.reserve_more(kept);
    SharedArray<std::uint8_t> blocks;
    blocks.reserve_more(kept / code_lanes * code_lanes * bytes);
    std::vector<std::uint8_t> open;
    open.reserve(code_lanes * bytes);
    SharedArray<double> norms, extents;
    SharedArray<float> scales, rhos;
    SharedArray<RunBounds> runs;
    norms.reserve_more(metric_.keeps_norms() ? kept : 0);
    if (coding()) {
        scales.reserve_more(kept);
        rhos.reserve_more(kept);
        extents.reserve_more(kept);
        runs.reserve_more(kept / code_lanes);
    }
    const std::size_t full = count_ / code_lanes * code_lanes;
    each_row(live_rows(), [&](std::size_t id) {
        rows.append_row_of(rows_, id);
        if (metric_.keeps_norms()) norms.append(&norms_[id], 1);
        if (!coding()) return;
        scales.append(&scales_[id], 1);
        rhos.append(&rhos_[id], 1);
        extents.append(&extents_[id], 1);
        const std::size_t at = open.size();
        open.resize(at + bytes);  // reserved
        code_of_row(code_blocks_.data(), code_open_.data(), full, id, bytes, open.data() + at);
        close_full_block(open, blocks, bytes);
        if (!open.empty()) return;
        *runs.grow(1) = metric_.run_bounds(scales.size() - code_lanes, scales.data(), rhos.data(), extents.data());
    });
    rows_ = std::move(rows);
    code_blocks_ = std::move(blocks);
    code_open_ = std::move(open);
    norms_ = std::move(norms);
    scales_ = std::move(scales);
    rhos_ = std::move(rhos);
    extents_ = std::move(extents);
    runs_ = std::move(runs);
    live_.clear();
    live_.shrink_to_fit();
    count_ = kept;
    removed_ = 0;
    // The old stores went back to the system as they were freed (those of
    // whole pages); the heap's free pages go back too.
    release_free_memory();
}

RowSet Flat::live_rows() const { return {0, count_, removed_ ? live_.data() : nullptr, count_ - removed_}; }

RowSet Flat::admitted_rows(const std::uint8_t* admit, std::vector<std::uint64_t>& words) const {
    return orbisk::admitted_rows(live_rows(), admit, words);
}

RowSet Flat::listed_rows(std::vector<std::uint32_t>& ids, std::vector<std::uint64_t>& words) const {
    return orbisk::listed_rows(live_rows(), ids, words);
}

RowSet Flat::part(const RowSet& set, std::size_t from, std::size_t to) {
    RowSet p{std::max(from, set.from), std::min(to, set.to), set.bits, 0};
    if (p.from >= p.to) return {p.from, p.from, set.bits, 0, set.list ? set.list + set.count : nullptr};
    if (set.list) {
        const std::uint32_t* end = set.list + set.count;
        p.list = std::lower_bound(set.list, end, p.from);
        p.count = static_cast<std::size_t>(std::lower_bound(p.list, end, p.to) - p.list);
        return p;
    }
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

template <class T>
bool Flat::matches(const T* values, std::size_t count, const FlatParts& parts, unsigned threads, Interrupt& interrupt,
                   std::size_t* nonfinite) const {
    // Each row's code, code values and norm computed again, compared bit for
    // bit: whole blocks on threads by the block encoder (the add's), the
    // open block's rows one by one (as they were added). A row holding NaN
    // or an infinity has no code (scale 0), as has a row of zeros: only
    // those are looked at for the first.
    const std::size_t bytes = coding() ? code_row_bytes() : 0, full = coding() ? count / code_lanes * code_lanes : 0;
    const std::size_t piece = piece_rows(), block = code_lanes * bytes;
    std::atomic<bool> same{true};
    std::atomic<std::size_t> first_bad{count};
    auto look = [&](std::size_t id) {
        if (!nonfinite || first_nonfinite_row(values + id * dim_, 1, dim_) != 0) return;
        for (std::size_t held = first_bad.load(); id < held && !first_bad.compare_exchange_weak(held, id);) {
        }
    };
    run_tiles(pieces_of(full), 1, threads, interrupt, [&](std::size_t p, std::size_t, Interrupt& stop) {
        const std::size_t first = p * piece, n = std::min(piece, full - first);
        stop.step(n * dim_);
        std::vector<std::uint8_t> code(block);
        CodeInfo info[code_lanes];
        double norms[code_lanes];
        for (std::size_t at = first; at < first + n && same.load(std::memory_order_relaxed); at += code_lanes) {
            metric_.encode_block(values + at * dim_, dim_, code.data(), info, metric_.keeps_norms() ? norms : nullptr);
            bool ok = std::memcmp(code.data(), parts.code_blocks + at * bytes, block) == 0;
            for (std::size_t r = 0; r < code_lanes; ++r) {
                if (info[r].scale == 0.0f) look(at + r);
                ok = ok && std::memcmp(&info[r].scale, parts.scales + at + r, sizeof(float)) == 0 &&
                     std::memcmp(&info[r].rho, parts.rhos + at + r, sizeof(float)) == 0 &&
                     std::memcmp(&info[r].extent, parts.extents + at + r, sizeof(double)) == 0 &&
                     (!metric_.keeps_norms() || std::memcmp(norms + r, parts.norms + at + r, sizeof(double)) == 0);
            }
            if (!ok) same.store(false, std::memory_order_relaxed);
        }
    });
    if (!same.load()) return false;
    std::vector<std::uint8_t> code(bytes), stored(bytes);
    for (std::size_t id = full; id < count; ++id) {
        const std::span<const T> row(values + id * dim_, dim_);
        if (metric_.keeps_norms()) {
            const double n = norm(row);
            if (std::memcmp(&n, parts.norms + id, sizeof n) != 0) return false;
        }
        if (!coding()) {
            look(id);  // no codes (long rows): each row looked at
            continue;
        }
        const CodeInfo info = metric_.encode(row, code.data());
        if (info.scale == 0.0f) look(id);
        code_of_row(parts.code_blocks, parts.code_open, full, id, bytes, stored.data());
        if (std::memcmp(&info.scale, parts.scales + id, sizeof info.scale) != 0 ||
            std::memcmp(&info.rho, parts.rhos + id, sizeof info.rho) != 0 ||
            std::memcmp(&info.extent, parts.extents + id, sizeof info.extent) != 0 ||
            std::memcmp(stored.data(), code.data(), bytes) != 0) {
            return false;
        }
    }
    if (nonfinite) *nonfinite = first_bad.load();
    return true;
}

FlatParts Flat::parts() const {
    return {rows_.data(), code_blocks_.data(), code_open_.data(), scales_.data(),
            rhos_.data(), extents_.data(),     norms_.data(),     storage()};
}

bool Flat::restore(std::size_t count, const FlatParts& parts, RowStore::Block keep, bool verify, unsigned threads,
                   Interrupt interrupt, std::size_t* nonfinite) {
    if (count_ != 0 || dim_ == 0 || count > max_vectors) throw InternalFailure("restore: not an empty index");
    if (parts.storage != storage()) throw InternalFailure("restore: rows of another storage than the index's");
    RowStore rows = RowStore::adopt(dim_, storage(), parts.rows, count, std::move(keep));
    const std::size_t bytes = coding() ? code_row_bytes() : 0;
    const std::size_t full = count / code_lanes * code_lanes;
    if (nonfinite) *nonfinite = count;
    if (verify && !rows.visit([&]<class T>(const T* values) {
            return matches(values, count, parts, threads, interrupt, nonfinite);
        })) {
        return false;
    }
    if (nonfinite && *nonfinite < count) return false;
    SharedArray<double> norms, extents;
    SharedArray<float> scales, rhos;
    SharedArray<RunBounds> runs;
    std::vector<std::uint8_t> open;
    if (metric_.keeps_norms()) norms = copy_of(parts.norms, count);
    if (coding()) {
        scales = copy_of(parts.scales, count);
        rhos = copy_of(parts.rhos, count);
        extents = copy_of(parts.extents, count);
        runs.reserve_more(full / code_lanes);
        for (std::size_t first = 0; first < full; first += code_lanes) {
            *runs.grow(1) = metric_.run_bounds(first, parts.scales, parts.rhos, parts.extents);
        }
        open.reserve(code_lanes * bytes);
        open.assign(parts.code_open, parts.code_open + (count - full) * bytes);
    }
    code_blocks_ = SharedArray<std::uint8_t>::adopt(parts.code_blocks, full * bytes, rows.block());
    rows_ = std::move(rows);
    norms_ = std::move(norms);
    scales_ = std::move(scales);
    rhos_ = std::move(rhos);
    extents_ = std::move(extents);
    runs_ = std::move(runs);
    code_open_ = std::move(open);
    count_ = count;
    return true;
}

}  // namespace orbisk
