// The batch of neighbours: the neighbours a walk newly visits from one node
// are taken a batch at a time, screened, their distances computed, and
// admitted to W in list order before the next batch is taken.
//
// Exact shortcuts of the batch. Each one changes how much work a walk does,
// never a result bit, an order or a list a walk can see; the sentence says
// why, the test names what catches a slip in it.
//  1. Link-length skips (link_code.h): a neighbour whose triangle bound
//     reaches W's last distance f cannot enter W (entry needs d < f). Tests:
//     LinkCode.BracketsItsLength, LinkCode.SkipsOnlyWhatCannotQualify,
//     AgainstReference.
//  2. Abandoned Euclidean sums (abandoning_bound, metric.h): once a partial
//     sum of squares reaches the bound of f, the distance is at least f.
//     Test: BoundSums.GraphWalkKeepsNodesJustInsideTheAbandoningBound.
//  3. Distances remembered across the walks of one query (scratch.h): the
//     same query and node give the same bits on every layer. Test:
//     AgainstReference (memo one ulp off, memo kept across queries).
//  4. Distances computed in batches and admitted in list order once each
//     batch is done: a distance does not depend on W, and each admission
//     still meets W as the one-by-one walk leaves it. Test: AgainstReference.
//  5. The screen (codes.h): once W is full, a node whose code bound exceeds
//     W's last distance cannot beat it and is not computed. Tests: Codes.*,
//     CodeTables.*, AgainstReference.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "hnsw/graph.h"
#include "hnsw/scratch.h"
#include "metrics/kernels.h"

namespace orbisk {

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

void HNSW::admit_pending(Scratch& s, Candidate from, Vec query, std::uint32_t ef, std::vector<Candidate>& out) const {
    // Link codes bound a neighbour's distance from below only for the
    // Euclidean metric and a query of the index's dimension (link_code.h).
    const bool coded = metric_.sums_squares() && query.size() == params_.dim;
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
            if (metric_.sums_squares()) {
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
        const bool known = s.remembers(e);
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
    const double widened = widened_threshold(last);
    for (std::size_t t = 0; t < b.computing; ++t) {
        const CodeInfo& c = infos_[rows[t]];
        // A node whose lower bound exceeds W's last distance cannot beat it;
        // one without a code always may.
        const double row_norm = metric_.row_norm(norms_.data(), rows[t]);
        if (metric_.may_pass(q, widened, last, c.scale, c.rho, c.extent, raw[t], row_norm)) {
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
        b.distances[at] = metric_.finish(acc[r], s.query_norm, metric_.row_norm(norms_.data(), e));
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

}  // namespace orbisk
