#pragma once
// Working memory of the graph's walks: what walk.cpp, neighbours.cpp and
// insert.cpp share of one query. Private to the graph's own files.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/candidate.h"
#include "common/memory.h"
#include "common/vec.h"
#include "hnsw/graph.h"
#include "metrics/codes.h"

namespace orbisk {

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
    // memo_stamps[e] is query_stamp, the number of the query.
    std::vector<double> memo;
    std::vector<std::uint32_t> memo_stamps;
    std::uint32_t query_stamp = 0;
    QueryCode query_code;  ///< the query's screening code, when usable

    /// A new query: nothing is known of its distances.
    void begin_query(std::size_t nodes, Vec values, std::size_t dim) {
        encode_query(values, dim, query_code);
        if (memo_stamps.size() < nodes) {  // the stamps last: a failed growth leaves them short
            memo.resize(nodes);
            memo_stamps.resize(nodes, 0);
        }
        if (++query_stamp == 0) {
            std::fill(memo_stamps.begin(), memo_stamps.end(), 0);
            query_stamp = 1;
        }
    }
    /// Whether the query's distance to `node` is remembered in memo.
    bool remembers(std::uint32_t node) const { return memo_stamps[node] == query_stamp; }
    void remember(std::uint32_t node, double distance) {
        memo[node] = distance;
        memo_stamps[node] = query_stamp;
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

}  // namespace orbisk
