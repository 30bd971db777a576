#pragma once
// Threads kept from one call to the next: a batch asks some of them to help
// while its calling thread works too, instead of starting threads of its own
// each time. The pool grows to the most helpers any call asked for, up to a
// cap of its own; its threads sleep between calls and last as long as the
// process.

namespace orbisk {

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

    /// Requests a pool thread took (guarded by the pool's lock).
    unsigned running = 0;
};

/// Threads the pool has started (a test's view).
unsigned pool_threads();

}  // namespace orbisk
