#pragma once
// The graph's work on several threads: items (rows to link, queries to
// answer) taken one at a time, in order, by whichever thread is free; the
// calling thread among them, and the only one that looks at its caller.

#include <atomic>
#include <chrono>
#include <cstddef>

#include "flat/batch.h"

namespace orbisk {

/// The items of one call, shared by its threads.
class Items {
  public:
    Items(std::size_t count, Poll poll) : count_(count), poll_(poll) {}

    /// The next item for this thread, or false once none is left or the call
    /// is stopping. `caller` is true on the calling thread alone: it asks
    /// the caller's poll about every poll_interval_ms (an item takes far
    /// less), so a Ctrl-C is answered within a second.
    bool next(std::size_t& item, bool caller);
    /// Stops the call: no thread takes another item.
    void stop() { stop_.store(true, std::memory_order_relaxed); }
    /// Items taken: those before it are done, or being done, by someone.
    std::size_t taken() const { return std::min(next_.load(), count_); }
    bool interrupted() const { return interrupted_; }

  private:
    using Clock = std::chrono::steady_clock;
    std::size_t count_;
    Poll poll_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    bool interrupted_ = false;  ///< the calling thread's alone
    Clock::time_point last_look_ = Clock::now() - std::chrono::milliseconds(poll_interval_ms);
};

/// Runs body(items, caller) on up to `threads` threads (the calling one,
/// then pool threads), each taking items until none is left. A thread that
/// runs out of memory stops the call; once every thread has returned, that
/// is thrown as std::bad_alloc, and a stop the poll asked for as Interrupted.
/// Every item taken was finished by the thread that took it.
void run_items(Items& items, unsigned threads, void (*body)(void* context, Items& items, bool caller), void* context);

template <class F>
void run_items(Items& items, unsigned threads, F& body) {
    run_items(items, threads, [](void* c, Items& i, bool caller) { (*static_cast<F*>(c))(i, caller); }, &body);
}

}  // namespace orbisk
