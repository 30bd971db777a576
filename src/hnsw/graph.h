#pragma once
// The layered graph index. Each node has one neighbour list shared by all
// layers; a link to E is usable on layer L only when E's level is at least L.
// Node 0 is the entry point of every walk. Lists are never pruned or capped,
// and are kept as walks see them (see links.h).

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "common/candidate.h"
#include "common/cpu.h"
#include "common/interrupt.h"
#include "common/rows.h"
#include "common/vec.h"
#include "filter/filter.h"
#include "hnsw/hnsw_error.h"
#include "hnsw/link_code.h"
#include "hnsw/links.h"
#include "hnsw/visit.h"
#include "metadata/metadata.h"
#include "metrics/codes.h"
#include "metrics/metric.h"

namespace orbisk {

/// The generator levels are drawn from; one 64-bit output per insertion.
using Rng = std::mt19937_64;

struct HNSWParams {
    std::uint32_t dim = 1;
    std::uint32_t layers = 5;
    std::uint32_t m = 16;  ///< kept for callers; no operation reads it
    std::uint32_t ef_construction = 200;
    std::uint32_t ef_search = 50;
    MetricKind metric = MetricKind::Euclidean;
    Schema schema;
    Isa isa = best_isa();  ///< the kernels walks use
};

class HNSW {
  public:
    explicit HNSW(HNSWParams params);
    ~HNSW();
    HNSW(HNSW&& other) noexcept;
    HNSW& operator=(HNSW&&) = delete;
    HNSW(const HNSW&) = delete;

    const HNSWParams& params() const { return params_; }
    const Metric& metric() const { return metric_; }
    std::uint32_t dim() const { return params_.dim; }
    std::size_t size() const { return levels_.size(); }
    Vec vector(std::uint32_t node) const { return Vec(vectors_.data() + std::size_t{node} * params_.dim, params_.dim); }
    std::uint32_t level(std::uint32_t node) const { return levels_[node]; }
    /// The node's neighbour list as walks see it: the first occurrence of
    /// each neighbour, in the order the links were made, never itself.
    std::vector<std::uint32_t> neighbours(std::uint32_t node) const { return links_.list(node); }
    /// Bytes held by the neighbour lists.
    std::size_t link_bytes() const { return links_.bytes(); }
    const MetadataStore& metadata() const { return metadata_; }

    /// exp(-i) for the first layers; weights that are 0.0 change no draw and
    /// are left out, so the table stays small for any number of layers.
    const std::vector<double>& level_weights() const { return weights_; }

    /// Draws a level from one output of `rng`.
    std::uint32_t draw_level(Rng& rng) const;

    /// Best-first search of one layer from `entry` with result capacity `ef`.
    /// `out` (W) is sorted in distance order, at most ef entries.
    std::optional<HNSWError> knn(std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer,
                                 const Filter* filter, std::vector<Candidate>& out) const;

    /// Adds one node. `vector` must have length dim (throws InternalFailure
    /// otherwise). An HNSWError leaves the node's vector, level and record
    /// stored; an allocation failure leaves the index as it was.
    /// Layers above the node's level and above every other level but node
    /// 0's are not walked: there the walk from the node can reach only the
    /// node and node 0, which are then linked both ways already or not at
    /// all, so no link could be added.
    std::optional<HNSWError> insert(Vec vector, const MetadataRecord* record, Rng& rng);

    /// Inserts vector i with record i, or with no record when there are no
    /// records; with a schema, records of another count than the vectors are
    /// AttributeNotFound (records are ignored without a schema). `interrupt`
    /// is asked between insertions; the nodes inserted before an
    /// interruption or a failing insertion stay.
    std::optional<HNSWError> create(const Rows& vectors, std::optional<std::span<const MetadataRecord>> records,
                                    Rng& rng, Interrupt interrupt = {});

    /// Room for `more` nodes, so that a batch grows its stores once.
    void reserve(std::size_t more);

    /// Up to k candidates (one at least, when the index is not empty).
    std::optional<HNSWError> search(Vec query, std::uint32_t k, const Filter* filter,
                                    std::vector<Candidate>& out) const;

  private:
    struct Scratch;      // scratch.h
    class ScratchLease;  // scratch.h
    struct Batch;        // neighbours.cpp

    // The walk (walk.cpp).
    /// knn's checks, then the walk, with the scratch of the query it is part of.
    std::optional<HNSWError> checked_walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef,
                                          std::uint32_t layer, const Filter* filter, std::vector<Candidate>& out) const;
    template <bool Filtered>
    void walk(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer, const Filter* filter,
              std::size_t position, std::vector<Candidate>& out) const;
    void walk_any(Scratch& s, std::uint32_t entry, Vec query, std::uint32_t ef, std::uint32_t layer,
                  const Filter* filter, std::size_t position, std::vector<Candidate>& out) const;
    std::optional<HNSWError> check_filter(const Filter* filter, std::size_t& position) const;
    /// How many of the nodes counted in `at_least_` are on `layer`: their
    /// level is at least `layer`.
    std::size_t nodes_on(std::uint32_t layer) const;
    /// Puts W in order if it is still being filled.
    static void settle(Scratch& s, std::vector<Candidate>& out);
    /// Queues `c` and places it in W when W has room or `c` beats W's last.
    static void admit(Scratch& s, Candidate c, std::uint32_t ef, std::vector<Candidate>& out);

    // The batch of neighbours (neighbours.cpp).
    /// The pending neighbours of `from`, batch after batch: taken, their
    /// distances computed, then admitted in list order.
    void admit_pending(Scratch& s, Candidate from, Vec query, std::uint32_t ef, std::vector<Candidate>& out) const;
    /// Fills `b` from the pending neighbours at `i` on, leaving out those
    /// `skip` rules out; returns where the next batch starts.
    std::size_t take_batch(const Scratch& s, std::size_t i, const SkipCodes& skip, Batch& b) const;
    /// With W full and `last` its last distance: the batch's nodes whose
    /// code bound shows they cannot beat it get NaN, and are not computed.
    void screen_batch(const Scratch& s, double last, Batch& b) const;
    /// The dot or cosine distances of the `n` nodes to compute from `first`
    /// on, remembered.
    void compute_products(Scratch& s, Vec query, Batch& b, std::size_t first, std::size_t n) const;
    /// Their Euclidean distances, remembered; with W full (`last` its last
    /// distance, else NaN) a group that provably cannot beat it is abandoned
    /// and given NaN, which enters nothing.
    void compute_squares(Scratch& s, Vec query, double last, Batch& b, std::size_t first, std::size_t n) const;
    /// Offsets of those nodes' vectors, the last repeated to fill a group;
    /// returns the number of groups.
    std::size_t batch_offsets(const Batch& b, std::size_t first, std::size_t n, std::int64_t* out) const;
    /// Admits the batch's nodes in list order.
    static void admit_batch(Scratch& s, const Batch& b, std::uint32_t ef, std::vector<Candidate>& out);

    // Insertion (insert.cpp).
    std::optional<HNSWError> link_in(std::uint32_t node, Vec vector, std::uint32_t level);
    /// Appends `to` to `from`'s list, the link `length` long.
    void link(std::uint32_t from, std::uint32_t to, double length);
    void rollback(std::size_t nodes);

    /// Bytes of one node's code; none when the dimension is too large for codes.
    std::size_t code_row_bytes() const { return params_.dim <= max_code_dim ? code_bytes(params_.dim) : 0; }

    HNSWParams params_;
    Metric metric_;
    const VisitKernels* visit_;
    std::vector<double> weights_;
    std::vector<double> vectors_;
    std::vector<std::uint32_t> levels_;
    Links links_;
    std::vector<double> norms_;  ///< per node: its norm(), when the metric keeps norms
    /// Per node: its screening code (codes.h), row after row, and the rest
    /// of it.
    std::vector<std::uint8_t> codes_;
    std::vector<CodeInfo> infos_;
    /// Per node, Euclidean only: the scale of its link codes (link_code.h),
    /// 0 until a link of positive finite length is made to it.
    std::vector<double> scales_;
    MetadataStore metadata_;
    std::uint32_t top_other_ = 0;  ///< highest level of any node but node 0
    /// at_least_[L]: how many of the first `counted_` nodes have a level of
    /// at least L (node 0 alone beyond the end). A walk that has visited that
    /// many of them can find nothing more. The node being inserted is
    /// counted only once its walks are over.
    std::vector<std::uint32_t> at_least_;
    std::size_t counted_ = 0;
    /// link_marks_[e] == N + 1 while node N's list holds e: a stamp per
    /// insertion, so never cleared.
    std::vector<std::uint32_t> link_marks_;
    /// Working memory of one walk, reused by the next; a concurrent reader
    /// finding it taken brings its own.
    mutable std::atomic<Scratch*> spare_{nullptr};
};

}  // namespace orbisk
