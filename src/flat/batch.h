#pragma once
// Many queries over one flat index, on several threads. Each query is
// answered by Flat::search alone, start to end on one thread, so its result
// does not depend on how the batch was split: the same bits for any number
// of threads.

#include <cstddef>
#include <cstdint>

#include "flat/flat_index.h"

namespace orbisk {

/// A look at the caller, made on the calling thread only, about every
/// `poll_interval_ms` while a batch runs: true stops the batch.
struct Poll {
    bool (*check)(void* context) = nullptr;
    void* context = nullptr;
};

inline constexpr unsigned poll_interval_ms = 20;

/// Columns of a batch's result: min(k, size()).
inline std::size_t batch_width(const Flat& flat, std::uint32_t k) { return std::min<std::size_t>(k, flat.size()); }

/// Searches the `m` queries stored one after another (dim() values each)
/// and writes row i of `ids` and `distances` (batch_width columns each): the
/// first candidates of flat.search(query i, k), in ranking order. Runs on
/// at most `threads` threads, the calling one among them; a thread the
/// system refuses to start leaves its share to the others. Throws
/// Interrupted when the poll says stop and std::bad_alloc when a thread
/// could not allocate; the outputs are then partly written. The index must
/// not change while this runs.
void search_batch(const Flat& flat, const double* queries, std::size_t m, std::uint32_t k, std::int64_t* ids,
                  double* distances, unsigned threads, Poll poll = {});

/// Threads worth running for `m` queries on this machine: the cores this
/// process may run on, at most one per query.
unsigned default_threads(std::size_t m);

}  // namespace orbisk
