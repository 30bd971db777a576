#pragma once
// Threads kept from one call to the next: a batch asks some of them to help
// while its calling thread works too, instead of starting threads of its own
// each time. The pool grows to the most helpers any call asked for, up to a
// cap of its own; its threads sleep between calls and last as long as the
// process.

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

}  // namespace orbisk
