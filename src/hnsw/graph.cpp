#include "hnsw/graph.h"

#include "hnsw/link_code.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

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

/// Working memory of walks: visited marks by generation stamp (clearing is
/// one increment), the candidate queue, and the neighbours pending admission.
struct HNSW::Scratch {
    std::vector<std::uint32_t> stamps;
    std::uint32_t generation = 0;
    std::vector<Candidate> queue;
    // Newly visited neighbours in list order, and the codes of their links;
    // grown by visit_run without zeroing.
    std::vector<std::uint32_t, UninitAllocator<std::uint32_t>> pending;
    std::vector<std::uint8_t, UninitAllocator<std::uint8_t>> codes;
    double query_norm = 0.0;             // cosine: sqrt of the query's sum of squares
    bool last_round = false;             // the walk ends after this admission: queue nothing
    // The distances that the walks of one query (an insertion, or a search,
    // walking layer after layer) computed in full: a node's distance is the
    // same bits whichever walk computes it. memo[e] holds e's distance when
    // memo_stamps[e] is the query's number.
    std::vector<double> memo;
    std::vector<std::uint32_t> memo_stamps;
    std::uint32_t query = 0;

    /// A new query: nothing is known of its distances.
    void begin_query(std::size_t nodes) {
        if (memo_stamps.size() < nodes) {  // the stamps last: a failed growth leaves them short
            memo.resize(nodes);
            memo_stamps.resize(nodes, 0);
        }
        if (++query == 0) {
            std::fill(memo_stamps.begin(), memo_stamps.end(), 0);
            query = 1;
        }
    }
    void remember(std::uint32_t node, double distance) {
        memo[node] = distance;
        memo_stamps[node] = query;
    }

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

}  // namespace

HNSW::HNSW(HNSWParams params) : params_(std::move(params)) {
    for (std::uint32_t i = 0; i < params_.layers; ++i) {
        const double w = std::exp(-static_cast<double>(i));
        if (w == 0.0) break;  // this and every later weight add nothing
        weights_.push_back(w);
    }
}

HNSW::HNSW(HNSW&& o) noexcept
    : params_(std::move(o.params_)),
      weights_(std::move(o.weights_)),
      vectors_(std::move(o.vectors_)),
      levels_(std::move(o.levels_)),
      links_(std::move(o.links_)),
      norms_(std::move(o.norms_)),
      scales_(std::move(o.scales_)),
      metadata_(std::move(o.metadata_)),
      top_other_(o.top_other_),
      at_least_(std::move(o.at_least_)),
      counted_(o.counted_),
      link_marks_(std::move(o.link_marks_)),
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

void HNSW::admit_pending(Scratch& s, Candidate from, Vec query, std::uint32_t ef,
                         std::vector<Candidate>& out) const {
    const std::size_t count = s.pending.size();
    const MetricFn metric = params_.metric;
    const bool euclidean = metric == euclidean_distance;
    if (!euclidean && metric != dot_product && metric != cosine_similarity) {
        for (std::uint32_t e : s.pending) admit(s, {metric(query, vector(e)), e}, ef, out);
        s.pending.clear();
        s.codes.clear();
        return;
    }
    const std::size_t n = std::min<std::size_t>(query.size(), params_.dim);
    const Kernels& k = kernels();
    // Link codes bound a neighbour's distance from below only for the
    // Euclidean metric and a query of the index's dimension (link_code.h).
    const bool coded = euclidean && query.size() == params_.dim;
    SkipCodes skip;
    double skip_for = std::numeric_limits<double>::quiet_NaN();  // the f `skip` was made for
    // Up to `slots` groups of eight nodes at a time, each lane one node in
    // element order, the groups side by side; each batch is admitted before
    // the next is formed, so that it meets a fresh W. Nodes whose distance
    // an earlier walk of this query computed join the batch with it.
    constexpr std::size_t window = 256;  // nodes of one batch, computed or known
    for (std::size_t i = 0; i < count;) {
        const bool full = out.size() >= ef;
        const double last = full ? out.back().distance : std::numeric_limits<double>::quiet_NaN();
        if (full && coded && last != skip_for) {
            skip_for = last;
            skip = skip_codes(scales_[from.id], from.distance, skip_for, params_.dim);
        }
        std::uint32_t order[window], batch[slots * lanes];
        double known[window];
        std::size_t taken = 0, m = 0;
        for (; i < count && m < slots * lanes && taken < window; ++i) {
            const std::uint32_t e = s.pending[i];
            // Marked visited already, as the walk would; its distance cannot
            // beat W's last entry, so it is not computed. (Skip codes are
            // made only once W is full, and W stays full.)
            if (coded && skip.skips(s.codes[i])) continue;
            const bool memo = s.memo_stamps[e] == s.query;
            known[taken] = memo ? s.memo[e] : 0.0;
            order[taken++] = e;
            if (!memo) batch[m++] = e;
        }
        if (taken == 0) break;
        double acc[slots * lanes] = {};
        const std::size_t groups = (m + lanes - 1) / lanes;
        std::int64_t offsets[slots * lanes];
        for (std::size_t r = 0; r < groups * lanes; ++r) {
            offsets[r] = static_cast<std::int64_t>(batch[std::min(r, m - 1)]) * params_.dim;
        }
        if (m > 0 && !euclidean) {
            k.dot_rows(vectors_.data(), offsets, groups, query.data(), 0, n, acc);
            for (std::size_t r = 0; r < m; ++r) {
                acc[r] = metric == cosine_similarity ? acc[r] / (s.query_norm * norms_[batch[r]]) : acc[r];
                s.remember(batch[r], acc[r]);
            }
        } else if (m > 0) {
            // Once W is full a node enters only by beating W's last entry: a
            // group whose partial sums of squares all reach the bound for it
            // is dropped (the sums never decrease).
            const double bound = full ? abandoning_bound(last) : std::numeric_limits<double>::quiet_NaN();
            const std::size_t step = std::isnan(bound) ? std::max<std::size_t>(n, 1) : 16;
            std::size_t live[slots], alive = groups;  // the groups still computed, in order
            for (std::size_t g = 0; g < groups; ++g) live[g] = g;
            bool dropped[slots] = {};
            for (std::size_t at = 0; at < n && alive > 0; at += step) {
                std::int64_t live_offsets[slots * lanes];
                double live_acc[slots * lanes];
                for (std::size_t j = 0; j < alive; ++j) {
                    std::copy_n(offsets + live[j] * lanes, lanes, live_offsets + j * lanes);
                    std::copy_n(acc + live[j] * lanes, lanes, live_acc + j * lanes);
                }
                k.squared_l2_rows(vectors_.data(), live_offsets, alive, query.data(), at, std::min(n, at + step), live_acc);
                std::size_t kept = 0;
                for (std::size_t j = 0; j < alive; ++j) {
                    const std::size_t g = live[j];
                    std::copy_n(live_acc + j * lanes, lanes, acc + g * lanes);
                    const std::size_t rows = std::min(lanes, m - g * lanes);
                    dropped[g] = at + step < n && std::all_of(acc + g * lanes, acc + g * lanes + rows,
                                                              [&](double a) { return a >= bound; });
                    if (!dropped[g]) live[kept++] = g;
                }
                alive = kept;
            }
            for (std::size_t r = 0; r < m; ++r) {
                if (dropped[r / lanes]) {
                    acc[r] = std::numeric_limits<double>::quiet_NaN();
                } else {
                    acc[r] = std::sqrt(acc[r]);
                    s.remember(batch[r], acc[r]);
                }
            }
        }
        // In list order; a dropped node's NaN never enters W: W is full, and
        // NaN beats nothing.
        for (std::size_t t = 0, r = 0; t < taken; ++t) {
            const bool computed = r < m && batch[r] == order[t];
            admit(s, {computed ? acc[r++] : known[t], order[t]}, ef, out);
        }
    }
    s.pending.clear();
    s.codes.clear();
}

void HNSW::admit(Scratch& s, Candidate c, std::uint32_t ef, std::vector<Candidate>& out) {
    if (out.size() < ef || distance_less(c.distance, out.back().distance)) {
        if (!s.last_round) {
            s.queue.push_back(c);
            std::push_heap(s.queue.begin(), s.queue.end(), lower_priority);
        }
        insert_sorted(out, c);
        if (out.size() > ef) out.pop_back();
    }
}

std::size_t HNSW::usable(std::uint32_t layer) const {
    if (layer < at_least_.size()) return at_least_[layer];
    return counted_ > 0 ? 1 : 0;  // node 0 alone reaches the layers above
}

template <bool Filtered>
void HNSW::walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef,
                std::uint32_t layer, const Filter* filter, std::size_t position,
                std::vector<Candidate>& out) const {
    s.begin(size());
    s.pending.clear();
    s.codes.clear();
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
    // Once every counted node of the layer is visited, no list can offer
    // anything new and W is final. A filter hides nodes from the walk, so
    // its walks never get there and do not count.
    const std::size_t all = Filtered ? SIZE_MAX : usable(layer);
    // Every node a scan newly visits counts as seen: the node being inserted
    // is never one (it is the entry, or not linked yet).
    std::size_t seen = entry < counted_ && levels_[entry] >= layer ? 1 : 0;
    while (!queue.empty() && seen < all) {
        std::pop_heap(queue.begin(), queue.end(), lower_priority);
        const Candidate c = queue.back();
        queue.pop_back();
        if (distance_less(out.back().distance, c.distance)) break;
        auto consider = [&](const Links::Run& run, std::size_t j) {
            const std::uint32_t e = run.id(j);
            if constexpr (Filtered) {
                if (!filter_matches(metadata_, *filter, position, e)) return;
            }
            // A visited node's distance could change nothing, so it is not computed.
            if (!s.visit(e)) return;
            ++seen;
            s.pending.push_back(e);
            s.codes.push_back(run.codes[j]);
        };
        links_.for_each_run(c.id, [&](const Links::Run& run) {
            if (layer <= 2 && !Filtered) {
                const std::uint32_t use = layer == 0 ? ~std::uint32_t{0} : run.reach[layer - 1];
                const std::size_t old = s.pending.size();
                s.pending.resize(old + visit_room);
                s.codes.resize(old + visit_room);
                const std::size_t added = kernels().visit_run(run.low, run.base, run.high, run.codes, run.size, use,
                                                              s.stamps.data(), s.generation,
                                                              s.pending.data() + old, s.codes.data() + old);
                s.pending.resize(old + added);
                s.codes.resize(old + added);
                seen += added;
                return;
            }
            if (layer == 0) {
                for (std::size_t j = 0; j < run.size; ++j) consider(run, j);
                return;
            }
            // Only entries that reach the layer, in list order.
            for (std::uint32_t bits = run.reach[layer >= 2]; bits != 0; bits &= bits - 1) {
                const auto j = static_cast<std::size_t>(std::countr_zero(bits));
                if (layer <= 2 || levels_[run.id(j)] >= layer) consider(run, j);
            }
        });
        // With every counted node of the layer visited, the walk ends after
        // this admission: what it would queue is never popped.
        s.last_round = seen >= all;
        admit_pending(s, c, query, ef, out);
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
    ScratchLease lease(*this);
    (*lease).begin_query(size());
    return checked_walk(*lease, entry, query, ef, layer, filter, out);
}

std::optional<HNSWError> HNSW::checked_walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef,
                                            std::uint32_t layer, const Filter* filter,
                                            std::vector<Candidate>& out) const {
    if (ef == 0) return HNSWError::InvalidEF;
    if (layer >= params_.layers) return HNSWError::InvalidLayer;
    std::size_t position = 0;
    if (auto e = check_filter(filter, position)) return e;
    if (entry >= size()) throw InternalFailure("knn entry " + std::to_string(entry) + " is not a node");
    walk_any(s, entry, query, ef, layer, filter, position, out);
    return std::nullopt;
}

void HNSW::rollback(std::size_t nodes) {
    vectors_.resize(nodes * params_.dim);
    levels_.resize(nodes);
    if (norms_.size() > nodes) norms_.resize(nodes);
    if (scales_.size() > nodes) scales_.resize(nodes);
    if (link_marks_.size() > nodes) link_marks_.resize(nodes);
    // The stamp of the undone insertion will be the next insertion's.
    for (std::uint32_t& mark : link_marks_) {
        if (mark == nodes + 1) mark = 0;
    }
    metadata_.truncate(nodes);
    links_.truncate(nodes, static_cast<std::uint32_t>(nodes));
    top_other_ = 0;
    for (std::size_t i = 1; i < nodes; ++i) top_other_ = std::max(top_other_, levels_[i]);
}

void HNSW::link(std::uint32_t from, std::uint32_t to, double length) {
    std::uint8_t code = unknown_code;
    if (params_.metric == euclidean_distance) {
        // W's distances were computed with the new node as query; the same
        // bits serve the link in both directions (link_code.h).
        double& scale = scales_[from];
        if (scale == 0.0 && std::isfinite(length) && length > 0.0) scale = length;
        code = link_code(scale, length);
    }
    links_.append(from, to, code, levels_[to]);
}

std::optional<HNSWError> HNSW::link_in(std::uint32_t node, Vec vector, std::uint32_t level) {
    const std::uint32_t layers = params_.layers;
    std::vector<Candidate> w;
    std::uint32_t entry = 0;
    // One query for all the layers: what a walk learns of a distance, the
    // next can use.
    ScratchLease lease(*this);
    (*lease).begin_query(size());
    for (std::uint32_t layer = 0; layer < layers && layer <= top_other_; ++layer) {
        if (layer < level) {
            if (auto e = checked_walk(*lease, entry, vector, 1, layer, nullptr, w)) return e;
            if (!w.empty()) entry = w.front().id;
            continue;
        }
        if (auto e = checked_walk(*lease, entry, vector, params_.ef_construction, layer, nullptr, w)) return e;
        for (const Candidate& r : w) {
            if (r.id > node) return HNSWError::InvalidNodeID;
        }
        // Back-links first, in W's order, then the node's own links to all
        // of W; repeats and self-links are left out (see links.h).
        for (const Candidate& r : w) {
            // The node is in r's list already when r is in its own: links
            // are made both ways together, and only this insertion adds it.
            if (r.id != node && link_marks_[r.id] != node + 1) link(r.id, node, r.distance);
        }
        for (const Candidate& r : w) {
            if (r.id == node || link_marks_[r.id] == node + 1) continue;
            link(node, r.id, r.distance);
            link_marks_[r.id] = node + 1;
        }
        entry = node;
    }
    return std::nullopt;
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
    const auto node = static_cast<std::uint32_t>(n);
    // The layers a walk may run on: up to the highest level but node 0's.
    const std::size_t walked = layers == 0 || n == 0 ? 0 : std::size_t{std::min(level, layers - 1)} + 1;
    try {
        reserve_more(vectors_, dim);
        vectors_.insert(vectors_.end(), vector.begin(), vector.end());
        reserve_more(levels_, 1);
        levels_.push_back(level);
        if (params_.metric == cosine_similarity) {
            double nb = 0.0;
            for (double x : vector) nb += x * x;
            reserve_more(norms_, 1);
            norms_.push_back(std::sqrt(nb));
        }
        if (params_.metric == euclidean_distance) {
            reserve_more(scales_, 1);
            scales_.push_back(0.0);
        }
        metadata_.append(record);
        links_.add_node();
        reserve_more(link_marks_, 1);
        link_marks_.push_back(0);
        if (at_least_.size() < walked) at_least_.resize(walked, 1);  // node 0 is on every layer
        std::optional<HNSWError> result;
        if (n > 0) {
            top_other_ = std::max(top_other_, level);
            result = link_in(node, vector, level);
        }
        // The node stays, linked or not (an HNSWError keeps it): count it.
        for (std::size_t layer = 0; layer < walked; ++layer) ++at_least_[layer];
        ++counted_;
        return result;
    } catch (const std::bad_alloc&) {
        rollback(n);
        throw;
    }
}

void HNSW::reserve(std::size_t more) {
    if (more > max_vectors - std::min<std::size_t>(size(), max_vectors)) return;  // refused later, one by one
    const std::size_t nodes = size() + more;
    vectors_.reserve(nodes * params_.dim);
    levels_.reserve(nodes);
    link_marks_.reserve(nodes);
    if (params_.metric == cosine_similarity) norms_.reserve(nodes);
    if (params_.metric == euclidean_distance) scales_.reserve(nodes);
}

std::optional<HNSWError> HNSW::create(const Rows& vectors, std::span<const MetadataRecord> records,
                                      Rng& rng, Interrupt interrupt) {
    if (vectors.empty()) return HNSWError::EmptyVectors;
    const bool with_records = params_.schema.has_value();
    if (with_records && records.size() != vectors.size()) return HNSWError::AttributeNotFound;
    reserve(vectors.size());
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
    (*lease).begin_query(size());
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
