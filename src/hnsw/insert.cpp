// Insertion: a node's level drawn, its vector, code and record stored, its
// walks run layer by layer and its links made both ways; a failed
// allocation rolls the index back to what it was.
//
// Exact shortcuts of insertion. Each one changes how much work an insertion
// does, never a result bit, an order or a list a walk can see; the sentence
// says why, the test names what catches a slip in it.
//  1. Lists keep each neighbour's first occurrence and no self-link
//     (links.h): a later occurrence or a self-link can only meet a visited
//     node. Test: AgainstReference (effective lists against literal ones).
//  2. Layers above the highest level but node 0's are not walked by an
//     insertion: there a walk from node 0 finds only node 0 (walk.cpp's
//     search skips them alike). Tests: AgainstReference,
//     HNSWLevels.HugeLayerCountsBuildTheGraphOfTheirDrawnLevels.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "common/failure.h"
#include "common/memory.h"
#include "hnsw/graph.h"
#include "hnsw/scratch.h"

namespace orbisk {

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
    if (metric_.sums_squares()) {
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
            walk<false>(*lease, entry, vector, 1, layer, nullptr, 0, w);
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
        throw InternalFailure("Vector length " + std::to_string(vector.size()) + " does not match index dimension " +
                              std::to_string(dim));
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
        infos_.push_back(metric_.encode(vector, codes_.data() + codes_.size() - bytes));
        if (metric_.sums_squares()) {
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
    if (metric_.sums_squares()) scales_.reserve(nodes);
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

}  // namespace orbisk
