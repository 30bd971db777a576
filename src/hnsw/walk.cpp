// The walk: one layer searched best first from an entry, and the search
// that descends the layers. The neighbours a walk newly visits are computed
// and admitted in batches (neighbours.cpp); W is kept here (admit, settle).
//
// Exact shortcuts of the walk. Each one changes how much work a walk does,
// never a result bit, an order or a list a walk can see; the sentence says
// why, the test names what catches a slip in it.
//  1. Layers above the highest level but node 0's are not descended by a
//     search: there a walk from node 0 finds only node 0 (insert.cpp leaves
//     them out of insertions alike). Tests: AgainstReference,
//     HNSWLevels.HugeLayerCountsBuildTheGraphOfTheirDrawnLevels.
//  2. A walk that has visited every node counted on its layer stops, and its
//     last admission queues nothing: no list can offer anything new and
//     nothing queued would be popped. Test: AgainstReference.
//  3. An already visited neighbour's distance is not computed: the walk
//     would compute it and then skip the node, and a distance has no side
//     effect. Test: AgainstReference.
//  4. While W has room it is appended to and put in order once, when it
//     fills up or the walk ends (settle): the same order as one
//     sorted insertion after another, ties included, since nothing is
//     dropped until then; only its last distance is read before that.
//     Tests: HNSWKnn.*, AgainstReference.
//  5. Stamps instead of a visited set, read by the visit kernels (visit.h).
//     Tests: KernelTables.VisitRunTakesExactlyTheNewIds (every table),
//     AgainstReference.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

#include "common/failure.h"
#include "hnsw/graph.h"
#include "hnsw/scratch.h"

namespace orbisk {

namespace {

HNSWError graph_error(LookupError e) {
    switch (e) {
        case LookupError::NoSchema: return HNSWError::NoSchema;
        case LookupError::EmptySchema: return HNSWError::EmptySchema;
        case LookupError::NotFound: break;
    }
    return HNSWError::AttributeNotFound;
}

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

// The spare scratch that walks hand back (ScratchLease) goes with the index.
HNSW::~HNSW() { delete spare_.load(); }

std::optional<HNSWError> HNSW::check_filter(const Filter* filter, std::size_t& position) const {
    if (!filter) return std::nullopt;
    auto found = attribute_position(params_.schema, filter->attribute);
    if (auto* e = std::get_if<LookupError>(&found)) return graph_error(*e);
    position = std::get<std::size_t>(found);
    return std::nullopt;
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
        const auto end = std::find_if(first + 1, s.settled.end(),
                                      [&](const Candidate& e) { return !distance_equal(e.distance, first->distance); });
        std::rotate(first, first + 1, end);
        first = end;
    }
    out.swap(s.settled);
    s.filling = false;
}

std::size_t HNSW::nodes_on(std::uint32_t layer) const {
    // Node 0 alone reaches the layers above; walks start once it is counted.
    return layer < at_least_.size() ? at_least_[layer] : 1;
}

template <bool Filtered>
void HNSW::walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer, const Filter* filter,
                std::size_t position, std::vector<Candidate>& out) const {
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
    const std::size_t all = Filtered ? SIZE_MAX : nodes_on(layer);
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
            if (Links::marks_layer(layer) && !Filtered) {
                const std::uint32_t use = run.on_layer(layer);
                const std::size_t old = s.pending.size();
                s.pending.resize(old + visit_room);
                s.codes.resize(old + visit_room);
                const std::size_t added =
                    visit_->visit_run(run.low, run.base, run.high, run.codes, run.size, use, s.stamps.data(),
                                      s.generation, s.pending.data() + old, s.codes.data() + old);
                s.pending.resize(old + added);
                s.codes.resize(old + added);
                seen += added;
                return;
            }
            if (layer == 0) {
                for (std::size_t j = 0; j < run.size; ++j) consider(run, j);
                return;
            }
            // Only entries that reach the layer, in list order; above the
            // layers the runs mark, their levels tell.
            for (std::uint32_t bits = run.on_layer(layer); bits != 0; bits &= bits - 1) {
                const auto j = static_cast<std::size_t>(std::countr_zero(bits));
                if (Links::marks_layer(layer) || levels_[run.id(j)] >= layer) consider(run, j);
            }
        });
        // With every counted node of the layer visited, the walk ends after
        // this admission: what it would queue is never popped.
        s.last_round = seen >= all;
        admit_pending(s, c, query, ef, out);
    }
    settle(s, out);
}

// The unfiltered walk is also insertion's (insert.cpp).
template void HNSW::walk<false>(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer,
                                const Filter* filter, std::size_t position, std::vector<Candidate>& out) const;

void HNSW::walk_any(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer,
                    const Filter* filter, std::size_t position, std::vector<Candidate>& out) const {
    if (filter) {
        walk<true>(s, entry, query, ef, layer, filter, position, out);
    } else {
        walk<false>(s, entry, query, ef, layer, nullptr, 0, out);
    }
}

std::optional<HNSWError> HNSW::knn(std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer,
                                   const Filter* filter, std::vector<Candidate>& out) const {
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
