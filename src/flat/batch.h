#pragma once
// Many queries over one flat index, on several threads. A query's result
// does not depend on how the batch was split: each query is answered start
// to end on one thread, or, when there are fewer queries than threads, each
// thread finds the exact best rows of its part of the rows and the parts'
// results are merged by the ranking order. Either way the result is the
// exact ranking, the same bits for any number of threads.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/pool.h"
#include "flat/flat_index.h"

namespace orbisk {

/// Columns of a batch's result over `set`: min(k, set.count).
inline std::size_t batch_width(const RowSet& set, std::uint32_t k) { return std::min<std::size_t>(k, set.count); }
inline std::size_t batch_width(const Flat& flat, std::uint32_t k) { return batch_width(flat.live_rows(), k); }

/// Searches the `m` queries stored one after another (dim() values each)
/// over the rows of `set` and writes row i of `ids` and `distances`
/// (batch_width columns each): the first candidates of
/// flat.search(query i, k, set), in ranking order. Runs on at most
/// `threads` threads, the calling one among them; a thread the system
/// refuses to start leaves its share to the others. Throws Interrupted when
/// the poll says stop and std::bad_alloc when a thread could not allocate;
/// the outputs are then partly written. The index must not change while
/// this runs.
void search_on_threads(const Flat& flat, const double* queries, std::size_t m, std::uint32_t k, const RowSet& set,
                       std::int64_t* ids, double* distances, unsigned threads, Poll poll = {});
inline void search_on_threads(const Flat& flat, const double* queries, std::size_t m, std::uint32_t k,
                              std::int64_t* ids, double* distances, unsigned threads, Poll poll = {}) {
    search_on_threads(flat, queries, m, k, flat.live_rows(), ids, distances, threads, poll);
}

/// flat.search_radius for each of the `m` queries into outs[i], on
/// threads as search_on_threads.
void search_radius_on_threads(const Flat& flat, const double* queries, std::size_t m, double radius, const RowSet& set,
                              std::vector<Candidate>* outs, unsigned threads, Poll poll = {});

/// Threads worth running for `m` queries that each read `bytes`
/// (Flat::scan_bytes) on this machine: the cores this process may run on,
/// fewer when the work is too small to pay for them (the rows of one query
/// or of a few are split among them when there are enough of them).
unsigned default_threads(std::size_t m, std::size_t bytes);

}  // namespace orbisk
