#include "hnsw/graph.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <unistd.h>

#include "common/failure.h"
#include "common/memory.h"
#include "metrics/kernels.h"

namespace orbisk {

std::string_view name(HNSWError e) {
    switch (e) {
        case HNSWError::InvalidEF: return "InvalidEF";
        case HNSWError::InvalidLayer: return "InvalidLayer";
        case HNSWError::NoSchema: return "NoSchema";
        case HNSWError::EmptySchema: return "EmptySchema";
        case HNSWError::AttributeNotFound: return "AttributeNotFound";
        case HNSWError::EmptyVectors: return "EmptyVectors";
        case HNSWError::InvalidNodeID: return "InvalidNodeID";
    }
    return "HNSWError";
}

/// Visited marks by generation stamp (clearing is one increment) and the
/// candidate queue's storage.
struct HNSW::Scratch {
    std::vector<std::uint32_t> stamps;
    std::uint32_t generation = 0;
    std::vector<Candidate> queue;
    std::vector<std::uint32_t> pending;  // newly visited neighbours, in list order
    std::vector<double> sums;            // their partial sums
    std::vector<std::uint32_t> alive;    // which of them may still enter W
    double query_norm = 0.0;             // cosine: sqrt of the query's sum of squares

    void begin(std::size_t nodes) {
        if (stamps.size() < nodes) stamps.resize(nodes, 0);
        if (++generation == 0) {
            std::fill(stamps.begin(), stamps.end(), 0);
            generation = 1;
        }
    }
    /// Marks `node`; false when it was marked already.
    bool visit(std::uint32_t node) {
        if (stamps[node] == generation) return false;
        stamps[node] = generation;
        return true;
    }
};

/// Takes the index's spare scratch for one call, or a fresh one when another
/// reader holds it, and hands it back afterwards.
class HNSW::ScratchLease {
  public:
    explicit ScratchLease(const HNSW& index) : index_(index), s_(index.spare_.exchange(nullptr)) {
        if (!s_) s_.reset(new Scratch);
    }
    ~ScratchLease() {
        Scratch* expected = nullptr;
        if (index_.spare_.compare_exchange_strong(expected, s_.get())) s_.release();
    }
    Scratch& operator*() { return *s_; }

  private:
    const HNSW& index_;
    std::unique_ptr<Scratch> s_;
};

namespace {

// Queue priority: the candidate that ranks first is on top.
bool lower_priority(const Candidate& a, const Candidate& b) { return ranks_before(b, a); }

// Place of d in W: after every smaller distance and before every greater one;
// among equal distances, in front of the last of them.
void insert_sorted(std::vector<Candidate>& w, Candidate c) {
    auto at = std::upper_bound(w.begin(), w.end(), c.distance,
                               [](double d, const Candidate& e) { return distance_less(d, e.distance); });
    if (at != w.begin() && distance_equal(std::prev(at)->distance, c.distance)) --at;
    w.insert(at, c);
}

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

}  // namespace

HNSW::HNSW(HNSWParams params) : params_(std::move(params)) {
    for (std::uint32_t i = 0; i < params_.layers; ++i) {
        const double w = std::exp(-static_cast<double>(i));
        if (w == 0.0) break;  // this and every later weight add nothing
        weights_.push_back(w);
    }
    // Levels past the eighth are drawn about once in three thousand; they
    // share the last table, where walks check levels, rather than copy every
    // link to them into hundreds of tables.
    links_.resize(std::clamp<std::size_t>(weights_.size(), 1, 8));
}

HNSW::HNSW(HNSW&& o) noexcept
    : params_(std::move(o.params_)),
      weights_(std::move(o.weights_)),
      vectors_(std::move(o.vectors_)),
      levels_(std::move(o.levels_)),
      links_(std::move(o.links_)),
      norms_(std::move(o.norms_)),
      metadata_(std::move(o.metadata_)),
      top_other_(o.top_other_),
      spare_(o.spare_.exchange(nullptr)) {}

HNSW::~HNSW() { delete spare_.load(); }

std::uint32_t HNSW::draw_level(Rng& rng) const {
    double total = -0.0;
    for (double w : weights_) total += w;
    const double u = static_cast<double>(rng() >> 11) * 0x1.0p-53;
    const double threshold = total * u;
    double running = 0.0;
    for (std::size_t i = 0; i < weights_.size(); ++i) {
        running += weights_[i];
        if (running > threshold) return static_cast<std::uint32_t>(i);
    }
    return params_.layers - 1;
}

std::optional<HNSWError> HNSW::check_filter(const Filter* filter, std::size_t& position) const {
    if (!filter) return std::nullopt;
    auto found = attribute_position(params_.schema, filter->attribute);
    if (auto* e = std::get_if<HNSWError>(&found)) return *e;
    position = std::get<std::size_t>(found);
    return std::nullopt;
}

void HNSW::admit_pending(Scratch& s, Vec query, std::uint32_t ef, std::vector<Candidate>& out) const {
    const std::size_t count = s.pending.size();
    if (count == 0) return;
    const MetricFn metric = params_.metric;
    auto& sums = s.sums;
    sums.assign(count, 0.0);
    if (metric == euclidean_distance || metric == dot_product || metric == cosine_similarity) {
        const std::size_t n = std::min<std::size_t>(query.size(), params_.dim);
        const Kernels& k = kernels();
        const bool euclidean = metric == euclidean_distance;
        // Once W is full a node enters only by beating W's last entry, which
        // can only improve while these are admitted: a node whose partial sum
        // of squares reaches the bound for it is dropped, in steps of 16.
        const double bound = euclidean && out.size() >= ef ? abandoning_bound(out.back().distance)
                                                           : std::numeric_limits<double>::quiet_NaN();
        const std::size_t step = std::isnan(bound) ? std::max<std::size_t>(n, 1) : 16;
        auto& alive = s.alive;
        alive.resize(count);
        for (std::size_t i = 0; i < count; ++i) alive[i] = static_cast<std::uint32_t>(i);
        for (std::size_t from = 0; from < n && !alive.empty(); from += step) {
            const std::size_t to = std::min(n, from + step);
            for (std::size_t g = 0; g < alive.size(); g += lanes) {
                std::int64_t offsets[lanes];
                double acc[lanes];
                for (std::size_t r = 0; r < lanes; ++r) {
                    const std::uint32_t i = alive[std::min(g + r, alive.size() - 1)];
                    offsets[r] = static_cast<std::int64_t>(s.pending[i]) * params_.dim;
                    acc[r] = sums[i];
                }
                (euclidean ? k.squared_l2_rows : k.dot_rows)(vectors_.data(), offsets, query.data(), from, to, acc);
                for (std::size_t r = 0; r < lanes && g + r < alive.size(); ++r) sums[alive[g + r]] = acc[r];
            }
            if (std::isnan(bound) || to == n) continue;
            std::erase_if(alive, [&](std::uint32_t i) {
                if (!(sums[i] >= bound)) return false;
                sums[i] = std::numeric_limits<double>::quiet_NaN();  // dropped: a NaN never enters a full W
                return true;
            });
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (euclidean) {
                sums[i] = std::sqrt(sums[i]);
            } else if (metric == cosine_similarity) {
                sums[i] = sums[i] / (s.query_norm * norms_[s.pending[i]]);
            }
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) sums[i] = metric(query, vector(s.pending[i]));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Candidate c{sums[i], s.pending[i]};
        if (out.size() < ef || distance_less(c.distance, out.back().distance)) {
            s.queue.push_back(c);
            std::push_heap(s.queue.begin(), s.queue.end(), lower_priority);
            insert_sorted(out, c);
            if (out.size() > ef) out.pop_back();
        }
    }
    s.pending.clear();
}

template <bool Filtered>
void HNSW::walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef,
                std::uint32_t layer, const Filter* filter, std::size_t position,
                std::vector<Candidate>& out) const {
    s.begin(size());
    s.pending.clear();
    if (params_.metric == cosine_similarity) {
        double na = 0.0;
        for (double x : query) na += x * x;
        s.query_norm = std::sqrt(na);
    }
    auto& queue = s.queue;
    queue.clear();
    out.clear();
    const Candidate start{params_.metric(query, vector(entry)), entry};
    out.push_back(start);
    queue.push_back(start);
    s.visit(entry);
    const auto& lists = links_[std::min<std::size_t>(layer, links_.size() - 1)];
    while (!queue.empty()) {
        std::pop_heap(queue.begin(), queue.end(), lower_priority);
        const Candidate c = queue.back();
        queue.pop_back();
        if (distance_less(out.back().distance, c.distance)) break;
        for (std::uint32_t e : lists[c.id]) {
            if (levels_[e] < layer) continue;
            if constexpr (Filtered) {
                if (!filter_matches(metadata_, *filter, position, e)) continue;
            }
            // A visited node's distance could change nothing, so it is not computed.
            if (!s.visit(e)) continue;
            s.pending.push_back(e);
        }
        admit_pending(s, query, ef, out);
    }
}

void HNSW::walk_any(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef,
                    std::uint32_t layer, const Filter* filter, std::size_t position,
                    std::vector<Candidate>& out) const {
    if (filter) {
        walk<true>(s, entry, query, ef, layer, filter, position, out);
    } else {
        walk<false>(s, entry, query, ef, layer, nullptr, 0, out);
    }
}

std::optional<HNSWError> HNSW::knn(std::uint32_t entry, Vec query, std::uint32_t ef,
                                   std::uint32_t layer, const Filter* filter,
                                   std::vector<Candidate>& out) const {
    if (ef == 0) return HNSWError::InvalidEF;
    if (layer >= params_.layers) return HNSWError::InvalidLayer;
    std::size_t position = 0;
    if (auto e = check_filter(filter, position)) return e;
    if (entry >= size()) throw InternalFailure("knn entry " + std::to_string(entry) + " is not a node");
    ScratchLease lease(*this);
    walk_any(*lease, entry, query, ef, layer, filter, position, out);
    return std::nullopt;
}

void HNSW::link(std::uint32_t from, std::uint32_t to) {
    const std::size_t tables = std::min<std::size_t>(std::size_t{levels_[to]} + 1, links_.size());
    for (std::size_t level = 0; level < tables; ++level) links_[level][from].push_back(to);
}

void HNSW::rollback(std::size_t nodes) {
    const auto gone = static_cast<std::uint32_t>(nodes);
    vectors_.resize(nodes * params_.dim);
    levels_.resize(nodes);
    if (norms_.size() > nodes) norms_.resize(nodes);
    metadata_.truncate(nodes);
    // Links only ever go to the end of a list, so the new node's back-links
    // are exactly the trailing entries naming it.
    for (auto& lists : links_) {
        if (lists.size() > nodes) lists.resize(nodes);
        for (auto& list : lists) {
            while (!list.empty() && list.back() == gone) list.pop_back();
        }
    }
    top_other_ = 0;
    for (std::size_t i = 1; i < nodes; ++i) top_other_ = std::max(top_other_, levels_[i]);
}

std::optional<HNSWError> HNSW::insert(Vec vector, const MetadataRecord* record, Rng& rng) {
    const std::uint32_t dim = params_.dim;
    if (vector.size() != dim) {
        throw InternalFailure("Vector length " + std::to_string(vector.size()) +
                              " does not match index dimension " + std::to_string(dim));
    }
    const std::size_t n = size();
    if (n >= max_vectors) throw CapacityExceeded();
    const std::uint32_t layers = params_.layers;
    const std::uint32_t level = n == 0 ? layers - 1 : draw_level(rng);
    // Every linking layer adds at least two ids (one to the new node's list,
    // one back-link), so an absurd layer count is refused before it starts.
    if (n > 0 && level < layers && (std::uint64_t{layers} - level) > physical_memory() / 8) {
        throw std::bad_alloc();
    }
    const auto node = static_cast<std::uint32_t>(n);
    try {
        vectors_.insert(vectors_.end(), vector.begin(), vector.end());
        levels_.push_back(level);
        for (auto& lists : links_) lists.emplace_back();
        if (params_.metric == cosine_similarity) {
            double nb = 0.0;
            for (double x : vector) nb += x * x;
            norms_.push_back(std::sqrt(nb));
        }
        metadata_.append(record);
        if (n == 0) return std::nullopt;
        top_other_ = std::max(top_other_, level);

        std::vector<Candidate> w;
        std::uint32_t entry = 0;
        for (std::uint32_t layer = 0; layer < layers; ++layer) {
            if (layer < level) {
                if (auto e = knn(entry, vector, 1, layer, nullptr, w)) return e;
                if (!w.empty()) entry = w.front().id;
                continue;
            }
            if (auto e = knn(entry, vector, params_.ef_construction, layer, nullptr, w)) return e;
            for (const Candidate& r : w) {
                if (r.id > node) return HNSWError::InvalidNodeID;
            }
            // Back-links first, in W's order (a self-link lands in the new
            // node's own list here), then the new node's links to all of W.
            for (const Candidate& r : w) link(r.id, node);
            for (const Candidate& r : w) link(node, r.id);
            entry = node;
        }
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        rollback(n);
        throw;
    }
}

std::optional<HNSWError> HNSW::create(const Rows& vectors, std::span<const MetadataRecord> records,
                                      Rng& rng, Interrupt interrupt) {
    if (vectors.empty()) return HNSWError::EmptyVectors;
    const bool with_records = params_.schema.has_value();
    if (with_records && records.size() != vectors.size()) return HNSWError::AttributeNotFound;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        interrupt.step(size() * params_.dim);
        if (auto e = insert(vectors[i], with_records ? &records[i] : nullptr, rng)) return e;
    }
    return std::nullopt;
}

std::optional<HNSWError> HNSW::search(Vec query, std::uint32_t k, const Filter* filter,
                                      std::vector<Candidate>& out) const {
    out.clear();
    if (size() == 0) return std::nullopt;
    const std::uint32_t layers = params_.layers;
    if (layers == 0) return HNSWError::InvalidLayer;
    std::size_t position = 0;
    ScratchLease lease(*this);
    std::uint32_t entry = 0;
    if (layers >= 2) {
        if (auto e = check_filter(filter, position)) return e;
        // Above every level but node 0's, a walk from node 0 finds only node 0
        // and leaves the entry where it is, so those layers are skipped.
        for (std::uint32_t layer = std::min(layers - 1, top_other_); layer >= 1; --layer) {
            walk_any(*lease, entry, query, 1, layer, filter, position, out);
            entry = out.front().id;
        }
    }
    if (params_.ef_search == 0) return HNSWError::InvalidEF;
    if (auto e = check_filter(filter, position)) return e;
    walk_any(*lease, entry, query, params_.ef_search, 0, filter, position, out);
    if (out.size() > std::max<std::uint32_t>(k, 1)) out.resize(std::max<std::uint32_t>(k, 1));
    return std::nullopt;
}

}  // namespace orbisk
