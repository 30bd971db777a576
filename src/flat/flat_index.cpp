// The exhaustive scan.
//
// Exact shortcuts, each with why it changes no result and the test that
// catches a slip in it:
//  1. Only the best max(k, 1) candidates are kept (a bounded heap), not all
//     n: the first k of a total order are the same however the rest are
//     held. Test: FlatScan (every metric, many dimensions and counts).
//  2. Rows are computed in groups of eight by the row kernels, each lane in
//     element order: the same sums as one row at a time. Tests:
//     KernelTables.*, FlatScan.
//  3. Euclidean groups whose partial sums all reach the abandoning bound of
//     the worst kept distance are dropped: those rows end at that distance
//     or beyond, and a tie loses, as every row offered before has a smaller
//     id. Test: BoundSums.FlatKeepsRowsJustInsideTheAbandoningBound.
//  4. Cosine divides by norms kept at insertion and one query norm: the
//     same expressions cosine_similarity evaluates (metrics.h). Tests:
//     Metrics.*, FlatScan.
//  5. The screen (codes.h): rows whose lower bound exceeds the k-th smallest
//     upper bound are never computed, and the rest are computed in order of
//     their lower bounds until one exceeds the worst distance kept. Tests:
//     Codes.* (each bound at its edge), CodeTables.*, ScreenedScan.
//  6. A batch (search_many) screens its queries chunk by chunk: each query
//     still sees every block in order with its own threshold, so its
//     candidates, and then its results, are those of its own search. Tests:
//     Batch.* (chunk and tile boundaries crossed, every thread count).
//  7. A search over a set of rows (rows not removed, a filter's rows, a
//     part of the rows for one thread) skips the others everywhere: the
//     screen masks them out, the scans never offer them. Each step above
//     holds for any set offered in id order, so the result is the search of
//     an index holding those rows alone. Tests: FlatSets.*.
//  8. A radius search screens with the radius as its fixed threshold: a row
//     whose lower bound exceeds it is farther. Tests: FlatRadius.*.

#include "flat/flat_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
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

namespace {

/// The best `keep` candidates seen so far, in ranking order; the worst on
/// top. Candidates may arrive in any order.
class TopK {
  public:
    TopK(std::vector<Candidate>& heap, std::size_t keep) : heap_(heap), keep_(keep) {
        heap_.clear();
        heap_.reserve(keep);
    }
    bool full() const { return heap_.size() == keep_; }
    double worst() const { return heap_.front().distance; }
    /// Offers a candidate; true when the worst kept distance changed.
    bool offer(double distance, std::uint32_t id) {
        if (!full()) {
            heap_.push_back({distance, id});
            std::push_heap(heap_.begin(), heap_.end(), ranks_before);
            return full();
        }
        if (!ranks_before({distance, id}, heap_.front())) return false;
        std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
        heap_.back() = {distance, id};
        std::push_heap(heap_.begin(), heap_.end(), ranks_before);
        return true;
    }
    void finish() { std::sort_heap(heap_.begin(), heap_.end(), ranks_before); }

  private:
    std::vector<Candidate>& heap_;
    std::size_t keep_;
};

}  // namespace

std::vector<double> Flat::vectors() const { return std::vector<double>(rows_.data(), rows_.data() + count_ * dim_); }

namespace {

/// Up to 64 bits of `words` from bit `first` on (bits past `limit`: zero).
std::uint64_t bits_from(const std::uint64_t* words, std::size_t first, std::size_t limit) {
    const std::size_t w = first / 64, shift = first % 64;
    std::uint64_t v = words[w] >> shift;
    if (shift && (w + 1) * 64 < limit) v |= words[w + 1] << (64 - shift);
    const std::size_t n = limit - first;
    return n >= 64 ? v : v & ((std::uint64_t{1} << n) - 1);
}

/// Calls f(id) for each row of `set`, in order.
template <class F>
void each_row(const RowSet& set, F&& f) {
    if (!set.bits) {
        for (std::size_t id = set.from; id < set.to; ++id) f(id);
        return;
    }
    for (std::size_t first = set.from; first < set.to; first += 64) {
        for (std::uint64_t w = bits_from(set.bits, first, set.to); w; w &= w - 1) {
            f(first + static_cast<std::size_t>(std::countr_zero(w)));
        }
    }
}

constexpr std::size_t batch_rows = slots * lanes;  // rows one kernel call computes

/// Calls f(ids, n) for the rows of `set` in order, batch_rows at a time
/// (fewer in the last batch).
template <class F>
void each_batch(const RowSet& set, F&& f) {
    std::uint32_t ids[batch_rows];
    std::size_t n = 0;
    each_row(set, [&](std::size_t id) {
        ids[n++] = static_cast<std::uint32_t>(id);
        if (n == batch_rows) {
            f(ids, n);
            n = 0;
        }
    });
    if (n) f(ids, n);
}

}  // namespace

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

void Flat::keep_codes(const double* data, std::size_t rows) {
    if (!coding()) return;
    const std::size_t bytes = code_row_bytes();
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t at = code_open_.size();
        code_open_.resize(at + bytes);
        const CodeInfo info = encode(Vec(data + r * dim_, dim_), metric_.kind(), code_open_.data() + at);
        scales_.push_back(info.scale);
        rhos_.push_back(info.rho);
        extents_.push_back(info.extent);
        if (code_open_.size() < code_lanes * bytes) continue;
        // The open block is full: its groups of four interleaved.
        std::uint8_t* block = code_blocks_.grow(code_lanes * bytes);
        for (std::size_t row = 0; row < code_lanes; ++row) {
            for (std::size_t g = 0; g < bytes / 4; ++g) {
                std::copy_n(code_open_.data() + row * bytes + 4 * g, 4, block + (g * code_lanes + row) * 4);
            }
        }
        code_open_.clear();
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
    std::vector<std::uint8_t> code(bytes);
    const std::size_t full = count_ / code_lanes * code_lanes;
    std::size_t at = 0;
    each_row(live_rows(), [&](std::size_t id) {
        rows.append(rows_.data() + id * dim_, dim_);
        if (metric_.keeps_norms()) norms.push_back(norms_[id]);
        if (!coding()) return;
        scales.push_back(scales_[id]);
        rhos.push_back(rhos_[id]);
        extents.push_back(extents_[id]);
        // The row's code out of its block, into the new open block.
        if (id < full) {
            const std::uint8_t* block = code_blocks_.data() + id / code_lanes * code_lanes * bytes;
            for (std::size_t g = 0; g < bytes / 4; ++g) {
                std::copy_n(block + (g * code_lanes + id % code_lanes) * 4, 4, code.data() + 4 * g);
            }
        } else {
            std::copy_n(code_open_.data() + (id - full) * bytes, bytes, code.data());
        }
        open.insert(open.end(), code.begin(), code.end());
        if (++at % code_lanes) return;
        std::uint8_t* block = blocks.grow(code_lanes * bytes);
        for (std::size_t row = 0; row < code_lanes; ++row) {
            for (std::size_t g = 0; g < bytes / 4; ++g) {
                std::copy_n(open.data() + row * bytes + 4 * g, 4, block + (g * code_lanes + row) * 4);
            }
        }
        open.clear();
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

void Flat::distances(Vec query, double query_norm, const std::uint32_t* ids, std::size_t count, double* out) const {
    const std::size_t groups = (count + lanes - 1) / lanes;
    std::int64_t offsets[batch_rows];
    for (std::size_t j = 0; j < groups * lanes; ++j) {
        offsets[j] = static_cast<std::int64_t>(ids[std::min(j, count - 1)]) * dim_;  // padded with the last row
    }
    double acc[batch_rows] = {};
    metric_.rows_kernel()(rows_.data(), offsets, groups, query.data(), 0, dim_, acc);
    for (std::size_t j = 0; j < count; ++j) {
        out[j] = metric_.finish(acc[j], query_norm, metric_.row_norm(norms_.data(), ids[j]));
    }
}

void Flat::scan_rows(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const {
    TopK top(out, keep);
    const double query_norm = metric_.query_norm(query);
    if (set.scattered()) {
        // Few rows, scattered: each computed in full, the rows of the next
        // batch asked from memory while this one is computed.
        std::vector<std::uint32_t> ids;
        ids.reserve(set.count);
        each_row(set, [&](std::size_t id) { ids.push_back(static_cast<std::uint32_t>(id)); });
        auto fetch = [&](std::size_t from) {
            for (std::size_t j = from; j < std::min(ids.size(), from + batch_rows); ++j) {
                const double* row = rows_.data() + std::size_t{ids[j]} * dim_;
                for (std::size_t e = 0; e < dim_; e += 64 / sizeof(double)) __builtin_prefetch(row + e);
            }
        };
        fetch(0);
        for (std::size_t i = 0; i < ids.size(); i += batch_rows) {
            fetch(i + batch_rows);
            const std::size_t n = std::min(batch_rows, ids.size() - i);
            double d[batch_rows];
            distances(query, query_norm, ids.data() + i, n, d);
            for (std::size_t j = 0; j < n; ++j) top.offer(d[j], ids[i + j]);
        }
        top.finish();
        return;
    }
    if (!metric_.sums_squares()) {
        each_batch(set, [&](const std::uint32_t* ids, std::size_t n) {
            double d[batch_rows];
            distances(query, query_norm, ids, n, d);
            for (std::size_t j = 0; j < n; ++j) top.offer(d[j], ids[j]);
        });
        top.finish();
        return;
    }
    // Groups of eight rows in id order, up to `slots` side by side, summed
    // `stride` elements at a time. A group is dropped once every row's
    // partial sum of squares reaches the bound: each of them then ends at
    // the worst kept distance or beyond (sums never decrease). A tie would
    // not be kept either: the bound comes from rows offered before the
    // group started, all of smaller ids.
    const Kernels& k = metric_.kernels();
    double bound = std::numeric_limits<double>::quiet_NaN();  // drop nothing yet
    constexpr std::size_t stride = 16;
    each_batch(set, [&](const std::uint32_t* ids, std::size_t n) {
        const std::size_t groups = (n + lanes - 1) / lanes;
        std::int64_t offsets[batch_rows];
        std::size_t group_of[slots];
        for (std::size_t j = 0; j < groups * lanes; ++j) {
            offsets[j] = static_cast<std::int64_t>(ids[std::min(j, n - 1)]) * dim_;
        }
        double acc[batch_rows] = {};
        std::size_t alive = groups;
        for (std::size_t g = 0; g < groups; ++g) group_of[g] = g;
        for (std::size_t from = 0; from < dim_ && alive; from += stride) {
            const std::size_t to = std::min<std::size_t>(dim_, from + stride);
            k.squared_l2_rows(rows_.data(), offsets, alive, query.data(), from, to, acc);
            if (to == dim_) break;
            for (std::size_t g = 0; g < alive;) {
                const double* sums = acc + g * lanes;
                if (!std::all_of(sums, sums + lanes, [&](double a) { return a >= bound; })) {
                    ++g;
                    continue;
                }
                // Dropped: the last alive group takes its place.
                --alive;
                std::copy_n(offsets + alive * lanes, lanes, offsets + g * lanes);
                std::copy_n(acc + alive * lanes, lanes, acc + g * lanes);
                group_of[g] = group_of[alive];
            }
        }
        bool changed = false;
        for (std::size_t g = 0; g < alive; ++g) {
            for (std::size_t r = 0; r < lanes; ++r) {
                const std::size_t j = group_of[g] * lanes + r;
                if (j < n) changed |= top.offer(Metric::from_squares(acc[g * lanes + r]), ids[j]);
            }
        }
        if (changed) bound = abandoning_bound(top.worst());
    });
    top.finish();
}

/// What a screened scan keeps: the upper bounds of the best `keep` rows
/// bounded so far (a max-heap) and the rows that may still rank among the
/// first `keep`, with their lower bounds.
struct Flat::Selection {
    explicit Selection(std::size_t keep) : keep(keep) { uppers.reserve(keep); }
    std::size_t keep;
    std::vector<double> uppers;
    std::vector<std::pair<double, std::uint32_t>> candidates;
    /// No row whose lower bound exceeds it can rank among the first `keep`:
    /// `keep` rows have upper bounds at or below it.
    double threshold() const {
        return uppers.size() == keep ? uppers.front() : std::numeric_limits<double>::infinity();
    }
    void offer(Bounds b, std::uint32_t id) {
        if (b.lo > threshold()) return;
        if (uppers.size() < keep) {
            uppers.push_back(b.hi);
            std::push_heap(uppers.begin(), uppers.end());
        } else if (b.hi < uppers.front()) {
            std::pop_heap(uppers.begin(), uppers.end());
            uppers.back() = b.hi;
            std::push_heap(uppers.begin(), uppers.end());
        }
        candidates.emplace_back(b.lo, id);
    }
};

/// What a radius search keeps: every row whose lower bound is within the
/// radius (the rest are farther).
struct Flat::Within {
    double radius;
    std::vector<std::uint32_t> ids;
    double threshold() const { return radius; }
    void offer(Bounds b, std::uint32_t id) {
        if (!(b.lo > radius)) ids.push_back(id);
    }
};

template <class Sel>
void Flat::screen_blocks(const QueryCode& qc, Sel& selection, const RowSet& set, std::size_t from,
                         std::size_t to) const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const CodeKernels& codes = *metric_.kernels().codes;
    const std::size_t groups = code_row_bytes() / 4;
    const std::size_t block = code_lanes * code_row_bytes();
    const double* norms = metric_.keeps_norms() ? norms_.data() : nullptr;
    constexpr std::size_t batch = 4;  // blocks per kernel call
    std::int32_t raw[batch * code_lanes];
    for (std::size_t b = from; b < to; b += batch) {
        const std::size_t n = std::min(batch, to - b);
        const std::size_t first = b * code_lanes;
        // The rows of these blocks that the set holds: none, no screen.
        const std::uint64_t in = set.bits ? bits_from(set.bits, first, first + n * code_lanes) : ~std::uint64_t{0};
        if (!in) continue;
        const Screen sc{metric_.kind(), &qc, selection.threshold()};
        std::uint64_t pass =
            codes.screen(code_blocks_.data() + b * block, n, groups, sc, scales_.data() + first, rhos_.data() + first,
                         extents_.data() + first, norms ? norms + first : nullptr, raw) &
            in;
        for (; pass != 0; pass &= pass - 1) {
            const auto r = static_cast<std::size_t>(std::countr_zero(pass));
            const auto id = static_cast<std::uint32_t>(first + r);
            if (scales_[id] == 0.0f) {
                selection.offer({-inf, inf}, id);  // no code: computed, always
                continue;
            }
            selection.offer(
                bounds(metric_.kind(), qc, scales_[id], rhos_[id], extents_[id], raw[r], norms ? norms[id] : 0.0), id);
        }
    }
}

template <class Sel>
void Flat::screen_open_block(Sel& selection, const RowSet& set) const {
    // The open block's rows have no interleaved codes: computed, always.
    constexpr double inf = std::numeric_limits<double>::infinity();
    const RowSet open = part(set, count_ / code_lanes * code_lanes, count_);
    each_row(open, [&](std::size_t id) { selection.offer({-inf, inf}, static_cast<std::uint32_t>(id)); });
}

std::size_t Flat::scan_bytes(const RowSet& set) const {
    return coding() && !set.scattered() ? set.count * code_row_bytes() : set.count * dim_ * sizeof(double);
}

bool Flat::screens(std::size_t keep, const RowSet& set) const {
    // Too few rows, or too many kept, for the screen to save anything; or
    // so few rows of the range in the set that computing them is cheaper.
    return coding() && set.count >= 2 * code_lanes && keep * 8 <= set.count && !set.scattered();
}

bool Flat::scan_screened(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const {
    if (!screens(keep, set)) return false;
    QueryCode qc;
    encode_query(query, dim_, qc, metric_.kernels().codes->query_limit);
    if (!qc.usable) return false;
    Selection selection(keep);
    screen_blocks(qc, selection, set, set.from / code_lanes,
                  std::min(set.to, count_ / code_lanes * code_lanes) / code_lanes);
    screen_open_block(selection, set);
    finish_screened(query, selection, out);
    return true;
}

void Flat::finish_screened(Vec query, Selection& selection, std::vector<Candidate>& out) const {
    // Every row whose lower bound exceeds the final threshold ranks after
    // the `keep` rows whose upper bounds are at or below it; the others are
    // computed in the order of their lower bounds, a batch at a time, until
    // the next one exceeds the worst distance kept: that row and all after
    // it are farther than `keep` rows already kept. (A row whose bound
    // equals the worst distance is computed, although it cannot tie: bounds
    // lie strictly below.)
    auto& candidates = selection.candidates;
    const double threshold = selection.threshold();
    std::erase_if(candidates, [&](const auto& c) { return c.first > threshold; });
    std::sort(candidates.begin(), candidates.end());
    TopK top(out, selection.keep);
    const double query_norm = metric_.query_norm(query);
    std::size_t i = 0;
    while (i < candidates.size() && !(top.full() && candidates[i].first > top.worst())) {
        std::uint32_t ids[batch_rows];
        std::size_t n = 0;
        while (i < candidates.size() && n < batch_rows && !(top.full() && candidates[i].first > top.worst())) {
            ids[n++] = candidates[i++].second;
        }
        double d[batch_rows];
        distances(query, query_norm, ids, n, d);
        for (std::size_t j = 0; j < n; ++j) top.offer(d[j], ids[j]);
    }
    top.finish();
}

void Flat::search_many(const double* queries, std::size_t count, std::uint32_t k, const RowSet& set,
                       std::vector<Candidate>* outs, Interrupt interrupt) const {
    for (std::size_t i = 0; i < count; ++i) outs[i].clear();
    if (set.count == 0) return;
    const std::size_t keep = std::min<std::size_t>(set.count, std::max<std::uint32_t>(k, 1));
    if (!screens(keep, set)) {
        for (std::size_t i = 0; i < count; ++i) {
            interrupt.step(set.count * dim_);
            search(Vec(queries + i * dim_, dim_), k, set, outs[i]);
        }
        return;
    }
    // The screen of every query over one chunk of code blocks while the
    // chunk is in the core's first-level cache, then the next chunk: the same
    // blocks in the same order, with the same thresholds, as each query's
    // own screen. A query the codes cannot serve is searched alone.
    std::vector<QueryCode> codes(count);
    std::vector<Selection> selections;
    selections.reserve(count);
    std::vector<std::size_t> screened;
    for (std::size_t i = 0; i < count; ++i) {
        const Vec query(queries + i * dim_, dim_);
        encode_query(query, dim_, codes[i], metric_.kernels().codes->query_limit);
        if (!codes[i].usable) {
            interrupt.step(set.count * dim_);
            search(query, k, set, outs[i]);
            continue;
        }
        screened.push_back(i);
        selections.emplace_back(keep);
    }
    const std::size_t first = set.from / code_lanes;
    const std::size_t blocks = std::min(set.to, count_ / code_lanes * code_lanes) / code_lanes;
    const std::size_t chunk = std::max<std::size_t>(4, screen_chunk_bytes / (code_lanes * code_row_bytes())) / 4 * 4;
    for (std::size_t b = first; b < blocks; b += chunk) {
        const std::size_t end = std::min(blocks, b + chunk);
        for (std::size_t j = 0; j < screened.size(); ++j) {
            screen_blocks(codes[screened[j]], selections[j], set, b, end);
        }
        interrupt.step((end - b) * code_lanes * dim_ * screened.size());
    }
    for (std::size_t j = 0; j < screened.size(); ++j) {
        screen_open_block(selections[j], set);
        const std::size_t i = screened[j];
        finish_screened(Vec(queries + i * dim_, dim_), selections[j], outs[i]);
    }
}

std::optional<FlatError> Flat::search(Vec query, std::uint32_t k, std::vector<Candidate>& out) const {
    out.clear();
    if (count_ == 0) return FlatError::EmptyIndex;
    search(query, k, live_rows(), out);
    return std::nullopt;
}

void Flat::search(Vec query, std::uint32_t k, const RowSet& set, std::vector<Candidate>& out) const {
    out.clear();
    if (set.count == 0) return;
    const std::size_t keep = std::min<std::size_t>(set.count, std::max<std::uint32_t>(k, 1));
    if (scan_screened(query, keep, set, out)) return;
    scan_rows(query, keep, set, out);
}

void Flat::search_radius(Vec query, double radius, const RowSet& set, std::vector<Candidate>& out) const {
    out.clear();
    if (set.count == 0 || std::isnan(radius)) return;
    Within within{radius, {}};
    QueryCode qc;
    const bool screened = coding() && set.count >= 2 * code_lanes && !set.scattered();
    if (screened) encode_query(query, dim_, qc, metric_.kernels().codes->query_limit);
    if (screened && qc.usable) {
        screen_blocks(qc, within, set, set.from / code_lanes,
                      std::min(set.to, count_ / code_lanes * code_lanes) / code_lanes);
        screen_open_block(within, set);
    } else {
        each_row(set, [&](std::size_t id) { within.ids.push_back(static_cast<std::uint32_t>(id)); });
    }
    const double query_norm = metric_.query_norm(query);
    for (std::size_t i = 0; i < within.ids.size(); i += batch_rows) {
        const std::size_t n = std::min(batch_rows, within.ids.size() - i);
        double d[batch_rows];
        distances(query, query_norm, within.ids.data() + i, n, d);
        for (std::size_t j = 0; j < n; ++j) {
            if (d[j] <= radius) out.push_back({d[j], within.ids[i + j]});
        }
    }
    std::sort(out.begin(), out.end(), ranks_before);
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
        std::vector<std::uint8_t> code(bytes);
        for (std::size_t id = 0; id < count; ++id) {
            const Vec row(parts.rows + id * dim_, dim_);
            if (metric_.keeps_norms()) {
                const double n = norm(row);
                if (std::memcmp(&n, parts.norms + id, sizeof n) != 0) return false;
            }
            if (!coding()) continue;
            const CodeInfo info = encode(row, metric_.kind(), code.data());
            if (std::memcmp(&info.scale, parts.scales + id, sizeof info.scale) != 0 ||
                std::memcmp(&info.rho, parts.rhos + id, sizeof info.rho) != 0 ||
                std::memcmp(&info.extent, parts.extents + id, sizeof info.extent) != 0) {
                return false;
            }
            for (std::size_t g = 0; g < bytes / 4; ++g) {
                const std::uint8_t* at = id < full ? parts.code_blocks + (id / code_lanes * code_lanes * bytes) +
                                                         (g * code_lanes + id % code_lanes) * 4
                                                   : parts.code_open + (id - full) * bytes + 4 * g;
                if (std::memcmp(at, code.data() + 4 * g, 4) != 0) return false;
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
