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

}  // namespace orbisk
