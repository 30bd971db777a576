#include "common/pool.h"

#include <algorithm>
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

struct Pool {
    std::mutex mutex;
    std::condition_variable wake;      ///< requests queued
    std::condition_variable finished;  ///< a request ended
    std::deque<Request> queue;
    unsigned threads = 0;
};

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

void serve(Pool* p) {
    std::unique_lock lock(p->mutex);
    for (;;) {
        p->wake.wait(lock, [p] { return !p->queue.empty(); });
        const Request r = p->queue.front();
        p->queue.pop_front();
        ++r.owner->running;
        lock.unlock();
        r.job(r.context);
        lock.lock();
        if (--r.owner->running == 0) p->finished.notify_all();
    }
}

}  // namespace

Helpers::Helpers(void (*job)(void*), void* context, unsigned count) {
    if (count == 0) return;
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
    p.wake.notify_all();
}

Helpers::~Helpers() {
    if (!pool) return;
    Pool& p = *pool;
    std::unique_lock lock(p.mutex);
    std::erase_if(p.queue, [this](const Request& r) { return r.owner == this; });
    p.finished.wait(lock, [this] { return running == 0; });
}

unsigned pool_threads() {
    Pool& p = the_pool();
    std::lock_guard lock(p.mutex);
    return p.threads;
}

}  // namespace orbisk
