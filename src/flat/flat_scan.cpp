// The exhaustive scan: every search of the flat index.
//
// Exact shortcuts, each with why it changes no result and the test that
// catches a slip in it:
//  1. Only the best max(k, 1) candidates are kept (a bounded heap), not all
//     n: the first k of a total order are the same however the rest are
//     held. Test: FlatScan (every metric, many dimensions and counts).
//  2. Rows are computed in groups of eight by the row kernels, each lane in
//     element order: the same sums as one row at a time. Tests:
//     KernelTables.*, FlatScan.
//  3. Euclidean groups whose partial sums all reach the abandoning bound of
//     the worst kept distance are dropped: those rows end at that distance
//     or beyond, and a tie loses, as every row offered before has a smaller
//     id. Test: BoundSums.FlatKeepsRowsJustInsideTheAbandoningBound.
//  4. Cosine divides by norms kept at insertion and one query norm: the
//     same expressions cosine_similarity evaluates (metrics.h). Tests:
//     Metrics.*, FlatScan.
//  5. The screen (codes.h): rows whose lower bound exceeds the k-th smallest
//     upper bound are never computed, and the rest are computed in order of
//     their lower bounds until one exceeds the worst distance kept. Most
//     rows are excluded by the first test (codes.h): one comparison of the
//     row's scale times its product against constants derived once a call
//     from the threshold and its blocks' RunBounds joined (a run of all
//     their rows), sixteen rows a compare in single precision where the
//     values allow it, eight in double elsewhere, which only excludes rows
//     that the bound would; the rows it leaves are bounded in full. A call takes
//     the threshold as it begins: the threshold only falls, and a row is
//     offered only if its bound meets the present one, so a call of more
//     blocks bounds more rows but selects the same. Tests:
//     Codes.* (each bound at its edge, the first test at the bound's edge),
//     CodeTables.*, ScreenedScan.
//  6. A batch (search_many) screens its queries chunk by chunk: each query
//     still sees every block in order with its own threshold, so its
//     candidates, and then its results, are those of its own search. The
//     products of a chunk are made for all the batch's queries at once
//     (integers: exact in any order). Tests: Batch.* (chunk and tile
//     boundaries crossed, every thread count), CodeTables.ManyQueries*.
//  7. A search over a set of rows (rows not removed, a filter's rows or row
//     list, a part of the rows for one thread) skips the others everywhere: the
//     screen masks them out, the scans never offer them. Each step above
//     holds for any set offered in id order, so the result is the search of
//     an index holding those rows alone. Tests: FlatSets.*.
//  8. A radius search screens with the radius as its fixed threshold: a row
//     whose lower bound exceeds it is farther. Tests: FlatRadius.*.
//  9. Few rows scattered (a short list, or a mask admitting few) are each
//     computed in full, and a Euclidean sum at or past the abandoning bound
//     of the worst kept distance is dropped before its square root: it ends
//     there or beyond, and a tie loses, the rows coming in id order. Test:
//     BoundSums.ScatteredRowsJustInsideTheAbandoningBoundAreKept.

#include "flat/flat_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "flat/row_set.h"
#include "metrics/kernels.h"

namespace orbisk {

/// The best `keep` candidates seen so far, in ranking order; the worst on
/// top. Candidates may arrive in any order.
class Flat::TopK {
  public:
    TopK(std::vector<Candidate>& heap, std::size_t keep) : heap_(heap), keep_(keep) {
        heap_.clear();
        heap_.reserve(keep);
    }
    bool full() const { return heap_.size() == keep_; }
    double worst() const { return heap_.front().distance; }
    /// Offers a candidate; true when the worst kept distance changed.
    bool offer(double distance, std::uint32_t id) {
        if (!full()) {
            heap_.push_back({distance, id});
            std::push_heap(heap_.begin(), heap_.end(), ranks_before);
            return full();
        }
        if (!ranks_before({distance, id}, heap_.front())) return false;
        std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
        heap_.back() = {distance, id};
        std::push_heap(heap_.begin(), heap_.end(), ranks_before);
        return true;
    }
    void finish() { std::sort_heap(heap_.begin(), heap_.end(), ranks_before); }

  private:
    std::vector<Candidate>& heap_;
    std::size_t keep_;
};

namespace {

constexpr std::size_t batch_rows = slots * lanes;  // rows one kernel call computes

/// Calls f(ids, n) for the rows of `set` in order, batch_rows at a time
/// (fewer in the last batch).
template <class F>
void each_batch(const RowSet& set, F&& f) {
    std::uint32_t ids[batch_rows];
    std::size_t n = 0;
    each_row(set, [&](std::size_t id) {
        ids[n++] = static_cast<std::uint32_t>(id);
        if (n == batch_rows) {
            f(ids, n);
            n = 0;
        }
    });
    if (n) f(ids, n);
}

}  // namespace

void Flat::row_sums(Vec query, const std::uint32_t* ids, std::size_t count, double* acc) const {
    const std::size_t groups = (count + lanes - 1) / lanes;
    std::int64_t offsets[batch_rows];
    for (std::size_t j = 0; j < groups * lanes; ++j) {
        offsets[j] = static_cast<std::int64_t>(ids[std::min(j, count - 1)]) * dim_;  // padded with the last row
    }
    std::fill_n(acc, groups * lanes, 0.0);
    rows_.visit(
        [&]<class T>(const T* rows) { metric_.rows_kernel<T>()(rows, offsets, groups, query.data(), 0, dim_, acc); });
}

void Flat::distances(Vec query, double query_norm, const std::uint32_t* ids, std::size_t count, double* out) const {
    double acc[batch_rows];
    row_sums(query, ids, count, acc);
    for (std::size_t j = 0; j < count; ++j) {
        out[j] = metric_.finish(acc[j], query_norm, metric_.row_norm(norms_.data(), ids[j]));
    }
}

void Flat::scan_rows(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const {
    TopK top(out, keep);
    const double query_norm = metric_.query_norm(query);
    if (set.scattered()) {
        scan_scattered(query, query_norm, set, top);
    } else if (metric_.sums_squares()) {
        scan_abandoning(query, set, top);
    } else {
        scan_products(query, query_norm, set, top);
    }
    top.finish();
}

void Flat::scan_scattered(Vec query, double query_norm, const RowSet& set, TopK& top) const {
    // Few rows, scattered: each computed in full, the rows of the next batch
    // asked from memory while this one is computed.
    // A row list is walked as it is; bits are listed first.
    std::vector<std::uint32_t> listed;
    if (!set.list) {
        listed.reserve(set.count);
        each_row(set, [&](std::size_t id) { listed.push_back(static_cast<std::uint32_t>(id)); });
    }
    const std::uint32_t* ids = set.list ? set.list : listed.data();
    const std::size_t count = set.count;
    const std::size_t row_bytes = dim_ * value_bytes(storage());
    auto fetch = [&](std::size_t from) {
        for (std::size_t j = from; j < std::min(count, from + batch_rows); ++j) {
            const char* row = static_cast<const char*>(rows_.data()) + ids[j] * row_bytes;
            for (std::size_t e = 0; e < row_bytes; e += 64) __builtin_prefetch(row + e);
        }
    };
    fetch(0);
    // Sums of squares at or past the abandoning bound of the worst kept
    // distance end at that distance or beyond, and a tie loses (the rows
    // come in id order): not even their square roots are taken.
    const bool squares = metric_.sums_squares();
    double bound = std::numeric_limits<double>::quiet_NaN();  // drop nothing yet
    for (std::size_t i = 0; i < count; i += batch_rows) {
        fetch(i + batch_rows);
        const std::size_t n = std::min(batch_rows, count - i);
        double d[batch_rows];
        if (!squares) {
            distances(query, query_norm, ids + i, n, d);
            for (std::size_t j = 0; j < n; ++j) top.offer(d[j], ids[i + j]);
            continue;
        }
        row_sums(query, ids + i, n, d);
        bool changed = false;
        for (std::size_t j = 0; j < n; ++j) {
            if (!(d[j] >= bound)) changed |= top.offer(Metric::from_squares(d[j]), ids[i + j]);
        }
        if (changed) bound = abandoning_bound(top.worst());
    }
}

void Flat::scan_products(Vec query, double query_norm, const RowSet& set, TopK& top) const {
    each_batch(set, [&](const std::uint32_t* ids, std::size_t n) {
        double d[batch_rows];
        distances(query, query_norm, ids, n, d);
        for (std::size_t j = 0; j < n; ++j) top.offer(d[j], ids[j]);
    });
}

void Flat::scan_abandoning(Vec query, const RowSet& set, TopK& top) const {
    // Groups of eight rows in id order, up to `slots` side by side, summed
    // `stride` elements at a time. A group is dropped once every row's
    // partial sum of squares reaches the bound: each of them then ends at
    // the worst kept distance or beyond (sums never decrease). A tie would
    // not be kept either: the bound comes from rows offered before the
    // group started, all of smaller ids.
    rows_.visit([&]<class T>(const T* rows) {
        const RowsKernelOf<T> squared_l2 = metric_.kernels().squared_l2<T>();
        double bound = std::numeric_limits<double>::quiet_NaN();  // drop nothing yet
        constexpr std::size_t stride = 16;
        each_batch(set, [&](const std::uint32_t* ids, std::size_t n) {
            const std::size_t groups = (n + lanes - 1) / lanes;
            std::int64_t offsets[batch_rows];
            std::size_t group_of[slots];
            for (std::size_t j = 0; j < groups * lanes; ++j) {
                offsets[j] = static_cast<std::int64_t>(ids[std::min(j, n - 1)]) * dim_;
            }
            double acc[batch_rows] = {};
            std::size_t alive = groups;
            for (std::size_t g = 0; g < groups; ++g) group_of[g] = g;
            for (std::size_t from = 0; from < dim_ && alive; from += stride) {
                const std::size_t to = std::min<std::size_t>(dim_, from + stride);
                squared_l2(rows, offsets, alive, query.data(), from, to, acc);
                if (to == dim_) break;
                for (std::size_t g = 0; g < alive;) {
                    const double* sums = acc + g * lanes;
                    if (!std::all_of(sums, sums + lanes, [&](double a) { return a >= bound; })) {
                        ++g;
                        continue;
                    }
                    // Dropped: the last alive group takes its place.
                    --alive;
                    std::copy_n(offsets + alive * lanes, lanes, offsets + g * lanes);
                    std::copy_n(acc + alive * lanes, lanes, acc + g * lanes);
                    group_of[g] = group_of[alive];
                }
            }
            bool changed = false;
            for (std::size_t g = 0; g < alive; ++g) {
                for (std::size_t r = 0; r < lanes; ++r) {
                    const std::size_t j = group_of[g] * lanes + r;
                    if (j < n) changed |= top.offer(Metric::from_squares(acc[g * lanes + r]), ids[j]);
                }
            }
            if (changed) bound = abandoning_bound(top.worst());
        });
    });
}

/// What a screened scan keeps: the upper bounds of the best `keep` rows
/// bounded so far (a max-heap) and the rows that may still rank among the
/// first `keep`, with their lower bounds.
struct Flat::Selection {
    explicit Selection(std::size_t keep) : keep(keep) { uppers.reserve(keep); }
    std::size_t keep;
    std::vector<double> uppers;
    std::vector<std::pair<double, std::uint32_t>> candidates;
    /// Blocks screened so far. A call of the screen takes as many (1, 1,
    /// 2, 4, ... up to pass_runs): the threshold falls fastest at first, and
    /// a call bounds all its rows that pass against the threshold it began
    /// with.
    std::size_t screened = 0;
    /// No row whose lower bound exceeds it can rank among the first `keep`:
    /// `keep` rows have upper bounds at or below it.
    double threshold() const {
        return uppers.size() == keep ? uppers.front() : std::numeric_limits<double>::infinity();
    }
    void offer(Bounds b, std::uint32_t id) {
        if (b.lo > threshold()) return;
        if (uppers.size() < keep) {
            uppers.push_back(b.hi);
            std::push_heap(uppers.begin(), uppers.end());
        } else if (b.hi < uppers.front()) {
            replace_greatest(b.hi);
        }
        candidates.emplace_back(b.lo, id);
    }
    /// The greatest upper bound replaced by a smaller `hi`, sifted down.
    void replace_greatest(double hi) {
        std::size_t i = 0;
        for (std::size_t c = 1; c < keep; i = c, c = 2 * c + 1) {
            // The greater child; the index is clamped so that the read is
            // always in bounds and the choice needs no branch.
            c += c + 1 < keep && uppers[std::min(c + 1, keep - 1)] > uppers[c];
            if (!(uppers[c] > hi)) break;
            uppers[i] = uppers[c];
        }
        uppers[i] = hi;
    }
};

/// What a radius search keeps: every row whose lower bound is within the
/// radius (the rest are farther).
struct Flat::Within {
    double radius;
    std::vector<std::uint32_t> ids;
    std::size_t screened = pass_runs;  ///< the radius never moves: long calls from the first
    double threshold() const { return radius; }
    void offer(Bounds b, std::uint32_t id) {
        if (!(b.lo > radius)) ids.push_back(id);
    }
};

template <class Sel>
void Flat::screen_blocks(const QueryCode& qc, Sel& selection, const RowSet& set, std::size_t from, std::size_t to,
                         const std::int32_t* products) const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const CodeKernels& codes = *metric_.kernels().codes;
    const std::size_t groups = code_row_bytes() / 4;
    const std::size_t block = code_lanes * code_row_bytes();
    const double* norms = metric_.keeps_norms() ? norms_.data() : nullptr;
    // A call takes the threshold as it begins (5 above), and the calls grow
    // with the blocks screened (Selection::screened).
    std::int32_t raw[pass_runs * code_lanes];
    for (std::size_t b = from, n = 0; b < to; b += n) {
        const double threshold = selection.threshold();
        n = std::min({pass_runs, std::max<std::size_t>(selection.screened, 1), to - b});
        selection.screened += n;
        const std::size_t first = b * code_lanes, words = (n * code_lanes + 63) / 64;
        // The rows of these blocks that the set holds: none, no screen.
        std::uint64_t in[pass_runs * code_lanes / 64], any = 0;
        for (std::size_t w = 0; w < words; ++w) {
            in[w] = set.bits ? bits_from(set.bits, first + 64 * w, first + std::min(n * code_lanes, 64 * (w + 1)))
                             : ~std::uint64_t{0};
            any |= in[w];
        }
        if (!any) continue;
        const Screen sc = metric_.screen(qc, threshold);
        // The products of these blocks, given or made here.
        if (!products) codes.blocks(code_blocks_.data() + b * block, n, groups, qc.codes.data(), raw);
        const std::int32_t* p = products ? products + (b - from) * code_lanes : raw;
        std::uint64_t left[pass_runs * code_lanes / 64];
        codes.pass(sc, n * code_lanes, scales_.data() + first, rhos_.data() + first, extents_.data() + first,
                   norms ? norms + first : nullptr, runs_.data() + b, p, left);
        // The rows left are bounded first, then offered in order: their
        // bounds, independent of one another and of the offers, overlap.
        std::uint32_t rows[pass_runs * code_lanes];
        std::size_t m = 0;
        for (std::size_t w = 0; w < words; ++w) {
            for (std::uint64_t pass = left[w] & in[w]; pass != 0; pass &= pass - 1) {
                rows[m++] = static_cast<std::uint32_t>(64 * w + static_cast<std::size_t>(std::countr_zero(pass)));
            }
        }
        Bounds bounds[pass_runs * code_lanes];
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t id = first + rows[i];
            bounds[i] =
                scales_[id] == 0.0f  // no code: computed, always
                    ? Bounds{-inf, inf}
                    : metric_.bounds(qc, scales_[id], rhos_[id], extents_[id], p[rows[i]], norms ? norms[id] : 0.0);
        }
        for (std::size_t i = 0; i < m; ++i) selection.offer(bounds[i], static_cast<std::uint32_t>(first + rows[i]));
    }
}

template <class Sel>
void Flat::screen_open_block(Sel& selection, const RowSet& set) const {
    // The open block's rows have no interleaved codes: computed, always.
    constexpr double inf = std::numeric_limits<double>::infinity();
    const RowSet open = part(set, count_ / code_lanes * code_lanes, count_);
    each_row(open, [&](std::size_t id) { selection.offer({-inf, inf}, static_cast<std::uint32_t>(id)); });
}

std::size_t Flat::scan_bytes(const RowSet& set) const {
    return coding() && !set.scattered() ? set.count * code_row_bytes() : set.count * dim_ * value_bytes(storage());
}

bool Flat::screens(std::size_t keep, const RowSet& set) const {
    // Too few rows, or too many kept, for the screen to save anything; or
    // so few rows of the range in the set that computing them is cheaper.
    return coding() && set.count >= 2 * code_lanes && keep * 8 <= set.count && !set.scattered();
}

bool Flat::scan_screened(Vec query, std::size_t keep, const RowSet& set, std::vector<Candidate>& out) const {
    if (!screens(keep, set)) return false;
    QueryCode qc;
    encode_query(query, dim_, qc, metric_.kernels().codes->query_limit);
    if (!qc.usable) return false;
    Selection selection(keep);
    screen_blocks(qc, selection, set, set.from / code_lanes,
                  std::min(set.to, count_ / code_lanes * code_lanes) / code_lanes);
    screen_open_block(selection, set);
    finish_screened(query, qc.norm, selection, out);
    return true;
}

void Flat::finish_screened(Vec query, double query_norm, Selection& selection, std::vector<Candidate>& out) const {
    // Every row whose lower bound exceeds the final threshold ranks after
    // the `keep` rows whose upper bounds are at or below it; the others are
    // computed in the order of their lower bounds, a batch at a time, until
    // the next one exceeds the worst distance kept: that row and all after
    // it are farther than `keep` rows already kept. (A row whose bound
    // equals the worst distance is computed, although it cannot tie: bounds
    // lie strictly below.)
    auto& candidates = selection.candidates;
    const double threshold = selection.threshold();
    std::erase_if(candidates, [&](const auto& c) { return c.first > threshold; });
    std::sort(candidates.begin(), candidates.end());
    TopK top(out, selection.keep);
    std::size_t i = 0;
    while (i < candidates.size() && !(top.full() && candidates[i].first > top.worst())) {
        std::uint32_t ids[batch_rows];
        std::size_t n = 0;
        while (i < candidates.size() && n < batch_rows && !(top.full() && candidates[i].first > top.worst())) {
            ids[n++] = candidates[i++].second;
        }
        double d[batch_rows];
        distances(query, query_norm, ids, n, d);
        for (std::size_t j = 0; j < n; ++j) top.offer(d[j], ids[j]);
    }
    top.finish();
}

void Flat::search_many(const double* queries, std::size_t count, std::uint32_t k, const RowSet& set,
                       std::vector<Candidate>* outs, Interrupt interrupt) const {
    for (std::size_t i = 0; i < count; ++i) outs[i].clear();
    if (set.count == 0) return;
    const std::size_t keep = std::min<std::size_t>(set.count, std::max<std::uint32_t>(k, 1));
    if (!screens(keep, set)) {
        for (std::size_t i = 0; i < count; ++i) {
            interrupt.step(set.count * dim_);
            search(Vec(queries + i * dim_, dim_), k, set, outs[i]);
        }
        return;
    }
    // The screen of every query over one chunk of code blocks while the
    // chunk is in the core's first-level cache, then the next chunk: the same
    // blocks in the same order, with the same thresholds, as each query's
    // own screen. A query the codes cannot serve is searched alone.
    std::vector<QueryCode> codes(count);
    std::vector<Selection> selections;
    selections.reserve(count);
    std::vector<std::size_t> screened;
    for (std::size_t i = 0; i < count; ++i) {
        const Vec query(queries + i * dim_, dim_);
        encode_query(query, dim_, codes[i], metric_.kernels().codes->query_limit);
        if (!codes[i].usable) {
            interrupt.step(set.count * dim_);
            search(query, k, set, outs[i]);
            continue;
        }
        screened.push_back(i);
        selections.emplace_back(keep);
    }
    const std::size_t first = set.from / code_lanes;
    const std::size_t blocks = std::min(set.to, count_ / code_lanes * code_lanes) / code_lanes;
    // Where the table multiplies several queries together, the products of
    // every query with a chunk's rows at once, then each query's screen of
    // them; otherwise (or for a query alone) each makes its own as it
    // screens. Short rows make long chunks: those are cut to keep the
    // products within screen_products_bytes.
    const CodeKernels& kernels = *metric_.kernels().codes;
    const std::size_t bytes = code_row_bytes();
    const std::size_t nq = screened.size();
    const bool together = nq > 1 && kernels.many;
    const std::size_t most = together ? screen_products_bytes / (query_rows(nq) * code_lanes * 4) : SIZE_MAX;
    const std::size_t chunk =
        std::max<std::size_t>(4, std::min(most, screen_chunk_bytes / (code_lanes * bytes))) / 4 * 4;
    std::vector<std::int8_t> query_codes(together ? query_rows(nq) * bytes : 0);
    std::vector<std::int32_t> products(together ? query_rows(nq) * chunk * code_lanes : 0);
    for (std::size_t j = 0; together && j < nq; ++j) {
        std::copy_n(codes[screened[j]].codes.data(), bytes, query_codes.data() + j * bytes);
    }
    for (std::size_t b = first; b < blocks; b += chunk) {
        const std::size_t end = std::min(blocks, b + chunk);
        if (together) {
            kernels.many(code_blocks_.data() + b * code_lanes * bytes, end - b, bytes / 4, query_codes.data(), nq,
                         products.data());
        }
        for (std::size_t j = 0; j < nq; ++j) {
            screen_blocks(codes[screened[j]], selections[j], set, b, end,
                          together ? products.data() + j * (end - b) * code_lanes : nullptr);
        }
        interrupt.step((end - b) * code_lanes * dim_ * nq);
    }
    for (std::size_t j = 0; j < screened.size(); ++j) {
        screen_open_block(selections[j], set);
        const std::size_t i = screened[j];
        finish_screened(Vec(queries + i * dim_, dim_), codes[i].norm, selections[j], outs[i]);
    }
}

std::optional<FlatError> Flat::search(Vec query, std::uint32_t k, std::vector<Candidate>& out) const {
    out.clear();
    if (count_ == 0) return FlatError::EmptyIndex;
    search(query, k, live_rows(), out);
    return std::nullopt;
}

void Flat::search(Vec query, std::uint32_t k, const RowSet& set, std::vector<Candidate>& out) const {
    out.clear();
    if (set.count == 0) return;
    const std::size_t keep = std::min<std::size_t>(set.count, std::max<std::uint32_t>(k, 1));
    if (scan_screened(query, keep, set, out)) return;
    scan_rows(query, keep, set, out);
}

void Flat::search_radius(Vec query, double radius, const RowSet& set, std::vector<Candidate>& out) const {
    out.clear();
    if (set.count == 0 || std::isnan(radius)) return;
    Within within{radius, {}};
    QueryCode qc;
    const bool screened = coding() && set.count >= 2 * code_lanes && !set.scattered();
    if (screened) encode_query(query, dim_, qc, metric_.kernels().codes->query_limit);
    if (screened && qc.usable) {
        screen_blocks(qc, within, set, set.from / code_lanes,
                      std::min(set.to, count_ / code_lanes * code_lanes) / code_lanes);
        screen_open_block(within, set);
    } else {
        each_row(set, [&](std::size_t id) { within.ids.push_back(static_cast<std::uint32_t>(id)); });
    }
    const double query_norm = metric_.query_norm(query);
    for (std::size_t i = 0; i < within.ids.size(); i += batch_rows) {
        const std::size_t n = std::min(batch_rows, within.ids.size() - i);
        double d[batch_rows];
        distances(query, query_norm, within.ids.data() + i, n, d);
        for (std::size_t j = 0; j < n; ++j) {
            if (d[j] <= radius) out.push_back({d[j], within.ids[i + j]});
        }
    }
    std::sort(out.begin(), out.end(), ranks_before);
}

}  // namespace orbisk
