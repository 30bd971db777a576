#include "flat/batch.h"

#include <algorithm>
#include <cstdint>
#include <thread>

#include "common/interrupt.h"
#include "common/pool.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace orbisk {

namespace {

/// Queries that screen each chunk of codes together. Every chunk comes from
/// memory once a tile: at 32 queries, streaming 12.8 MB of codes (100,000
/// rows of d = 128) took a third of a batch's time; at 256 it is an eighth
/// of that, and the products of a chunk (screen_products_bytes at most) stay
/// in the second-level cache.
constexpr std::size_t max_tile = 256;
/// Rows below which a query is not worth splitting among threads.
constexpr std::size_t min_split_rows = 16384;

/// Parts of the rows of `set` for `threads` threads: several each, so that
/// they end together, split at code block boundaries.
std::vector<RowSet> parts_of(const RowSet& set, unsigned threads) {
    const std::size_t span = set.to - set.from;
    const std::size_t count = std::min<std::size_t>(4 * threads, span / (min_split_rows / 4) + 1);
    const std::size_t step = (span / count + code_lanes - 1) / code_lanes * code_lanes;
    std::vector<RowSet> parts;
    for (std::size_t from = set.from; from < set.to; from += step) {
        parts.push_back(Flat::part(set, from, std::min(set.to, from + step)));
    }
    return parts;
}

/// Whether `m` queries on `threads` threads are better served by splitting
/// the rows: fewer queries than threads, and rows enough.
bool split_rows(std::size_t m, unsigned threads, const RowSet& set) {
    return threads > 1 && m < threads && set.to - set.from >= min_split_rows;
}

}  // namespace

unsigned default_threads(std::size_t m, std::size_t bytes) {
    constexpr std::size_t per_thread = std::size_t{1} << 20;
    const std::size_t work = bytes == 0 || m <= SIZE_MAX / bytes ? m * bytes : SIZE_MAX;
    if (work < 2 * per_thread) return 1;  // one thread, however many cores: no need to ask
    unsigned cores = 0;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<unsigned>(CPU_COUNT(&set));
#endif
    if (cores == 0) cores = std::max(1u, std::thread::hardware_concurrency());
    // A thread is worth its part only for work clearly longer than handing
    // it over and merging its answers: each gets at least 1 MiB to read
    // (codes, or the rows computed in full), 25-50 us. Measured on 2 cores,
    // back-to-back calls: one query over 20,000 x 50 (1 MiB of codes) took
    // 1.2x longer split in two, two queries over 20,000 x 50 0.5x, one query
    // over 20,000 x 128 0.8x and over 100,000 x 128 0.55x the time of one
    // thread.
    return static_cast<unsigned>(std::clamp<std::size_t>(work / per_thread, 1, cores));
}

void search_on_threads(const Flat& flat, const double* queries, std::size_t m, std::uint32_t k, const RowSet& set,
                       std::int64_t* ids, double* distances, unsigned threads, Poll poll) {
    const std::size_t width = batch_width(set, k);
    if (m == 0 || width == 0) return;
    threads = std::max(threads, 1u);
    const std::size_t dim = flat.dim();
    auto write = [&](std::size_t i, const std::vector<Candidate>& f) {
        for (std::size_t j = 0; j < width; ++j) {
            ids[i * width + j] = f[j].id;
            distances[i * width + j] = f[j].distance;
        }
    };
    if (!split_rows(m, threads, set)) {
        threads = static_cast<unsigned>(std::min<std::size_t>(threads, m));
        // Tiles as large as the threads allow (each tile's queries share
        // every chunk of codes they screen), up to max_tile: a thread takes
        // one tile of a small batch, several of a large one.
        const std::size_t tile = std::clamp<std::size_t>((m + threads - 1) / threads, 1, max_tile);
        run_tiles(m, tile, threads, poll, [&](std::size_t first, std::size_t count, Interrupt& interrupt) {
            std::vector<std::vector<Candidate>> found(count);
            flat.search_many(queries + first * dim, count, k, set, found.data(), interrupt);
            for (std::size_t i = 0; i < count; ++i) write(first + i, found[i]);
        });
        return;
    }
    // Each part's best rows for every query, then merged: the first `width`
    // of the union in ranking order are the first of the whole set, since
    // each part kept at least as many of its own as can rank.
    const std::vector<RowSet> parts = parts_of(set, threads);
    std::vector<std::vector<Candidate>> found(parts.size() * m);
    run_tiles(parts.size(), 1, threads, poll, [&](std::size_t first, std::size_t count, Interrupt& interrupt) {
        for (std::size_t p = first; p < first + count; ++p) {
            flat.search_many(queries, m, k, parts[p], found.data() + p * m, interrupt);
        }
    });
    std::vector<Candidate> merged;
    for (std::size_t i = 0; i < m; ++i) {
        merged.clear();
        for (std::size_t p = 0; p < parts.size(); ++p) {
            merged.insert(merged.end(), found[p * m + i].begin(), found[p * m + i].end());
        }
        std::partial_sort(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(width), merged.end(),
                          ranks_before);
        write(i, merged);
    }
}

void search_radius_on_threads(const Flat& flat, const double* queries, std::size_t m, double radius, const RowSet& set,
                              std::vector<Candidate>* outs, unsigned threads, Poll poll) {
    for (std::size_t i = 0; i < m; ++i) outs[i].clear();
    if (m == 0 || set.count == 0) return;
    threads = std::max(threads, 1u);
    const std::size_t dim = flat.dim();
    if (!split_rows(m, threads, set)) {
        threads = static_cast<unsigned>(std::min<std::size_t>(threads, m));
        run_tiles(m, 1, threads, poll, [&](std::size_t first, std::size_t count, Interrupt& interrupt) {
            for (std::size_t i = first; i < first + count; ++i) {
                interrupt.step(set.count * dim);
                flat.search_radius(Vec(queries + i * dim, dim), radius, set, outs[i]);
            }
        });
        return;
    }
    const std::vector<RowSet> parts = parts_of(set, threads);
    std::vector<std::vector<Candidate>> found(parts.size() * m);
    run_tiles(parts.size(), 1, threads, poll, [&](std::size_t first, std::size_t count, Interrupt& interrupt) {
        for (std::size_t p = first; p < first + count; ++p) {
            for (std::size_t i = 0; i < m; ++i) {
                interrupt.step(parts[p].count * dim);
                flat.search_radius(Vec(queries + i * dim, dim), radius, parts[p], found[p * m + i]);
            }
        }
    });
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t p = 0; p < parts.size(); ++p) {
            outs[i].insert(outs[i].end(), found[p * m + i].begin(), found[p * m + i].end());
        }
        std::sort(outs[i].begin(), outs[i].end(), ranks_before);
    }
}

}  // namespace orbisk
