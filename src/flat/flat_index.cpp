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

#include "flat/flat_index.h"

#include <algorithm>
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
    tail_.insert(tail_.end(), vector.begin(), vector.end());
    if (closes) {
        close_block(tail_.data());
        tail_.clear();
    }
    keep_norms(vector.data(), 1);
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

std::optional<FlatError> Flat::search(Vec query, std::uint32_t k,
                                      std::vector<Candidate>& out) const {
    out.clear();
    if (count_ == 0) return FlatError::EmptyIndex;
    const std::size_t keep = std::min<std::size_t>(count_, std::max<std::uint32_t>(k, 1));
    if (metric_.kind() == MetricKind::Euclidean) {
        scan_euclidean(query, keep, out);
    } else {
        scan_products(query, keep, out);
    }
    return std::nullopt;
}

}  // namespace orbisk
