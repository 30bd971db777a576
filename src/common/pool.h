#pragma once
// Threads kept from one call to the next: a batch asks some of them to help
// while its calling thread works too, instead of starting threads of its own
// each time. The pool grows to the most helpers any call asked for, up to a
// cap of its own; its threads sleep between calls and last as long as the
// process.

#include <chrono>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "common/interrupt.h"

namespace orbisk {

struct Pool;

/// Up to `count` pool threads running job(context) beside the calling thread:
/// asked when made, waited for when destroyed. A request no thread took by
/// then is withdrawn, so the job must be one the calling thread finishes
/// alone (as a batch's tiles are: whoever is there takes the next).
class Helpers {
  public:
    Helpers(void (*job)(void*), void* context, unsigned count);
    ~Helpers();
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

  private:
    friend struct Pool;
    /// Requests a pool thread took and has not finished: read and written
    /// only by the pool, under its lock (Pool::running_of asks for it).
    unsigned running_ = 0;
};

/// Threads the pool has started (a test's view).
unsigned pool_threads();

/// A job cut into `items` items: run(context, first, count, interrupt) does
/// the items [first, first + count), stepping `interrupt` as it goes.
struct Tiles {
    void (*run)(void* context, std::size_t first, std::size_t count, Interrupt& interrupt);
    void* context;
    std::size_t items;
    std::size_t tile;  ///< items taken at a time
};

/// Runs every tile of `tiles` on up to `threads` threads, the calling one
/// among them and the others from the pool (Helpers), each taking the next
/// tile when it is free. The calling thread alone asks `interrupt`: before
/// any work, and whenever its tiles step it. Throws Interrupted when it said
/// stop, std::bad_alloc when a tile ran out of memory; the tiles not taken by
/// then never run, and those under way stop at their next step.
void run_tiles(const Tiles& tiles, unsigned threads, Interrupt interrupt);

/// run_tiles with f(first, count, interrupt) as the job.
template <class F>
void run_tiles(std::size_t items, std::size_t tile, unsigned threads, Interrupt interrupt, F&& f) {
    using Job = std::remove_reference_t<F>;
    const Tiles tiles{
        [](void* c, std::size_t first, std::size_t count, Interrupt& i) { (*static_cast<Job*>(c))(first, count, i); },
        &f, items, tile};
    run_tiles(tiles, threads, interrupt);
}

/// A look at the caller, made on the calling thread only, about every
/// `poll_interval_ms` while a call runs: true stops the call.
struct Poll {
    bool (*check)(void* context) = nullptr;
    void* context = nullptr;
};

inline constexpr unsigned poll_interval_ms = 20;

/// `poll` as an interrupt, looked at no more often than every
/// poll_interval_ms (the first time at once): a look may cost a system call
/// or the interpreter lock, a step far less.
class TimedPoll {
  public:
    explicit TimedPoll(Poll poll) : poll_(poll) {}
    Interrupt interrupt() { return poll_.check ? Interrupt(check, this) : Interrupt(); }

  private:
    using Clock = std::chrono::steady_clock;
    static bool check(void* self) {
        auto* t = static_cast<TimedPoll*>(self);
        const auto now = Clock::now();
        if (now - t->last_look_ < std::chrono::milliseconds(poll_interval_ms)) return false;
        t->last_look_ = now;
        return t->poll_.check(t->poll_.context);
    }
    Poll poll_;
    Clock::time_point last_look_ = Clock::now() - std::chrono::milliseconds(poll_interval_ms);
};

/// run_tiles with the calling thread looking at `poll`.
template <class F>
void run_tiles(std::size_t items, std::size_t tile, unsigned threads, Poll poll, F&& f) {
    TimedPoll timed(poll);
    run_tiles(items, tile, threads, timed.interrupt(), f);
}

}  // namespace orbisk
