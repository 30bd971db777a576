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
    for (std::size_t id = 0; id < count_; ++id) {
        const double* block = blocks_.data() + (id / lanes) * lanes * dim_;
        for (std::size_t i = 0; i < dim_; ++i) rows[id * dim_ + i] = block[i * lanes + id % lanes];
    }
    return rows;
}

void Flat::insert(Vec vector) {
    if (vector.size() != dim_) {
        throw InternalFailure("Vector length " + std::to_string(vector.size()) +
                              " does not match index dimension " + std::to_string(dim_));
    }
    if (dim_ == 0) return;  // an empty vector stores nothing
    if (count_ >= max_vectors) throw CapacityExceeded();
    const std::size_t lane = count_ % lanes;
    const std::size_t block_size = lanes * std::size_t{dim_};
    // Every allocation first, so that nothing changes when one fails.
    if (lane == 0) reserve_more(blocks_, block_size);
    if (metric_ == cosine_similarity) reserve_more(norms_, 1);
    if (lane == 0) blocks_.resize(blocks_.size() + block_size, 0.0);  // zeroes the spare lanes
    double* block = blocks_.data() + (count_ / lanes) * block_size;
    for (std::size_t i = 0; i < dim_; ++i) block[i * lanes + lane] = vector[i];
    if (metric_ == cosine_similarity) norms_.push_back(std::sqrt(sum_of_squares(vector)));
    ++count_;
}

std::optional<FlatError> Flat::create(const Rows& vectors) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    // Room for every vector up to the first of the wrong length (which stops
    // the batch), in one allocation.
    std::size_t fitting = 0;
    while (fitting < vectors.size() && vectors[fitting].size() == dim_) ++fitting;
    const std::size_t blocks = (count_ + fitting + lanes - 1) / lanes;
    if (blocks > blocks_.capacity() / std::max<std::size_t>(1, lanes * std::size_t{dim_})) {
        blocks_.reserve(blocks * lanes * dim_);
        advise_huge_pages(blocks_.data(), blocks_.capacity() * sizeof(double));
    }
    if (metric_ == cosine_similarity) norms_.reserve(count_ + fitting);
    for (std::size_t i = 0; i < vectors.size(); ++i) insert(vectors[i]);
    return std::nullopt;
}

void Flat::append_rows(const double* data, std::size_t rows) {
    if (dim_ == 0 || rows == 0) return;
    if (rows > max_vectors - count_) throw CapacityExceeded();
    const std::size_t block_size = lanes * std::size_t{dim_};
    const std::size_t blocks = (count_ + rows + lanes - 1) / lanes;
    if (blocks * block_size > blocks_.capacity()) {
        blocks_.reserve(blocks * block_size);
        advise_huge_pages(blocks_.data(), blocks_.capacity() * sizeof(double));
    }
    if (metric_ == cosine_similarity) norms_.reserve(count_ + rows);
    // Fill the open block lane by lane, then whole blocks by transposition.
    std::size_t done = 0;
    while (done < rows && count_ % lanes != 0) insert(Vec(data + done++ * dim_, dim_));
    const std::size_t first = blocks_.size();
    blocks_.resize(blocks * block_size);
    for (std::size_t b = first; done < rows; b += block_size, done += lanes) {
        const std::size_t here = std::min(lanes, rows - done);
        double* block = blocks_.data() + b;
        for (std::size_t r = 0; r < lanes; ++r) {
            if (r >= here) {
                for (std::size_t i = 0; i < dim_; ++i) block[i * lanes + r] = 0.0;
                continue;
            }
            const double* row = data + (done + r) * dim_;
            for (std::size_t i = 0; i < dim_; ++i) block[i * lanes + r] = row[i];
            if (metric_ == cosine_similarity) norms_.push_back(std::sqrt(sum_of_squares(Vec(row, dim_))));
        }
        count_ += here;
    }
}

void Flat::scan_euclidean(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    const Kernels& k = kernels();
    TopK top(out, keep);
    double bound = std::numeric_limits<double>::quiet_NaN();  // abandon nothing yet
    const std::size_t block_size = lanes * std::size_t{dim_};
    for (std::size_t first = 0; first < count_; first += lanes) {
        double sums[lanes];
        if (!k.squared_l2(blocks_.data() + first / lanes * block_size, query.data(), dim_, bound, sums)) {
            continue;  // every row of the block ends at the worst kept distance or beyond
        }
        const std::size_t rows = std::min(lanes, count_ - first);
        bool changed = false;
        for (std::size_t r = 0; r < rows; ++r) {
            changed |= top.offer(std::sqrt(sums[r]), static_cast<std::uint32_t>(first + r));
        }
        if (changed) bound = abandoning_bound(top.worst());
    }
    top.finish();
}

void Flat::scan_products(Vec query, std::size_t keep, std::vector<Candidate>& out) const {
    const Kernels& k = kernels();
    const bool cosine = metric_ == cosine_similarity;
    const double query_norm = std::sqrt(sum_of_squares(query));
    TopK top(out, keep);
    const std::size_t block_size = lanes * std::size_t{dim_};
    for (std::size_t first = 0; first < count_; first += lanes) {
        double sums[lanes];
        k.dot(blocks_.data() + first / lanes * block_size, query.data(), dim_, sums);
        const std::size_t rows = std::min(lanes, count_ - first);
        for (std::size_t r = 0; r < rows; ++r) {
            const double d = cosine ? sums[r] / (query_norm * norms_[first + r]) : sums[r];
            top.offer(d, static_cast<std::uint32_t>(first + r));
        }
    }
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
