#include "flat/flat_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

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

double sum_of_squares(Vec v) {
    double sum = 0.0;
    for (double x : v) sum += x * x;
    return sum;
}

/// The best `keep` candidates seen so far; the worst on top. Rows arrive in
/// ascending id, so a newcomer beats the worst only by a smaller distance.
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
        if (!distance_less(distance, worst())) return false;
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
    if (metric_ == cosine_similarity) reserve_more(norms_, 1);
    tail_.insert(tail_.end(), vector.begin(), vector.end());
    if (closes) {
        close_block(tail_.data());
        tail_.clear();
    }
    if (metric_ == cosine_similarity) norms_.push_back(std::sqrt(sum_of_squares(vector)));
    ++count_;
}

void Flat::reserve_blocks(std::size_t rows) {
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t need = (count_ + rows) / lanes * block_size;
    if (need > blocks_.capacity()) {
        blocks_.reserve(need);
        advise_huge_pages(blocks_.data(), blocks_.capacity() * sizeof(double));
    }
    if (metric_ == cosine_similarity) norms_.reserve(count_ + rows);
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
        if (metric_ == cosine_similarity) {
            for (std::size_t r = 0; r < lanes; ++r) norms_.push_back(std::sqrt(sum_of_squares(Vec(first + r * dim_, dim_))));
        }
        count_ += lanes;
    }
    while (done < rows) insert(Vec(data + done++ * dim_, dim_));
}

// The rows of the open block, one metric call each: the same sums as the
// block kernels compute.
template <class Top>
void Flat::scan_tail(Vec query, std::size_t first, Top& top) const {
    for (std::size_t id = first; id < count_; ++id) {
        top.offer(metric_(query, Vec(tail_.data() + (id - first) * dim_, dim_)), static_cast<std::uint32_t>(id));
    }
}

void Flat::scan_euclidean(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    const Kernels& k = kernels();
    TopK top(out, keep);
    double bound = std::numeric_limits<double>::quiet_NaN();  // abandon nothing yet
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t blocked = count_ - count_ % lanes;
    for (std::size_t first = 0; first < blocked; first += lanes) {
        double sums[lanes];
        if (!k.squared_l2(blocks_.data() + first / lanes * block_size, query.data(), dim_, bound, sums)) {
            continue;  // every row of the block ends at the worst kept distance or beyond
        }
        bool changed = false;
        for (std::size_t r = 0; r < lanes; ++r) {
            changed |= top.offer(std::sqrt(sums[r]), static_cast<std::uint32_t>(first + r));
        }
        if (changed) bound = abandoning_bound(top.worst());
    }
    scan_tail(query, blocked, top);
    top.finish();
}

void Flat::scan_products(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    const Kernels& k = kernels();
    const bool cosine = metric_ == cosine_similarity;
    const double query_norm = std::sqrt(sum_of_squares(query));
    TopK top(out, keep);
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t blocked = count_ - count_ % lanes;
    for (std::size_t first = 0; first < blocked; first += lanes) {
        double sums[lanes];
        k.dot(blocks_.data() + first / lanes * block_size, query.data(), dim_, sums);
        for (std::size_t r = 0; r < lanes; ++r) {
            const double d = cosine ? sums[r] / (query_norm * norms_[first + r]) : sums[r];
            top.offer(d, static_cast<std::uint32_t>(first + r));
        }
    }
    scan_tail(query, blocked, top);
    top.finish();
}

std::optional<FlatError> Flat::search(Vec query, std::uint32_t k,
                                      std::vector<Candidate>& out) const {
    out.clear();
    if (count_ == 0) return FlatError::EmptyIndex;
    const std::size_t keep = std::min<std::size_t>(count_, std::max<std::uint32_t>(k, 1));
    if (metric_ == euclidean_distance) {
        scan_euclidean(query, keep, out);
    } else if (metric_ == dot_product || metric_ == cosine_similarity) {
        scan_products(query, keep, out);
    } else {
        // Any other metric: one call per row, in id order.
        TopK top(out, keep);
        const std::vector<double> rows = vectors();
        for (std::size_t id = 0; id < count_; ++id) {
            top.offer(metric_(query, Vec(rows.data() + id * dim_, dim_)), static_cast<std::uint32_t>(id));
        }
        top.finish();
    }
    return std::nullopt;
}

}  // namespace orbisk
