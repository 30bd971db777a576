#pragma once
// Working memory of the graph's walks, one per thread: private to the
// graph's own files. Sized before a build starts, so that linking a row
// allocates nothing (a row is linked whole or not at all).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/candidate.h"
#include "graph/graph.h"

namespace orbisk {

/// A query coded for code distances: the codes a_i (signed), and what the
/// distance adds to their products (codes.h's scheme: the value is about
/// scale * a).
struct WalkCode {
    std::vector<std::int8_t> codes;
    double scale = 0.0;
    double offset = 0.0;   ///< 128 * sum a_i: what the stored bytes' +128 adds
    double squares = 0.0;  ///< the squared norm of what was coded (0 for the inner product)
};

/// A node of W in the unfiltered walk: W kept in order, each node marked
/// once expanded.
struct Ranked {
    double distance;
    std::uint32_t id;
    std::uint32_t done;
    /// The walk's order: code distances, then ids (never NaN: see
    /// code_distances).
    bool before(const Ranked& o) const { return distance < o.distance || (distance == o.distance && id < o.id); }
};

struct Graph::Scratch {
    WalkCode query;  ///< the walk's query
    WalkCode base;   ///< the node whose list is pruned
    WalkCode other;  ///< a candidate, during selection
    std::vector<double> unit;  ///< the query turned around (and scaled to length one for cosine)
    std::vector<std::uint8_t> bytes;
    /// Visited marks by generation: starting a walk is one increment.
    std::vector<std::uint32_t> stamps;
    std::uint32_t generation = 0;
    std::vector<Candidate> queue;  ///< to expand: a heap, best on top
    std::vector<Candidate> found;  ///< W: a heap, worst on top; sorted when the walk ends
    std::vector<std::uint32_t> links, fresh, kept, kept_back;
    std::vector<std::uint32_t> copy;  ///< a list read under its lock
    std::vector<std::int32_t> raw;
    std::vector<double> near;
    std::vector<Candidate> pool;
    std::vector<Candidate> out;  ///< a batch's answer to one query
    std::vector<Ranked> ranked;  ///< W of the unfiltered walk
    /// An insertion's choice of links, layer by layer, made before any is
    /// written.
    std::vector<std::vector<std::uint32_t>> layers;
    std::vector<double> zeros;  ///< the origin: squared distances from it are squared norms
    WalkCounts* counts = nullptr;

    /// Room for walks over `nodes` nodes keeping `ef`, lists of `slots`.
    void size_for(std::size_t nodes, std::size_t ef, std::size_t slots, std::size_t dim, std::size_t code_bytes) {
        if (stamps.size() < nodes) stamps.resize(nodes, 0);
        const std::size_t most = std::max(ef, slots) + slots + 1;
        found.reserve(most);
        if (ranked.size() < most) ranked.resize(most);
        links.reserve(slots + 1);
        copy.resize(slots);
        fresh.reserve(slots);
        kept.reserve(slots + 1);
        kept_back.reserve(slots + 1);
        raw.reserve(most);
        near.reserve(most);
        pool.reserve(most);
        unit.resize(dim);
        bytes.resize(code_bytes);
        query.codes.resize(code_bytes);
        other.codes.resize(code_bytes);
        base.codes.resize(code_bytes);
        layers.resize(max_graph_level + 1);
        for (auto& l : layers) l.reserve(slots);
        zeros.resize(dim, 0.0);
    }
    /// A new walk: nothing visited.
    void begin() {
        if (++generation == 0) {
            std::fill(stamps.begin(), stamps.end(), 0);
            generation = 1;
        }
    }
    bool visit(std::uint32_t node) {
        if (stamps[node] == generation) return false;
        stamps[node] = generation;
        return true;
    }
};

/// What the threads of one build share: a lock per node (striped: a thread
/// holds one at a time, so two nodes sharing a stripe cannot deadlock) and
/// the entry point.
struct Graph::Build {
    static constexpr std::size_t stripes = std::size_t{1} << 12;
    std::unique_ptr<std::mutex[]> locks{new std::mutex[stripes]};
    std::mutex& lock_of(std::uint32_t node) const { return locks[node & (stripes - 1)]; }
    std::mutex top_lock;
    std::uint32_t entry = 0, top = 0;  ///< guarded by top_lock
    bool empty = true;
};

/// Takes the index's spare scratch for one call, or a fresh one when another
/// reader holds it, and hands it back afterwards.
class Graph::Lease {
  public:
    explicit Lease(const Graph& g) : g_(g), s_(g.spare_.exchange(nullptr)) {
        if (!s_) s_.reset(new Scratch);
    }
    ~Lease() {
        Scratch* expected = nullptr;
        if (g_.spare_.compare_exchange_strong(expected, s_.get())) s_.release();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Scratch& operator*() { return *s_; }

  private:
    const Graph& g_;
    std::unique_ptr<Scratch> s_;
};

/// The working memory of one call on several threads, one per thread, made
/// before the call starts: a tile takes one that no other tile holds and
/// gives it back when it ends, so no tile allocates it.
class Graph::Scratches {
  public:
    explicit Scratches(unsigned threads) : all_(threads) {
        free_.reserve(threads);
        for (Scratch& s : all_) free_.push_back(&s);
    }
    std::vector<Scratch>& all() { return all_; }

    /// f(scratch), with one no other tile holds.
    template <class F>
    void with_one(F&& f) {
        Held held(*this);
        f(*held.s);
    }

  private:
    struct Held {
        explicit Held(Scratches& from) : from(from) {
            std::lock_guard lock(from.lock_);
            s = from.free_.back();
            from.free_.pop_back();
        }
        ~Held() {
            std::lock_guard lock(from.lock_);
            from.free_.push_back(s);  // within the room reserved
        }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        Scratches& from;
        Scratch* s;
    };
    std::vector<Scratch> all_;
    std::vector<Scratch*> free_;
    std::mutex lock_;
};

}  // namespace orbisk
