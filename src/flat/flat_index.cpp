// The exhaustive scan.
//
// Exact shortcuts, each with why it changes no result and the test that
// catches a slip in it:
//  1. Only the best max(k, 1) candidates are kept (a bounded heap), not all
//     n: the first k of a total order are the same however the rest are
//     held. Test: FlatScan (every metric, many dimensions and counts).
//  2. Rows are computed eight at a time by the block kernels, each lane in
//     element order: the same sums as one row at a time. Tests:
//     KernelTables.*, FlatScan.
//  3. Euclidean blocks whose partial sums all reach the abandoning bound of
//     the worst kept distance are dropped: those rows end at that distance
//     or beyond, and a tie loses, as every block offered before has smaller
//     ids. Test: BoundSums.FlatKeepsRowsJustInsideTheAbandoningBound.
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

#include "flat/flat_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
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

std::vector<double> Flat::vectors() const {
    std::vector<double> rows(count_ * dim_);
    const std::size_t blocked = count_ - count_ % lanes;
    for (std::size_t id = 0; id < blocked; ++id) {
        const double* block = blocks_.data() + (id / lanes) * lanes * dim_;
        for (std::size_t i = 0; i < dim_; ++i) rows[id * dim_ + i] = block[i * lanes + id % lanes];
    }
    std::copy(tail_.begin(), tail_.end(), rows.begin() + static_cast<std::ptrdiff_t>(blocked * dim_));
    return rows;
}

void Flat::close_block(const double* rows) {
    const std::size_t block_size = lanes * std::size_t{dim_};
    blocks_.resize(blocks_.size() + block_size);  // capacity reserved by the caller
    double* block = blocks_.data() + blocks_.size() - block_size;
    for (std::size_t r = 0; r < lanes; ++r) {
        for (std::size_t i = 0; i < dim_; ++i) block[i * lanes + r] = rows[r * dim_ + i];
    }
}

void Flat::insert(Vec vector) {
    if (vector.size() != dim_) {
        throw InternalFailure("Vector length " + std::to_string(vector.size()) +
                              " does not match index dimension " + std::to_string(dim_));
    }
    if (dim_ == 0) return;  // an empty vector stores nothing
    if (count_ >= max_vectors) throw CapacityExceeded();
    const bool closes = count_ % lanes == lanes - 1;
    // Every allocation first, so that nothing changes when one fails.
    reserve_more(tail_, dim_);
    if (closes) reserve_more(blocks_, lanes * std::size_t{dim_});
    if (metric_.keeps_norms()) reserve_more(norms_, 1);
    reserve_codes(1);
    tail_.insert(tail_.end(), vector.begin(), vector.end());
    if (closes) {
        close_block(tail_.data());
        tail_.clear();
    }
    keep_norms(vector.data(), 1);
    keep_codes(vector.data(), 1);
    ++count_;
}

void Flat::reserve_blocks(std::size_t rows) {
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t need = (count_ + rows) / lanes * block_size;
    if (need > blocks_.capacity()) {
        blocks_.reserve(need);
        advise_huge_pages(blocks_.data(), blocks_.capacity() * sizeof(double));
    }
    if (metric_.keeps_norms()) norms_.reserve(count_ + rows);
    reserve_codes(rows);
}

void Flat::reserve_codes(std::size_t rows) {
    if (!coding()) return;
    const std::size_t block = code_lanes * code_row_bytes();
    const std::size_t need = (count_ + rows) / code_lanes * block;
    if (need > code_blocks_.capacity()) code_blocks_.reserve(std::max(need, 2 * code_blocks_.capacity()));
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
        const std::size_t start = code_blocks_.size();
        code_blocks_.resize(start + code_lanes * bytes);
        std::uint8_t* block = code_blocks_.data() + start;
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
    if (dim_ != 0) reserve_blocks(fitting);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        interrupt.step(vectors[i].size());
        insert(vectors[i]);
    }
    return std::nullopt;
}

void Flat::append_rows(const double* data, std::size_t rows, Interrupt interrupt) {
    if (dim_ == 0 || rows == 0) return;
    if (rows > max_vectors - count_) throw CapacityExceeded();
    reserve_blocks(rows);
    // Fill the open block row by row, then whole blocks straight from the
    // data, then the rest into the open block again.
    std::size_t done = 0;
    while (done < rows && count_ % lanes != 0) insert(Vec(data + done++ * dim_, dim_));
    for (; rows - done >= lanes; done += lanes) {
        interrupt.step(lanes * std::size_t{dim_});
        const double* first = data + done * dim_;
        close_block(first);
        keep_norms(first, lanes);
        keep_codes(first, lanes);
        count_ += lanes;
    }
    while (done < rows) insert(Vec(data + done++ * dim_, dim_));
}

// The rows of the open block, one metric call each: the same sums as the
// block kernels compute.
template <class Top>
void Flat::scan_tail(Vec query, std::size_t first, Top& top) const {
    for (std::size_t id = first; id < count_; ++id) {
        top.offer(metric_.distance(query, Vec(tail_.data() + (id - first) * dim_, dim_)),
                  static_cast<std::uint32_t>(id));
    }
}

void Flat::scan_euclidean(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    const Kernels& k = metric_.kernels();
    TopK top(out, keep);
    // A block is dropped once every row's partial sum of squares reaches the
    // bound: each of them then ends at the worst kept distance or beyond
    // (sums never decrease). A tie would not be kept either: blocks start in
    // id order and all need the same number of steps, so every block offered
    // so far has smaller ids than any block still running.
    double bound = std::numeric_limits<double>::quiet_NaN();  // drop nothing yet
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t blocks = count_ / lanes;
    constexpr std::size_t stride = 16;  // elements between two looks at the bound
    // Up to `slots` blocks in flight, each at its own position; a block that
    // is done or dropped gives its slot to the next one.
    const double* at[slots];
    std::size_t from[slots], first[slots], active = 0, next = 0;
    double acc[slots * lanes];
    auto start = [&](std::size_t s) {
        at[s] = blocks_.data() + next * block_size;
        first[s] = next++ * lanes;
        from[s] = 0;
        std::fill(acc + s * lanes, acc + (s + 1) * lanes, 0.0);
    };
    while (active < slots && next < blocks) start(active++);
    while (active > 0) {
        std::size_t steps = stride;
        for (std::size_t s = 0; s < active; ++s) steps = std::min(steps, dim_ - from[s]);
        k.squared_l2_slots(at, from, active, query.data(), steps, acc);
        for (std::size_t s = 0; s < active;) {
            from[s] += steps;
            double* sums = acc + s * lanes;
            if (from[s] == dim_) {
                bool changed = false;
                for (std::size_t r = 0; r < lanes; ++r) {
                    changed |= top.offer(Metric::from_squares(sums[r]), static_cast<std::uint32_t>(first[s] + r));
                }
                if (changed) bound = abandoning_bound(top.worst());
            } else if (!std::all_of(sums, sums + lanes, [&](double a) { return a >= bound; })) {
                ++s;
                continue;
            }
            if (next < blocks) {
                start(s++);
                continue;
            }
            // No block left for this slot: the last one takes its place.
            --active;
            at[s] = at[active];
            from[s] = from[active];
            first[s] = first[active];
            std::copy(acc + active * lanes, acc + (active + 1) * lanes, sums);
        }
    }
    scan_tail(query, blocks * lanes, top);
    top.finish();
}

void Flat::scan_products(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    const Kernels& k = metric_.kernels();
    const double query_norm = metric_.query_norm(query);
    TopK top(out, keep);
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t blocks = count_ / lanes;
    for (std::size_t b = 0; b < blocks; b += slots) {
        const std::size_t count = std::min(slots, blocks - b);
        const double* at[slots];
        for (std::size_t s = 0; s < count; ++s) at[s] = blocks_.data() + (b + s) * block_size;
        double sums[slots * lanes];
        k.dot_blocks(at, count, query.data(), dim_, sums);
        for (std::size_t r = 0; r < count * lanes; ++r) {
            const std::size_t id = b * lanes + r;
            const double row_norm = metric_.keeps_norms() ? norms_[id] : 0.0;
            top.offer(metric_.from_dot(sums[r], query_norm, row_norm), static_cast<std::uint32_t>(id));
        }
    }
    scan_tail(query, blocks * lanes, top);
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

void Flat::screen_blocks(const QueryCode& qc, Selection& selection, std::size_t from, std::size_t to) const {
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
        const Screen sc{metric_.kind(), &qc, selection.threshold()};
        std::uint64_t pass = codes.screen(code_blocks_.data() + b * block, n, groups, sc, scales_.data() + first,
                                          rhos_.data() + first, extents_.data() + first,
                                          norms ? norms + first : nullptr, raw);
        for (; pass != 0; pass &= pass - 1) {
            const auto r = static_cast<std::size_t>(std::countr_zero(pass));
            const auto id = static_cast<std::uint32_t>(first + r);
            if (scales_[id] == 0.0f) {
                selection.offer({-inf, inf}, id);  // no code: computed, always
                continue;
            }
            selection.offer(bounds(metric_.kind(), qc, scales_[id], rhos_[id], extents_[id], raw[r],
                                   norms ? norms[id] : 0.0),
                            id);
        }
    }
}

void Flat::screen_open_block(Selection& selection) const {
    // The open block's rows have no interleaved codes: computed, always.
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (std::size_t id = count_ / code_lanes * code_lanes; id < count_; ++id) {
        selection.offer({-inf, inf}, static_cast<std::uint32_t>(id));
    }
}

bool Flat::screens(std::size_t keep) const {
    // Too few rows, or too many kept, for the screen to save anything.
    return coding() && count_ >= 2 * code_lanes && keep * 8 <= count_;
}

bool Flat::scan_screened(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    if (!screens(keep)) return false;
    QueryCode qc;
    encode_query(query, dim_, qc, metric_.kernels().codes->query_limit);
    if (!qc.usable) return false;
    Selection selection(keep);
    screen_blocks(qc, selection, 0, count_ / code_lanes);
    screen_open_block(selection);
    finish_screened(query, selection, out);
    return true;
}

void Flat::finish_screened(Vec query, Selection& selection, std::vector<Candidate>& out) const {
    // Every row whose lower bound exceeds the final threshold ranks after
    // the `keep` rows whose upper bounds are at or below it; the others are
    // computed in the order of their lower bounds until the next one exceeds
    // the worst distance kept: that row and all after it are farther than
    // `keep` rows already kept. (A row whose bound equals the worst distance
    // is computed, although it cannot tie: bounds lie strictly below.)
    auto& candidates = selection.candidates;
    const double threshold = selection.threshold();
    std::erase_if(candidates, [&](const auto& c) { return c.first > threshold; });
    std::sort(candidates.begin(), candidates.end());
    TopK top(out, selection.keep);
    const std::size_t blocked = count_ / lanes;
    std::vector<std::uint64_t> done((blocked + 63) / 64, 0);
    const double query_norm = metric_.query_norm(query);
    const Kernels& k = metric_.kernels();
    for (const auto& [lo, id] : candidates) {
        if (top.full() && lo > top.worst()) break;
        const std::size_t b = id / lanes;
        if (b >= blocked) {
            top.offer(metric_.distance(query, Vec(tail_.data() + (id - blocked * lanes) * dim_, dim_)), id);
            continue;
        }
        if (done[b / 64] >> (b % 64) & 1) continue;
        done[b / 64] |= std::uint64_t{1} << (b % 64);
        // The whole block, by the scan's kernels: the same sums as row by row.
        const double* at = blocks_.data() + b * lanes * dim_;
        double sums[slots * lanes] = {};
        if (metric_.kind() == MetricKind::Euclidean) {
            const std::size_t from = 0;
            k.squared_l2_slots(&at, &from, 1, query.data(), dim_, sums);
        } else {
            k.dot_blocks(&at, 1, query.data(), dim_, sums);
        }
        for (std::size_t r = 0; r < lanes; ++r) {
            const std::size_t row = b * lanes + r;
            const double d = metric_.kind() == MetricKind::Euclidean
                                 ? Metric::from_squares(sums[r])
                                 : metric_.from_dot(sums[r], query_norm, metric_.keeps_norms() ? norms_[row] : 0.0);
            top.offer(d, static_cast<std::uint32_t>(row));
        }
    }
    top.finish();
}

void Flat::search_many(const double* queries, std::size_t count, std::uint32_t k, std::vector<Candidate>* outs,
                       Interrupt interrupt) const {
    for (std::size_t i = 0; i < count; ++i) outs[i].clear();
    if (count_ == 0) return;
    const std::size_t keep = std::min<std::size_t>(count_, std::max<std::uint32_t>(k, 1));
    if (!screens(keep)) {
        for (std::size_t i = 0; i < count; ++i) {
            interrupt.step(count_ * dim_);
            search(Vec(queries + i * dim_, dim_), k, outs[i]);
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
            interrupt.step(count_ * dim_);
            search(query, k, outs[i]);
            continue;
        }
        screened.push_back(i);
        selections.emplace_back(keep);
    }
    const std::size_t blocks = count_ / code_lanes;
    const std::size_t chunk = std::max<std::size_t>(4, screen_chunk_bytes / (code_lanes * code_row_bytes())) / 4 * 4;
    for (std::size_t b = 0; b < blocks; b += chunk) {
        const std::size_t end = std::min(blocks, b + chunk);
        for (std::size_t j = 0; j < screened.size(); ++j) screen_blocks(codes[screened[j]], selections[j], b, end);
        interrupt.step((end - b) * code_lanes * dim_ * screened.size());
    }
    for (std::size_t j = 0; j < screened.size(); ++j) {
        screen_open_block(selections[j]);
        const std::size_t i = screened[j];
        finish_screened(Vec(queries + i * dim_, dim_), selections[j], outs[i]);
    }
}

std::optional<FlatError> Flat::search(Vec query, std::uint32_t k,
                                      std::vector<Candidate>& out) const {
    out.clear();
    if (count_ == 0) return FlatError::EmptyIndex;
    const std::size_t keep = std::min<std::size_t>(count_, std::max<std::uint32_t>(k, 1));
    if (scan_screened(query, keep, out)) return std::nullopt;
    if (metric_.kind() == MetricKind::Euclidean) {
        scan_euclidean(query, keep, out);
    } else {
        scan_products(query, keep, out);
    }
    return std::nullopt;
}

}  // namespace orbisk
