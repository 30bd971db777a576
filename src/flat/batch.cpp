#include "flat/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "common/interrupt.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace orbisk {

namespace {

constexpr std::size_t max_tile = 32;
using Clock = std::chrono::steady_clock;

/// What the threads of one batch share: the next query to take, and why to
/// stop early.
struct Shared {
    const Flat& flat;
    const double* queries;
    std::size_t m;
    std::uint32_t k;
    std::size_t width;
    std::int64_t* ids;
    double* distances;
    std::size_t tile;  ///< queries taken at a time, screened together
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> out_of_memory{false};

    /// Answers tiles of queries until none is left; Interrupted when
    /// `interrupt` says stop (between chunks of a tile).
    void answer_tiles(Interrupt interrupt) {
        std::vector<std::vector<Candidate>> found(tile);
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t first = next.fetch_add(tile, std::memory_order_relaxed);
            if (first >= m) return;
            const std::size_t count = std::min(tile, m - first);
            flat.search_many(queries + first * flat.dim(), count, k, found.data(), interrupt);
            for (std::size_t i = first; i < first + count; ++i) {
                const std::vector<Candidate>& f = found[i - first];
                for (std::size_t j = 0; j < width; ++j) {
                    ids[i * width + j] = f[j].id;
                    distances[i * width + j] = f[j].distance;
                }
            }
        }
    }

    /// A thread's whole share: stops when another thread stopped the batch.
    void work(Interrupt interrupt) {
        try {
            answer_tiles(interrupt);
        } catch (const Interrupted&) {
        } catch (const std::bad_alloc&) {
            out_of_memory.store(true);
            stop.store(true);
        }
    }

    static bool stopped(void* self) { return static_cast<Shared*>(self)->stop.load(std::memory_order_relaxed); }
};

/// The calling thread's look between chunks: the batch's stop, and every
/// poll_interval_ms the caller's poll.
struct Caller {
    Shared& shared;
    Poll poll;
    Clock::time_point last_look;
    bool interrupted = false;

    static bool check(void* self) {
        auto* c = static_cast<Caller*>(self);
        if (c->shared.stop.load(std::memory_order_relaxed)) return true;
        const auto now = Clock::now();
        if (now - c->last_look < std::chrono::milliseconds(poll_interval_ms)) return false;
        c->last_look = now;
        if (!c->poll.check(c->poll.context)) return false;
        c->interrupted = true;
        c->shared.stop.store(true);
        return true;
    }
};

}  // namespace

unsigned default_threads(std::size_t m) {
    unsigned cores = 0;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<unsigned>(CPU_COUNT(&set));
#endif
    if (cores == 0) cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp<std::size_t>(m, 1, cores));
}

void search_batch(const Flat& flat, const double* queries, std::size_t m, std::uint32_t k, std::int64_t* ids,
                  double* distances, unsigned threads, Poll poll) {
    const std::size_t width = batch_width(flat, k);
    if (m == 0 || width == 0) return;
    threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, m));
    // Tiles small enough that every thread gets several, so that they end
    // together.
    const std::size_t tile = std::clamp<std::size_t>(m / (4 * threads), 1, max_tile);
    Shared shared{flat, queries, m, k, width, ids, distances, tile};

    std::vector<std::thread> workers;
    try {
        workers.reserve(threads - 1);
        for (unsigned t = 1; t < threads; ++t) {
            workers.emplace_back([&shared] { shared.work(Interrupt(Shared::stopped, &shared)); });
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked: the others take their share.
    } catch (const std::bad_alloc&) {
    }

    // The calling thread answers queries too, and looks at its caller
    // between chunks. The first look comes before any work: a signal that
    // arrived before the call stops it at once.
    Caller caller{shared, poll, Clock::now() - std::chrono::milliseconds(poll_interval_ms)};
    if (poll.check && Caller::check(&caller)) {
        // stopped before it started
    } else {
        shared.work(poll.check ? Interrupt(Caller::check, &caller) : Interrupt(Shared::stopped, &shared));
    }
    // Every tile is taken or the batch stopped: each worker ends its chunk.
    for (auto& w : workers) w.join();
    if (shared.out_of_memory.load()) throw std::bad_alloc();
    if (caller.interrupted) throw Interrupted{};
}

}  // namespace orbisk
