// The graph's walks and insertions.
//
// Exact shortcuts. Each one changes how much work a walk or an insertion
// does, never a result bit, an order or a list a walk can see; the sentence
// says why, the test names what catches a slip in it.
//  1. Lists keep each neighbour's first occurrence and no self-link
//     (links.h): a later occurrence or a self-link can only meet a visited
//     node. Test: AgainstReference (effective lists against literal ones).
//  2. Layers above the highest level but node 0's are neither walked by an
//     insertion nor descended by a search: there a walk from node 0 finds
//     only node 0. Tests: AgainstReference,
//     HNSWLevels.HugeLayerCountsBuildTheGraphOfTheirDrawnLevels.
//  3. A walk that has visited every node counted on its layer stops, and its
//     last admission queues nothing: no list can offer anything new and
//     nothing queued would be popped. Test: AgainstReference.
//  4. An already visited neighbour's distance is not computed: the walk
//     would compute it and then skip the node, and a distance has no side
//     effect. Test: AgainstReference.
//  5. Link-length skips (link_code.h): a neighbour whose triangle bound
//     reaches W's last distance f cannot enter W (entry needs d < f). Tests:
//     LinkCode.BracketsItsLength, LinkCode.SkipsOnlyWhatCannotQualify,
//     AgainstReference.
//  6. Abandoned Euclidean sums (abandoning_bound, metric.h): once a partial
//     sum of squares reaches the bound of f, the distance is at least f.
//     Test: BoundSums.GraphWalkKeepsNodesJustInsideTheAbandoningBound.
//  7. Distances remembered across the walks of one query: the same query
//     and node give the same bits on every layer. Test: AgainstReference
//     (memo one ulp off, memo kept across queries).
//  8. Distances computed in batches and admitted in list order once each
//     batch is done: a distance does not depend on W, and each admission
//     still meets W as the one-by-one walk leaves it. Test: AgainstReference.
//  9. While W has room it is appended to and put in order once, when it
//     fills up or the walk ends (settle): the same order as one
//     sorted insertion after another, ties included, since nothing is
//     dropped until then; only its last distance is read before that.
//     Tests: HNSWKnn.*, AgainstReference.
// 10. The screen (codes.h): once W is full, a node whose code bound exceeds
//     W's last distance cannot beat it and is not computed. Tests: Codes.*,
//     CodeTables.*, AgainstReference.
// 11. Stamps instead of a visited set, read by the visit kernels (visit.h).
//     Tests: KernelTables.VisitRunTakesExactlyTheNewIds (every table),
//     AgainstReference.

#include "hnsw/graph.h"

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

namespace {

HNSWError graph_error(LookupError e) {
    switch (e) {
        case LookupError::NoSchema: return HNSWError::NoSchema;
        case LookupError::EmptySchema: return HNSWError::EmptySchema;
        case LookupError::NotFound: break;
    }
    return HNSWError::AttributeNotFound;
}

}  // namespace

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
    double query_norm = 0.0;             // the metric's query_norm()
    bool last_round = false;             // the walk ends after this admission: queue nothing
    // While W has room it is kept in the order entries came, and `worst` is
    // its last distance in distance order; it is put in order when it fills
    // up or the walk ends.
    bool filling = false;
    double worst = 0.0;
    std::vector<std::uint32_t> positions;  // for putting W in order
    std::vector<Candidate> settled;
    // The distances that the walks of one query (an insertion, or a search,
    // walking layer after layer) computed in full: a node's distance is the
    // same bits whichever walk computes it. memo[e] holds e's distance when
    // memo_stamps[e] is the query's number.
    std::vector<double> memo;
    std::vector<std::uint32_t> memo_stamps;
    std::uint32_t query = 0;
    QueryCode query_code;  ///< the query's screening code, when usable

    /// A new query: nothing is known of its distances.
    void begin_query(std::size_t nodes, Vec values, std::size_t dim) {
        encode_query(values, dim, query_code);
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

HNSW::HNSW(HNSWParams params)
    : params_(std::move(params)), metric_(params_.metric, params_.isa), visit_(&visit_kernels(params_.isa)) {
    for (std::uint32_t i = 0; i < params_.layers; ++i) {
        const double w = std::exp(-static_cast<double>(i));
        if (w == 0.0) break;  // this and every later weight add nothing
        weights_.push_back(w);
    }
}

HNSW::HNSW(HNSW&& o) noexcept
    : params_(std::move(o.params_)),
      metric_(o.metric_),
      visit_(o.visit_),
      weights_(std::move(o.weights_)),
      vectors_(std::move(o.vectors_)),
      levels_(std::move(o.levels_)),
      links_(std::move(o.links_)),
      norms_(std::move(o.norms_)),
      codes_(std::move(o.codes_)),
      infos_(std::move(o.infos_)),
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
    if (auto* e = std::get_if<LookupError>(&found)) return graph_error(*e);
    position = std::get<std::size_t>(found);
    return std::nullopt;
}

/// Pending neighbours taken for one round of distances, in list order, each
/// with its distance once known (NaN for one that provably cannot enter a
/// full W), and the positions of those whose distance is still to compute.
struct HNSW::Batch {
    static constexpr std::size_t window = 256;  ///< nodes of one batch, computed or known
    static constexpr std::size_t most = 2 * slots * lanes;  ///< nodes of one batch to compute
    std::uint32_t order[window];
    double distances[window];
    std::size_t taken = 0;
    std::uint16_t todo[most];
    std::size_t computing = 0;
};

void HNSW::admit_pending(Scratch& s, Candidate from, Vec query, std::uint32_t ef,
                         std::vector<Candidate>& out) const {
    // Link codes bound a neighbour's distance from below only for the
    // Euclidean metric and a query of the index's dimension (link_code.h).
    const bool coded = metric_.kind() == MetricKind::Euclidean && query.size() == params_.dim;
    SkipCodes skip;
    double skip_for = std::numeric_limits<double>::quiet_NaN();  // the f `skip` was made for
    // Each batch is admitted before the next is formed, so that it meets a
    // fresh W.
    for (std::size_t i = 0; i < s.pending.size();) {
        const bool full = out.size() >= ef;
        const double last = full ? out.back().distance : std::numeric_limits<double>::quiet_NaN();
        // Skip codes are made only once W is full, and W stays full.
        if (full && coded && last != skip_for) {
            skip_for = last;
            skip = skip_codes(scales_[from.id], from.distance, skip_for, params_.dim);
        }
        Batch b;
        i = take_batch(s, i, skip, b);
        if (b.taken == 0) break;
        // Only a node that beats W's last entry enters a full W.
        if (!std::isnan(last)) screen_batch(s, last, b);
        for (std::size_t done = 0; done < b.computing; done += slots * lanes) {
            const std::size_t n = std::min(slots * lanes, b.computing - done);
            if (metric_.kind() == MetricKind::Euclidean) {
                compute_squares(s, query, last, b, done, n);
            } else {
                compute_products(s, query, b, done, n);
            }
        }
        admit_batch(s, b, ef, out);
    }
    s.pending.clear();
    s.codes.clear();
}

std::size_t HNSW::take_batch(const Scratch& s, std::size_t i, const SkipCodes& skip, Batch& b) const {
    for (; i < s.pending.size() && b.computing < Batch::most && b.taken < Batch::window; ++i) {
        const std::uint32_t e = s.pending[i];
        // Marked visited already, as the walk would; its distance cannot
        // beat W's last entry, so it is not computed.
        if (skip.skips(s.codes[i])) continue;
        const bool known = s.memo_stamps[e] == s.query;
        b.distances[b.taken] = known ? s.memo[e] : 0.0;
        if (!known) b.todo[b.computing++] = static_cast<std::uint16_t>(b.taken);
        b.order[b.taken++] = e;
    }
    return i;
}

void HNSW::screen_batch(const Scratch& s, double last, Batch& b) const {
    const QueryCode& q = s.query_code;
    if (!q.usable || b.computing == 0) return;  // (never usable without codes: dim too large)
    std::uint32_t rows[Batch::most];
    std::int32_t raw[Batch::most];
    for (std::size_t t = 0; t < b.computing; ++t) rows[t] = b.order[b.todo[t]];
    const std::size_t bytes = code_row_bytes();
    metric_.kernels().codes->rows(codes_.data(), rows, b.computing, bytes, q.codes.data(), bytes, raw);
    std::size_t kept = 0;
    const double reach = squared_reach(last);
    for (std::size_t t = 0; t < b.computing; ++t) {
        const CodeInfo& c = infos_[rows[t]];
        // A node whose lower bound exceeds W's last distance cannot beat it;
        // one without a code always may.
        const double row_norm = metric_.keeps_norms() ? norms_[rows[t]] : 0.0;
        if (may_pass(metric_.kind(), q, reach, last, c.scale, c.rho, c.extent, raw[t], row_norm)) {
            b.todo[kept++] = b.todo[t];
        } else {
            b.distances[b.todo[t]] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    b.computing = kept;
}

void HNSW::compute_products(Scratch& s, Vec query, Batch& b, std::size_t first, std::size_t n) const {
    const std::size_t len = std::min<std::size_t>(query.size(), params_.dim);
    std::int64_t offsets[slots * lanes] = {};
    const std::size_t groups = batch_offsets(b, first, n, offsets);
    double acc[slots * lanes] = {};
    metric_.kernels().dot_rows(vectors_.data(), offsets, groups, query.data(), 0, len, acc);
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t at = b.todo[first + r];
        const std::uint32_t e = b.order[at];
        b.distances[at] = metric_.from_dot(acc[r], s.query_norm, metric_.keeps_norms() ? norms_[e] : 0.0);
        s.remember(e, b.distances[at]);
    }
}

void HNSW::compute_squares(Scratch& s, Vec query, double last, Batch& b, std::size_t first, std::size_t n) const {
    const std::size_t len = std::min<std::size_t>(query.size(), params_.dim);
    const Kernels& k = metric_.kernels();
    std::int64_t offsets[slots * lanes] = {};
    const std::size_t groups = batch_offsets(b, first, n, offsets);
    double acc[slots * lanes] = {};
    // A node enters a full W only by beating its last entry: a group whose
    // partial sums of squares all reach the bound for it is dropped (the
    // sums never decrease). Groups are checked every `step` elements.
    const double bound = abandoning_bound(last);
    const std::size_t step = std::isnan(bound) ? std::max<std::size_t>(len, 1) : 16;
    std::size_t live[slots], alive = groups;  // the groups still computed, in order
    for (std::size_t g = 0; g < groups; ++g) live[g] = g;
    bool dropped[slots] = {};
    for (std::size_t at = 0; at < len && alive > 0; at += step) {
        std::int64_t live_offsets[slots * lanes];
        double live_acc[slots * lanes];
        for (std::size_t j = 0; j < alive; ++j) {
            std::copy_n(offsets + live[j] * lanes, lanes, live_offsets + j * lanes);
            std::copy_n(acc + live[j] * lanes, lanes, live_acc + j * lanes);
        }
        k.squared_l2_rows(vectors_.data(), live_offsets, alive, query.data(), at, std::min(len, at + step), live_acc);
        std::size_t kept = 0;
        for (std::size_t j = 0; j < alive; ++j) {
            const std::size_t g = live[j];
            std::copy_n(live_acc + j * lanes, lanes, acc + g * lanes);
            const std::size_t rows = std::min(lanes, n - g * lanes);
            dropped[g] = at + step < len &&
                         std::all_of(acc + g * lanes, acc + g * lanes + rows, [&](double a) { return a >= bound; });
            if (!dropped[g]) live[kept++] = g;
        }
        alive = kept;
    }
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t at = b.todo[first + r];
        if (dropped[r / lanes]) {
            b.distances[at] = std::numeric_limits<double>::quiet_NaN();
        } else {
            b.distances[at] = Metric::from_squares(acc[r]);
            s.remember(b.order[at], b.distances[at]);
        }
    }
}

std::size_t HNSW::batch_offsets(const Batch& b, std::size_t first, std::size_t n, std::int64_t* out) const {
    const std::size_t groups = (n + lanes - 1) / lanes;
    for (std::size_t r = 0; r < groups * lanes; ++r) {
        out[r] = static_cast<std::int64_t>(b.order[b.todo[first + std::min(r, n - 1)]]) * params_.dim;
    }
    return groups;
}

void HNSW::admit_batch(Scratch& s, const Batch& b, std::uint32_t ef, std::vector<Candidate>& out) {
    // A node that cannot enter has NaN, which never enters: W is full then,
    // and NaN beats nothing.
    for (std::size_t t = 0; t < b.taken; ++t) admit(s, {b.distances[t], b.order[t]}, ef, out);
}

void HNSW::admit(Scratch& s, Candidate c, std::uint32_t ef, std::vector<Candidate>& out) {
    if (s.filling) {
        // W has room: c enters, and W is put in order once it is full.
        if (!s.last_round) {
            s.queue.push_back(c);
            std::push_heap(s.queue.begin(), s.queue.end(), lower_priority);
        }
        out.push_back(c);
        if (!distance_less(c.distance, s.worst)) s.worst = c.distance;
        if (out.size() == ef) settle(s, out);
        return;
    }
    if (distance_less(c.distance, out.back().distance)) {
        if (!s.last_round) {
            s.queue.push_back(c);
            std::push_heap(s.queue.begin(), s.queue.end(), lower_priority);
        }
        insert_sorted(out, c);
        out.pop_back();  // W was full
    }
}

// W as one sorted insertion after another (insert_sorted) leaves it, from
// the same entries appended in the order they came, none dropped: in
// distance order, and among equal distances in the order they came but for
// the first, which every later one was put in front of, so it ends last.
// (Sorted through positions rather than by a stable sort, whose buffer
// would be given up silently when memory runs out.)
void HNSW::settle(Scratch& s, std::vector<Candidate>& out) {
    if (!s.filling) return;
    s.positions.resize(out.size());
    s.settled.resize(out.size());
    for (std::uint32_t i = 0; i < out.size(); ++i) s.positions[i] = i;
    std::sort(s.positions.begin(), s.positions.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (distance_less(out[a].distance, out[b].distance)) return true;
        if (distance_less(out[b].distance, out[a].distance)) return false;
        return a < b;
    });
    for (std::size_t i = 0; i < out.size(); ++i) s.settled[i] = out[s.positions[i]];
    for (auto first = s.settled.begin(); first != s.settled.end();) {
        const auto end = std::find_if(first + 1, s.settled.end(), [&](const Candidate& e) {
            return !distance_equal(e.distance, first->distance);
        });
        std::rotate(first, first + 1, end);
        first = end;
    }
    out.swap(s.settled);
    s.filling = false;
}

std::size_t HNSW::usable(std::uint32_t layer) const {
    // Node 0 alone reaches the layers above; walks start once it is counted.
    return layer < at_least_.size() ? at_least_[layer] : 1;
}

template <bool Filtered>
void HNSW::walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef,
                std::uint32_t layer, const Filter* filter, std::size_t position,
                std::vector<Candidate>& out) const {
    s.begin(size());
    s.pending.clear();
    s.codes.clear();
    s.query_norm = metric_.query_norm(query);
    auto& queue = s.queue;
    queue.clear();
    out.clear();
    const Candidate start{metric_.distance(query, vector(entry)), entry};
    out.push_back(start);
    queue.push_back(start);
    s.filling = ef > 1;
    s.worst = start.distance;
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
        if (distance_less(s.filling ? s.worst : out.back().distance, c.distance)) break;
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
                const std::size_t added = visit_->visit_run(run.low, run.base, run.high, run.codes, run.size, use,
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
    settle(s, out);
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
    (*lease).begin_query(size(), query, params_.dim);
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
    if (infos_.size() > nodes) infos_.resize(nodes);
    if (codes_.size() > nodes * code_row_bytes()) codes_.resize(nodes * code_row_bytes());
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
    if (metric_.kind() == MetricKind::Euclidean) {
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
    (*lease).begin_query(size(), vector, params_.dim);
    // Layers bottom-up: below its level the node only moves its entry
    // point, and from its level on each walk starts at the node itself, so
    // the order decides which lists it joins.
    for (std::uint32_t layer = 0; layer < layers && layer <= top_other_; ++layer) {
        if (layer < level) {  // a walk of capacity 1 from a node: nothing to check
            walk_any(*lease, entry, vector, 1, layer, nullptr, 0, w);
            entry = w.front().id;
            continue;
        }
        if (auto e = checked_walk(*lease, entry, vector, params_.ef_construction, layer, nullptr, w)) return e;
        // A consistency guard the error type keeps a variant for: every id a
        // walk returns is a node, so it never fires.
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
        if (metric_.keeps_norms()) {
            reserve_more(norms_, 1);
            norms_.push_back(norm(vector));
        }
        const std::size_t bytes = code_row_bytes();
        reserve_more(codes_, bytes);
        reserve_more(infos_, 1);
        codes_.resize(codes_.size() + bytes);
        infos_.push_back(encode(vector, metric_.kind(), codes_.data() + codes_.size() - bytes));
        if (metric_.kind() == MetricKind::Euclidean) {
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
    if (metric_.keeps_norms()) norms_.reserve(nodes);
    if (metric_.kind() == MetricKind::Euclidean) scales_.reserve(nodes);
    codes_.reserve(nodes * code_row_bytes());
    infos_.reserve(nodes);
}

std::optional<HNSWError> HNSW::create(const Rows& vectors, std::optional<std::span<const MetadataRecord>> records,
                                      Rng& rng, Interrupt interrupt) {
    if (vectors.empty()) return HNSWError::EmptyVectors;
    if (!params_.schema) records.reset();
    if (records && records->size() != vectors.size()) return HNSWError::AttributeNotFound;
    reserve(vectors.size());
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        interrupt.step(size() * params_.dim);
        if (auto e = insert(vectors[i], records ? &(*records)[i] : nullptr, rng)) return e;
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
    (*lease).begin_query(size(), query, params_.dim);
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
    // The layer-0 walk checks its capacity before the filter, so with a
    // single layer InvalidEF wins over a filter error: the filter is checked
    // again here, after the capacity, although the descent checked it.
    if (params_.ef_search == 0) return HNSWError::InvalidEF;
    if (auto e = check_filter(filter, position)) return e;
    walk_any(*lease, entry, query, params_.ef_search, 0, filter, position, out);
    if (out.size() > std::max<std::uint32_t>(k, 1)) out.resize(std::max<std::uint32_t>(k, 1));
    return std::nullopt;
}

}  // namespace orbisk
