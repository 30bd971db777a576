// Walks and searches.
//
// A walk ranks nodes by code distances (below); nothing it reports is
// ranked by them. Every result is scored from the stored row with the
// metric's row kernels and finish(), the flat index's expressions, so its
// distance is the flat index's bits, and results are ranked by the one
// order of candidate.h (ties by id, NaN last). The walk only decides which
// rows are scored: what it misses is the approximation, never a wrong score.
//
// Code distance. A row x is coded as codes.h codes it (x is scaled to length
// one first for cosine): bytes c_i + 128 on a float scale s, |c_i| <= 127.
// The query (or a stored row, during construction) is coded the same way,
// codes a_i on scale t. With P = sum a_i c_i, an exact integer the code
// kernels give (products of bytes by signed codes, summed in 32 bits), the
// walk ranks by
//     d = |q'|^2 + |x'|^2 - 2 t s P
// where |q'|^2 and |x'|^2 are the squared norms of what was coded (0 for the
// inner product, whose walk ranks by -2 t s P). d is symmetric in its two
// rows to the last bit (a sum and products of the same two factors), so a
// link's length is the same whichever end computes it. Why a walk on codes:
// a step reads one 64-byte record per neighbour up to 52 dimensions, where a
// float32 row of 50 takes 200 bytes and the float64 row 400; the products
// are exact integers, the same on every kernel table, so a graph walks the
// same way on every machine. The error of d is within the rounding of the
// codes (half a step per element; tested against it).
//
// What the walk order does and does not decide, each with its test:
//  1. Results are scored exactly (exact() below: the row kernels and
//     finish(), as Flat::distances; a cosine row's norm summed as
//     (0 - x_i)^2, which is x_i * x_i to the bit, from +0.0 in element
//     order, as norm() sums it). Tests: GraphOnTables.* (every metric and
//     table, bit for bit the flat index's), Graph.OddRows*.
//  2. A set of few rows (below scan_below()), a search keeping a quarter of
//     its set or more, and a query without a usable code are scanned: every
//     row of the set scored. Tests: Graph.AFilter*, Graph.OddRows*,
//     Graph.AskedForMoreThanEf*.
//  3. A walk that reaches fewer rows of the set than asked for is followed
//     by the scan: k up to the rows of the set always gives k rows. Test:
//     Graph.AskedForMoreThanEf*.
//  4. A filtered walk (removed rows, a filter's set) passes through the rows
//     outside the set and reports none of them. Tests: Graph.AFilter*,
//     Graph.RemovedRows*.
//  5. Of the walk's candidates, the first k (by code distance) are scored;
//     a later one is scored unless its floor (below) exceeds the k-th
//     exact distance so far, which no row beyond it can then displace
//     (ties rank by id, so only a floor strictly beyond counts; a NaN k-th
//     excludes nothing). The answer is the k best of all candidates, as if
//     every one were scored. Tests: Graph.ScoreFloor* (the floor at its
//     edge), GraphOnTables.* (the answer and its bits).
//
// The floor. Write w for what the query's code was made of (the query; for
// cosine -q/|q|; for the product -q) and v for the row's (the row; x/|x|
// for cosine), n the dimension, u = 2^-53. w = t a + e_w with |e_w| <= r
// (the query's proven radius, codes.h). Each c_i = nearbyint(v_i / s)
// computed, with |v_i| <= 127 s (no clamp), so |v_i - s c_i| <= s (1/2 +
// 127u), and |e_v| <= h = s sqrt(n) / 2 (1 + 2^-30). Then
//     |w.v - t s P| = |w.e_v + e_w.v - e_w.e_v| <= |w| h + |v| r + h r = E,
// with |w| <= q.length, |v| <= sqrt(S) (1 + 2^-22) (S the row's float
// squares, within 2^-23 relative and 2^-149 absolute of |v|^2), and for the
// product, which keeps no squares, |v| <= 127 s sqrt(n). The walk's
// d = (Sw + S) - 2(t s) P (t s exact) gives g = (Sw + S) - d within
// 2^-50 (Sw + S + |g|) of 2 t s P. With sigma = 2^-21 (Sw + S + |g|) +
// 2^-140, which holds these and every rounding of the floor's own
// evaluation with room to spare:
//  Euclidean: |q - x|^2 >= d - 2E - sigma; the metric's sum of squares errs
//   by (n + 2)u relative and by n 2^-1075 where squares underflow, its root
//   by u, so the distance is at least sqrt(d - 2E - sigma)(1 - 2^-30) -
//   2^-500.
//  Product: q.x = -(w.x) >= -t s P - E = d/2 - E (d = -2 t s P within u);
//   the metric's sum errs by (n + 1)u |q| |x| + n 2^-1074, so it is at least
//   d/2 - E - sigma - 2^-30 |w| |v| - 2^-1000.
//  Cosine: the metric divides q.x by |q| |x| as norm() computes them; w and
//   v divide by the same norms, so -(w.v) differs from the metric's value by
//   the roundings of the divisions and of the sums, at most (n + 8)u |w| |v|,
//   provided |q| lies in [2^-100, 2^100] (a coded row's norm lies in
//   [2^-537, 2^512], so no product underflows beyond 2^-400 of |q| |x| and
//   nothing overflows). The value is then at least -g/2 - E - sigma -
//   2^-30 (Sw + S); queries outside the range get no floor.
// A row without a code (scale 0), a query without one, or a code distance
// that is not finite gives no floor: a NaN never exceeds the k-th. Nor does
// any row of a graph whose codes were restored unverified (a file's codes
// may not be its rows').

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "flat/batch.h"
#include "graph/graph.h"
#include "graph/scratch.h"
#include "metrics/codes.h"
#include "metrics/kernels.h"
#include "metrics/metrics.h"

namespace orbisk {

namespace {

constexpr std::size_t batch_rows = slots * lanes;  // rows one row-kernel call scores

/// The walk's order: code distances, then ids. Code distances are never
/// NaN (code_distances makes NaN +inf), so this is ranks_before without its
/// NaN tests; the functions inline where heaps call them.
struct Nearer {
    bool operator()(const Candidate& a, const Candidate& b) const {
        return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
    }
};
/// Best on top of the queue, worst on top of W.
struct Farther {
    bool operator()(const Candidate& a, const Candidate& b) const { return Nearer()(b, a); }
};

void prefetch_lines(const void* p, std::size_t bytes) {
    const auto* c = static_cast<const char*>(p);
    for (std::size_t i = 0; i < bytes; i += 64) __builtin_prefetch(c + i);
}

/// Puts `x` in place of the worst of the full heap W: one pass down the
/// heap, where a push and a pop would take two.
void replace_worst(std::vector<Candidate>& heap, Candidate x) {
    const std::size_t n = heap.size();
    std::size_t at = 0;
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= n) break;
        if (child + 1 < n && Nearer()(heap[child], heap[child + 1])) ++child;
        if (!Nearer()(x, heap[child])) break;
        heap[at] = heap[child];
        at = child;
    }
    heap[at] = x;
}

/// Longest W a search keeps in order: an insertion moves up to this many
/// nodes (16 KiB), no more than two descents of a heap would cost.
constexpr std::size_t sorted_limit = 1024;

bool admitted(const RowSet& set, std::size_t id) { return id >= set.from && id < set.to && set.has(id); }

}  // namespace

void Graph::code_query(Scratch& s, Vec query) const {
    // Results rank by the metric's value, smallest first, as the flat
    // index ranks them: for a product, the rows most like the query turned
    // around. The walk goes there: it walks to -q, whose code distance to a
    // row grows with the row's product with q.
    Vec coded = query;
    if (params_.metric != MetricKind::Euclidean) {
        const double n = params_.metric == MetricKind::Cosine ? norm(query) : 1.0;
        for (std::size_t i = 0; i < query.size(); ++i) s.unit[i] = -query[i] / n;
        coded = Vec(s.unit.data(), query.size());
    }
    WalkCode& q = s.query;
    const CodeInfo info = encode(coded, params_.metric, s.bytes.data());
    q.scale = info.coded() ? info.scale : 0.0;
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < code_bytes_; ++i) {
        const int a = info.coded() && i < coded.size() ? static_cast<int>(s.bytes[i]) - 128 : 0;
        q.codes[i] = static_cast<std::int8_t>(a);
        sum += a;
    }
    q.offset = 128.0 * static_cast<double>(sum);
    const double squares = sum_of_products(coded.data(), coded.data(), coded.size());
    q.squares = params_.metric == MetricKind::Dot ? 0.0 : squares;
    q.length = std::sqrt(squares) * (1.0 + code_margin);
    q.radius = info.coded() ? static_cast<double>(info.rho) * info.scale * (1.0 + code_margin) : 0.0;
    const double size = params_.metric == MetricKind::Cosine ? norm(query) : 1.0;
    q.bounded = info.coded() && std::isfinite(squares) && size >= 0x1p-100 && size <= 0x1p100;
}

double Graph::floor_of(const WalkCode& q, std::uint32_t id, double code) const {
    constexpr double ninf = -std::numeric_limits<double>::infinity();
    const double s = scale(id);
    if (!q.bounded || s == 0.0 || !proven_) return ninf;
    const double h = s * std::sqrt(static_cast<double>(params_.dim)) * 0.5 * (1.0 + code_margin);
    const double rs = squares(id);
    const double v = params_.metric == MetricKind::Dot ? 254.0 * h : std::sqrt(rs) * (1.0 + 0x1p-22);
    const double e = (q.length * h + v * q.radius + h * q.radius) * (1.0 + code_margin);
    const double g = (q.squares + rs) - code;
    const double sigma = 0x1p-21 * (q.squares + rs + std::fabs(g)) + 0x1p-140;
    switch (params_.metric) {
        case MetricKind::Euclidean:
            return std::sqrt(positive_part(code - 2.0 * e - sigma)) * (1.0 - code_margin) - 0x1p-500;
        case MetricKind::Dot: return code / 2.0 - e - sigma - code_margin * q.length * v - 0x1p-1000;
        case MetricKind::Cosine: break;
    }
    return -g / 2.0 - e - sigma - code_margin * (q.squares + rs);
}

void Graph::code_row(WalkCode& q, std::uint32_t row) const {
    const std::uint8_t* rec = record(row);
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < code_bytes_; ++i) {
        // Within +-127 as the kernels need, also for a byte 0 of a file's
        // code taken unverified (encode never writes one).
        const int a = std::max(static_cast<int>(rec[i]) - 128, -127);
        q.codes[i] = static_cast<std::int8_t>(a);
        sum += a;
    }
    q.scale = scale(row);
    q.offset = 128.0 * static_cast<double>(sum);
    q.squares = squares(row);
}

void Graph::code_distances(const Scratch& s, const WalkCode& q, const std::uint32_t* ids, std::size_t count,
                           double* out) const {
    auto* raw = const_cast<std::int32_t*>(s.raw.data());
    walk_->products(records_.data(), ids, count, stride_, q.codes.data(), code_bytes_, raw);
    for (std::size_t i = 0; i < count; ++i) {
        const double p = static_cast<double>(raw[i]) - q.offset;
        const double d = (q.squares + static_cast<double>(squares(ids[i]))) -
                         2.0 * (q.scale * static_cast<double>(scale(ids[i]))) * p;
        out[i] = d == d ? d : std::numeric_limits<double>::infinity();
    }
}

template <bool Locked>
void Graph::expand(Scratch& s, const WalkCode& q, std::uint32_t node, std::uint32_t layer, const Build* build) const {
    const std::uint32_t cap = capacity(layer);
    const std::uint32_t* l = list(node, layer);
    if constexpr (Locked) {
        // Another thread may be writing this list: a copy, under its lock
        // (a build on one thread reads it as it is).
        if (!build->alone) {
            std::lock_guard lock(build->lock_of(node));
            std::uint32_t* to = s.copy.data();
            for (std::uint32_t j = 0; j < cap; ++j) to[j] = l[j];
            l = to;
        }
    }
    s.fresh.clear();
    for (std::uint32_t j = 0; j < cap && l[j] != no_link; ++j) __builtin_prefetch(s.stamps.data() + l[j]);
    for (std::uint32_t j = 0; j < cap && l[j] != no_link; ++j) {
        if (s.visit(l[j])) {
            s.fresh.push_back(l[j]);
            prefetch_lines(record(l[j]), stride_);
        }
    }
    if (s.counts) {
        ++s.counts->expanded;
        s.counts->coded += s.fresh.size();
        s.counts->lines += (cap * 4 + 63) / 64 + s.fresh.size() * ((stride_ + 63) / 64);
    }
    s.near.resize(s.fresh.size());
    s.raw.resize(s.fresh.size());
    if (!s.fresh.empty()) code_distances(s, q, s.fresh.data(), s.fresh.size(), s.near.data());
}

template <bool Locked, bool Filtered>
void Graph::walk(Scratch& s, const WalkCode& q, Candidate entry, std::size_t ef, std::uint32_t layer, const RowSet* set,
                 const Build* build) const {
    s.begin();
    s.visit(entry.id);
    s.found.clear();
    const std::uint32_t cap = capacity(layer);
    if (!Filtered && (Locked || ef <= sorted_limit)) {
        // W alone, in order, each node marked once expanded: the next to
        // expand is the nearest not yet expanded, and the walk ends when W
        // holds none. A node pushed out of W is never expanded by the walk
        // with a queue beside W either (its distance is then beyond W's
        // last, which only falls), so this is that walk with one array in
        // place of two heaps: an insertion moves part of an array of ef,
        // where heaps take two unpredictable descents.
        Ranked* w = s.ranked.data();
        std::size_t size = 1, next = 0;
        w[0] = {entry.distance, entry.id, 0};
        while (next < size) {
            w[next].done = 1;
            expand<Locked>(s, q, w[next].id, layer, build);
            std::size_t lowest = size;
            for (std::size_t i = 0; i < s.fresh.size(); ++i) {
                const Ranked x{s.near[i], s.fresh[i], 0};
                if (size == ef && !x.before(w[size - 1])) continue;
                if (size == ef) --size;
                std::size_t at = size;
                for (std::size_t lo = 0, hi = size; lo < hi;) {  // the first that x ranks before
                    const std::size_t mid = (lo + hi) / 2;
                    if (x.before(w[mid])) {
                        hi = at = mid;
                    } else {
                        lo = mid + 1;
                    }
                }
                std::memmove(w + at + 1, w + at, (size - at) * sizeof(Ranked));
                w[at] = x;
                ++size;
                lowest = std::min(lowest, at);
            }
            next = std::min(lowest, next + 1);
            while (next < size && w[next].done) ++next;
            // Its list is asked from memory while this one's end is settled.
            if (next < size) prefetch_lines(list(w[next].id, layer), cap * 4);
        }
        for (std::size_t i = 0; i < size; ++i) s.found.push_back({w[i].distance, w[i].id});
        return;
    }
    // Filtered, or a W too long to keep in order: W a heap, holding only
    // rows of the set, and a queue of every node to expand.
    s.queue.clear();
    s.queue.push_back(entry);
    if (!Filtered || admitted(*set, entry.id)) s.found.push_back(entry);
    while (!s.queue.empty()) {
        std::pop_heap(s.queue.begin(), s.queue.end(), Farther());
        const Candidate c = s.queue.back();
        s.queue.pop_back();
        if (s.found.size() >= ef && Nearer()(s.found.front(), c)) break;
        expand<Locked>(s, q, c.id, layer, build);
        for (std::size_t i = 0; i < s.fresh.size(); ++i) {
            const Candidate x{s.near[i], s.fresh[i]};
            if (s.found.size() >= ef && !Nearer()(x, s.found.front())) continue;
            s.queue.push_back(x);
            std::push_heap(s.queue.begin(), s.queue.end(), Farther());
            if (Filtered && !admitted(*set, x.id)) continue;
            if (s.found.size() < ef) {
                s.found.push_back(x);
                std::push_heap(s.found.begin(), s.found.end(), Nearer());
            } else {
                replace_worst(s.found, x);
            }
        }
        // The next node to expand is the queue's best: its list is asked
        // from memory while the heaps settle.
        if (!s.queue.empty()) prefetch_lines(list(s.queue.front().id, layer), cap * 4);
    }
    std::sort_heap(s.found.begin(), s.found.end(), Nearer());
}

template void Graph::walk<true, false>(Scratch&, const WalkCode&, Candidate, std::size_t, std::uint32_t, const RowSet*,
                                       const Build*) const;

template <bool Locked>
Candidate Graph::descend(Scratch& s, const WalkCode& q, Candidate from, std::uint32_t top, std::uint32_t down_to,
                         const Build* build) const {
    for (std::uint32_t layer = top; layer > down_to; --layer) {
        walk<Locked, false>(s, q, from, 1, layer, nullptr, build);
        from = s.found.front();
    }
    return from;
}

template Candidate Graph::descend<true>(Scratch&, const WalkCode&, Candidate, std::uint32_t, std::uint32_t,
                                        const Build*) const;

void Graph::exact(const Scratch& s, Vec query, double query_norm, const std::uint32_t* ids, std::size_t count,
                  double* out) const {
    const std::size_t dim = params_.dim;
    // The rows of the next batch are asked from memory while this one is
    // summed: scattered rows, each read once.
    auto fetch = [&](std::size_t from) {
        for (std::size_t j = from; j < std::min(count, from + batch_rows); ++j) {
            prefetch_lines(rows_.data() + std::size_t{ids[j]} * dim, dim * sizeof(double));
        }
    };
    fetch(0);
    for (std::size_t i = 0; i < count; i += batch_rows) {
        fetch(i + batch_rows);
        const std::size_t n = std::min(batch_rows, count - i);
        const std::size_t groups = (n + lanes - 1) / lanes;
        std::int64_t offsets[batch_rows];
        for (std::size_t j = 0; j < groups * lanes; ++j) {
            offsets[j] = static_cast<std::int64_t>(ids[i + std::min(j, n - 1)] * dim);  // padded with the last row
        }
        double acc[batch_rows] = {};
        metric_.rows_kernel()(rows_.data(), offsets, groups, query.data(), 0, dim, acc);
        double squares[batch_rows] = {};
        if (metric_.keeps_norms()) {
            // A row's norm, as norm() computes it: (0 - x_i)^2 is x_i * x_i
            // to the bit (negation is exact), summed from +0.0 in element
            // order. Kept by no store: computed for the rows scored alone.
            metric_.kernels().squared_l2_rows(rows_.data(), offsets, groups, s.zeros.data(), 0, dim, squares);
        }
        for (std::size_t j = 0; j < n; ++j) out[i + j] = metric_.finish(acc[j], query_norm, std::sqrt(squares[j]));
    }
}

void Graph::scan(const Scratch& s, Vec query, std::size_t k, const RowSet& set, std::vector<Candidate>& out) const {
    out.clear();
    std::vector<std::uint32_t> ids;
    ids.reserve(set.count);
    for (std::size_t id = set.from; id < set.to;) {
        if (!set.bits) {
            ids.push_back(static_cast<std::uint32_t>(id++));
            continue;
        }
        // A word of bits at a time: the set's rows without a look at the others.
        const std::uint64_t word = set.bits[id / 64] >> (id % 64);
        if (word == 0) {
            id = (id / 64 + 1) * 64;
            continue;
        }
        id += static_cast<std::size_t>(std::countr_zero(word));
        if (id < set.to) ids.push_back(static_cast<std::uint32_t>(id));
        ++id;
    }
    std::vector<double> d(ids.size());
    exact(s, query, metric_.query_norm(query), ids.data(), ids.size(), d.data());
    out.resize(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) out[i] = {d[i], ids[i]};
    const std::size_t keep = std::min(k, out.size());
    std::partial_sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(keep), out.end(), ranks_before);
    out.resize(keep);
}

// The walk of a set admitting a share f of n rows passes about 1/f nodes for
// each one it keeps; the scan scores f n rows. Measured on 100,000 GloVe rows
// (d = 50, one thread): the scan took 73 ns a row, the walk at recall 0.98
// about 25 us / f, so they cost the same near f n = sqrt(340 n) rows (5,800
// of 100,000, 11,700 of 400,000).
std::size_t Graph::scan_below() const {
    return std::max<std::size_t>(1024, static_cast<std::size_t>(16.0 * std::sqrt(static_cast<double>(count_))));
}

void Graph::search_with(Scratch& s, Vec query, std::uint32_t k, std::uint32_t ef, const RowSet& set,
                        std::vector<Candidate>& out) const {
    out.clear();
    const std::size_t want = std::min<std::size_t>(k, set.count);
    if (want == 0) return;
    const std::size_t width = std::max<std::size_t>(ef, want);
    s.size_for(count_, width, capacity(0), params_.dim, code_bytes_);
    code_query(s, query);
    // A set of few rows is scanned: cheaper than a walk that passes most
    // nodes by. So is a query without a usable code (not finite, or no
    // direction for an angle), whose code distances would rank nothing.
    const bool directionless = params_.metric != MetricKind::Euclidean && s.query.scale == 0.0;
    // So is a search keeping a quarter of the set or more: its walk would
    // pass most of the graph.
    if (set.count < scan_below() || width * 4 >= set.count || directionless || !std::isfinite(s.query.squares)) {
        scan(s, query, want, set, out);
        return;
    }
    const WalkCode& q = s.query;
    std::uint32_t e = entry_;
    double d;
    code_distances(s, q, &e, 1, &d);
    const Candidate start = descend<false>(s, q, {d, e}, top_, 0, nullptr);
    if (set.bits || set.from != 0 || set.to != count_) {
        walk<false, true>(s, q, start, width, 0, &set, nullptr);
    } else {
        walk<false, false>(s, q, start, width, 0, nullptr, nullptr);
    }
    if (s.found.size() < want) {
        // The walk reached fewer rows of the set than asked for (a graph
        // cut in parts, a set whose rows lie apart): the scan finds them.
        scan(s, query, want, set, out);
        return;
    }
    // The first `want` candidates scored, then those of the rest whose
    // floor does not exceed the k-th of them (shortcut 5).
    const double query_norm = metric_.query_norm(query);
    auto score = [&](std::size_t count) {
        s.exacts.resize(count);
        exact(s, query, query_norm, s.scored.data(), count, s.exacts.data());
        if (s.counts) s.counts->exact += count;
    };
    s.scored.clear();
    for (std::size_t i = 0; i < want; ++i) s.scored.push_back(s.found[i].id);
    score(want);
    for (std::size_t i = 0; i < want; ++i) out.push_back({s.exacts[i], s.scored[i]});
    std::make_heap(out.begin(), out.end(), ranks_before);  // the k-th on top
    const double kth = out.front().distance;
    s.scored.clear();
    for (std::size_t i = want; i < s.found.size(); ++i) {
        if (!(floor_of(q, s.found[i].id, s.found[i].distance) > kth)) s.scored.push_back(s.found[i].id);
    }
    score(s.scored.size());
    for (std::size_t i = 0; i < s.scored.size(); ++i) {
        const Candidate c{s.exacts[i], s.scored[i]};
        if (!ranks_before(c, out.front())) continue;
        std::pop_heap(out.begin(), out.end(), ranks_before);
        out.back() = c;
        std::push_heap(out.begin(), out.end(), ranks_before);
    }
    std::sort_heap(out.begin(), out.end(), ranks_before);
}

double Graph::code_distance(Vec query, std::uint32_t id) const {
    Lease lease(*this);
    Scratch& s = *lease;
    s.size_for(count_, 1, capacity(0), params_.dim, code_bytes_);
    code_query(s, query);
    double d;
    s.raw.resize(1);
    code_distances(s, s.query, &id, 1, &d);
    return d;
}

double Graph::code_distance(std::uint32_t a, std::uint32_t b) const {
    Lease lease(*this);
    Scratch& s = *lease;
    s.size_for(count_, 1, capacity(0), params_.dim, code_bytes_);
    code_row(s.query, a);
    double d;
    s.raw.resize(1);
    code_distances(s, s.query, &b, 1, &d);
    return d;
}

double Graph::score_floor(Vec query, std::uint32_t id) const {
    Lease lease(*this);
    Scratch& s = *lease;
    s.size_for(count_, 1, capacity(0), params_.dim, code_bytes_);
    code_query(s, query);
    double d;
    s.raw.resize(1);
    code_distances(s, s.query, &id, 1, &d);
    return floor_of(s.query, id, d);
}

void Graph::scan(Vec query, std::uint32_t k, const RowSet& set, std::vector<Candidate>& out) const {
    Lease lease(*this);
    Scratch& s = *lease;
    s.size_for(count_, 1, capacity(0), params_.dim, code_bytes_);
    scan(s, query, k, set, out);
}

void Graph::search(Vec query, std::uint32_t k, std::uint32_t ef, const RowSet* set, std::vector<Candidate>& out,
                   WalkCounts* counts) const {
    Lease lease(*this);
    Scratch& s = *lease;
    s.counts = counts;
    search_with(s, query, k, ef, set ? *set : live_rows(), out);
    s.counts = nullptr;
}

void Graph::search_batch(const double* queries, std::size_t m, std::uint32_t k, std::uint32_t ef, const RowSet* set,
                         std::int64_t* ids, double* distances, unsigned threads, Poll poll) const {
    const RowSet rows = set ? *set : live_rows();
    const std::size_t width = batch_width(rows, k);
    if (m == 0 || width == 0) return;
    threads = static_cast<unsigned>(std::min<std::size_t>(std::max(threads, 1u), m));
    Scratches scratches(threads);
    run_tiles(m, 1, threads, poll, [&](std::size_t i, std::size_t, Interrupt& interrupt) {
        if (interrupt.stop_now()) throw Interrupted{};
        scratches.with_one([&](Scratch& s) {
            search_with(s, Vec(queries + i * params_.dim, params_.dim), k, ef, rows, s.out);
            for (std::size_t j = 0; j < width; ++j) {  // search gives width rows: the scan completes a walk
                ids[i * width + j] = s.out[j].id;
                distances[i * width + j] = s.out[j].distance;
            }
        });
    });
}

}  // namespace orbisk
