// The graph's stores: rows, code records, lists and levels; adding rows,
// removing them, and checking what a graph holds.

#include "graph/graph.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "common/failure.h"
#include "common/memory.h"
#include "graph/scratch.h"
#include "metrics/codes.h"
#include "metrics/metrics.h"

namespace orbisk {

namespace {

/// A record's bytes: its code and three 4-byte fields, in a block that
/// never straddles more cache lines than its size needs (16, 32 or 64
/// bytes, or whole lines).
std::size_t record_stride(std::size_t code) {
    const std::size_t need = code + 12;
    for (std::size_t s = 16; s <= 64; s *= 2) {
        if (need <= s) return s;
    }
    return (need + 63) / 64 * 64;
}

/// splitmix64: a level is a function of the seed and the row's id alone, so
/// a build draws the same levels however its rows are split among calls
/// and threads.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

Graph::Graph(GraphParams params)
    : params_(params),
      metric_(params.metric, params.isa),
      walk_(&walk_kernels(params.isa)),
      level_factor_(1.0 / std::log(static_cast<double>(std::max(params.m, 2u)))),
      code_bytes_(code_bytes(params.dim)),
      stride_(record_stride(code_bytes_)) {
    if (params.m < 2 || params.m > max_graph_m) throw std::invalid_argument("m must be between 2 and 64");
    if (params.ef_construction == 0) throw std::invalid_argument("ef_construction must be at least 1");
    if (params.dim == 0 || params.dim > max_code_dim) throw std::invalid_argument("dim must be between 1 and 65536");
}

Graph::~Graph() { delete spare_.load(); }

std::uint32_t Graph::draw_level(std::uint64_t id) const {
    // u uniform in (0, 1]: -ln u is exponential, and its floor times 1/ln m
    // is the geometric law of the layers (a node reaches layer L with
    // chance m^-L).
    const double u = static_cast<double>((mix(params_.seed ^ mix(id)) >> 11) + 1) * 0x1p-53;
    const double level = std::floor(-std::log(u) * level_factor_);
    return static_cast<std::uint32_t>(std::min(level, static_cast<double>(max_graph_level)));
}

float Graph::scale(std::size_t id) const {
    float v;
    std::memcpy(&v, record(id) + code_bytes_, 4);
    return v;
}

float Graph::squares(std::size_t id) const {
    float v;
    std::memcpy(&v, record(id) + code_bytes_ + 4, 4);
    return v;
}

std::uint32_t Graph::upper_at(std::size_t id) const {
    std::uint32_t v;
    std::memcpy(&v, record(id) + code_bytes_ + 8, 4);
    return v;
}

const std::uint32_t* Graph::list(std::size_t id, std::uint32_t layer) const {
    if (layer == 0) return bottom_.data() + id * 2 * params_.m;
    return upper_.data() + upper_at(id) + (layer - 1) * params_.m;
}

std::uint32_t* Graph::list(std::size_t id, std::uint32_t layer) {
    return const_cast<std::uint32_t*>(static_cast<const Graph*>(this)->list(id, layer));
}

std::span<const std::uint32_t> Graph::links(std::size_t id, std::uint32_t layer) const {
    const std::uint32_t* l = list(id, layer);
    const std::uint32_t cap = capacity(layer);
    std::uint32_t n = 0;
    while (n < cap && l[n] != no_link) ++n;
    return {l, n};
}

void Graph::set_upper_at(std::size_t id, std::uint32_t at) { std::memcpy(record(id) + code_bytes_ + 8, &at, 4); }

void Graph::encode_row(std::size_t id, std::vector<double>& unit) {
    // The walk ranks cosine rows as rows scaled to length one, and the
    // others as they are; the code is codes.h's (a float scale, bytes
    // c + 128), and the squared norm of what was coded completes the
    // Euclidean distance from the codes' product.
    const Vec x = row(id);
    Vec coded = x;
    if (params_.metric == MetricKind::Cosine) {
        const double n = norm(x);
        for (std::size_t i = 0; i < x.size(); ++i) unit[i] = x[i] / n;
        coded = unit;
    }
    std::uint8_t* rec = record(id);
    CodeInfo info = encode(coded, params_.metric, rec);
    if (!info.coded()) {
        std::memset(rec, 128, code_bytes_);  // codes 0: only the squared norm tells
        info.scale = 0.0f;
    }
    const float sq = params_.metric == MetricKind::Dot
                         ? 0.0f
                         : static_cast<float>(sum_of_products(coded.data(), coded.data(), coded.size()));
    std::memcpy(rec + code_bytes_, &info.scale, 4);
    std::memcpy(rec + code_bytes_ + 4, &sq, 4);
}

void Graph::reserve(std::size_t rows, std::size_t upper_words) {
    if (rows > max_vectors - count_) throw CapacityExceeded();
    rows_.reserve_more(rows * params_.dim);
    reserve_more(records_, rows * stride_);
    reserve_more(bottom_, rows * 2 * params_.m);
    reserve_more(upper_, upper_words);
    reserve_more(levels_, rows);
    if (removed_) reserve_more(live_, (count_ + rows + 63) / 64 - live_.size());
}

void Graph::add(const double* data, std::size_t count, unsigned threads, Poll poll) {
    if (count == 0) return;
    const std::size_t first = append_unlinked(data, count);
    std::exception_ptr stop;
    truncate(link(first, threads, poll, stop));
    if (stop) std::rethrow_exception(stop);
}

std::size_t Graph::append_unlinked(const double* data, std::size_t count) {
    if (count > max_vectors - count_) throw CapacityExceeded();
    std::size_t upper_words = 0;
    for (std::size_t i = 0; i < count; ++i) upper_words += std::size_t{draw_level(count_ + i)} * params_.m;
    reserve(count, upper_words);
    // Every store written before any thread walks: during the build the
    // threads write lists alone, each under its node's lock.
    const std::size_t first = count_;
    std::vector<double> unit(params_.dim);
    rows_.append(data, count * params_.dim);
    records_.resize(records_.size() + count * stride_);
    bottom_.resize(bottom_.size() + count * 2 * params_.m, no_link);
    for (std::size_t id = first; id < first + count; ++id) {
        const std::uint32_t l = draw_level(id);
        levels_.push_back(static_cast<std::uint8_t>(l));
        const auto at = static_cast<std::uint32_t>(upper_.size());
        upper_.resize(upper_.size() + std::size_t{l} * params_.m, no_link);
        encode_row(id, unit);
        set_upper_at(id, at);
    }
    if (removed_) live_.resize((first + count + 63) / 64, 0);
    count_ = first + count;
    if (removed_) {
        for (std::size_t id = first; id < count_; ++id) live_[id / 64] |= std::uint64_t{1} << (id % 64);
    }
    return first;
}

void Graph::truncate(std::size_t count) {
    if (count >= count_) return;
    const std::size_t upper = upper_at(count);
    count_ = count;
    rows_.resize_down(count * params_.dim);
    records_.resize(count * stride_);
    bottom_.resize(count * 2 * params_.m);
    upper_.resize(upper);
    levels_.resize(count);
    if (removed_) {
        live_.resize((count + 63) / 64);
        if (count % 64) live_.back() &= (std::uint64_t{1} << (count % 64)) - 1;
    }
}

}  // namespace orbisk
