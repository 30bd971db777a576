#include "common/pool.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(__unix__)
#include <pthread.h>
#endif

namespace orbisk {

namespace {

struct Request {
    void (*job)(void*);
    void* context;
    Helpers* owner;
};

}  // namespace

struct Pool {
    std::mutex mutex;
    std::condition_variable wake;      ///< requests queued
    std::condition_variable finished;  ///< a request ended
    std::deque<Request> queue;
    std::atomic<std::size_t> queued{0};  ///< queue.size(), readable without the lock
    unsigned threads = 0;

    /// The requests of `owner` under way; `held` is the lock on `mutex`,
    /// which guards them.
    unsigned& running_of(Helpers& owner, const std::unique_lock<std::mutex>& held) {
        assert(held.owns_lock() && held.mutex() == &mutex);
        (void)held;
        return owner.running_;
    }
};

namespace {

/// Never destroyed: its threads may still wait on it while the process
/// exits. After fork() the child has none of the parent's threads (and the
/// lock may have been held by one of them), so it starts a pool of its own.
Pool* pool = nullptr;

Pool& the_pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        pool = new Pool;
#if defined(__unix__)
        pthread_atfork(nullptr, nullptr, [] { pool = new Pool; });
#endif
    });
    return *pool;
}

/// A thread that just finished a request looks for the next one for a
/// while before it sleeps: calls that follow each other closely then find
/// it awake (waking a sleeping thread takes tens of microseconds on a
/// virtual machine, as long as a small batch).
constexpr auto awake_for = std::chrono::microseconds(200);

void serve(Pool* p) {
    std::unique_lock lock(p->mutex);
    for (;;) {
        if (p->queue.empty()) {
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + awake_for;
            while (p->queued.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            }
            lock.lock();
        }
        p->wake.wait(lock, [p] { return !p->queue.empty(); });
        const Request r = p->queue.front();
        p->queue.pop_front();
        p->queued.store(p->queue.size(), std::memory_order_relaxed);
        ++p->running_of(*r.owner, lock);
        lock.unlock();
        r.job(r.context);
        lock.lock();
        if (--p->running_of(*r.owner, lock) == 0) p->finished.notify_all();
    }
}

/// Threads the pool starts at most: a call asking for more is served by
/// these (every call's bits are the same for any number of threads), and
/// one call asking for thousands does not leave thousands behind.
unsigned most_threads() {
    static const unsigned most = std::max(64u, 4 * std::thread::hardware_concurrency());
    return most;
}

}  // namespace

Helpers::Helpers(void (*job)(void*), void* context, unsigned count) {
    if (count == 0) return;
    count = std::min(count, most_threads());
    Pool& p = the_pool();
    std::lock_guard lock(p.mutex);
    try {
        for (; p.threads < count; ++p.threads) std::thread(serve, &p).detach();
    } catch (const std::system_error&) {
        // Fewer threads than asked: the calling thread takes the others' share.
    } catch (const std::bad_alloc&) {
    }
    try {
        for (unsigned i = 0; i < std::min(count, p.threads); ++i) p.queue.push_back({job, context, this});
    } catch (const std::bad_alloc&) {
        // as many helpers as could be asked
    }
    p.queued.store(p.queue.size(), std::memory_order_relaxed);
    p.wake.notify_all();
}

Helpers::~Helpers() {
    if (!pool) return;
    Pool& p = *pool;
    std::unique_lock lock(p.mutex);
    std::erase_if(p.queue, [this](const Request& r) { return r.owner == this; });
    p.queued.store(p.queue.size(), std::memory_order_relaxed);
    p.finished.wait(lock, [&] { return p.running_of(*this, lock) == 0; });
}

unsigned pool_threads() {
    Pool& p = the_pool();
    std::lock_guard lock(p.mutex);
    return p.threads;
}

namespace {

/// What the threads of one run share: the next tile to take, and why to
/// stop early.
struct Shared {
    const Tiles& tiles;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> out_of_memory{false};

    /// Takes tiles until none is left; Interrupted when `interrupt` says stop.
    void take_tiles(Interrupt& interrupt) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t first = next.fetch_add(tiles.tile, std::memory_order_relaxed);
            if (first >= tiles.items) return;
            tiles.run(tiles.context, first, std::min(tiles.tile, tiles.items - first), interrupt);
        }
    }

    /// A thread's whole share: stops when another thread stopped the run.
    void work(Interrupt interrupt) {
        try {
            take_tiles(interrupt);
        } catch (const Interrupted&) {
        } catch (const std::bad_alloc&) {
            out_of_memory.store(true);
            stop.store(true);
        }
    }

    static bool stopped(void* self) { return static_cast<Shared*>(self)->stop.load(std::memory_order_relaxed); }
};

/// The calling thread's look between its steps: the run's stop, then its
/// caller's interrupt.
struct Caller {
    Shared& shared;
    Interrupt interrupt;
    bool interrupted = false;

    static bool check(void* self) {
        auto* c = static_cast<Caller*>(self);
        if (c->shared.stop.load(std::memory_order_relaxed)) return true;
        if (!c->interrupt.stop_now()) return false;
        c->interrupted = true;
        c->shared.stop.store(true);
        return true;
    }
};

}  // namespace

void run_tiles(const Tiles& tiles, unsigned threads, Interrupt interrupt) {
    Shared shared{tiles};
    Caller caller{shared, interrupt};
    {
        // No more threads than tiles (and the calling one, whatever there is).
        const std::size_t takers = std::max<std::size_t>(1, (tiles.items + tiles.tile - 1) / tiles.tile);
        const Helpers helpers(
            [](void* s) {
                auto* sh = static_cast<Shared*>(s);
                sh->work(Interrupt(Shared::stopped, sh));
            },
            &shared, static_cast<unsigned>(std::min<std::size_t>(std::max(threads, 1u), takers) - 1));
        // The calling thread works too, and looks at its caller between
        // steps. The first look comes before any work: a signal that arrived
        // before the call stops it at once.
        if (!(interrupt.asks() && Caller::check(&caller))) {
            shared.work(interrupt.asks() ? Interrupt(Caller::check, &caller) : Interrupt(Shared::stopped, &shared));
        }
        // Every tile is taken or the run stopped: each helper ends its tile
        // before `helpers` lets `shared` go.
    }
    if (shared.out_of_memory.load()) throw std::bad_alloc();
    if (caller.interrupted) throw Interrupted{};
}

}  // namespace orbisk
