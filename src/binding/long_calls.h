#pragma once
// What a long call needs: a say for Ctrl-C between its steps, with the
// interpreter lock held or released, and the heap's free pages handed back
// after a big batch.

#include <Python.h>

#include <chrono>
#include <cstddef>

#include "binding/callable.h"
#include "binding/gate.h"
#include "common/interrupt.h"
#include "common/memory.h"

namespace orbisk {

/// Asks the interpreter between the steps of a long call whether a signal
/// handler raised (KeyboardInterrupt, for Ctrl-C): its exception then ends
/// the call.
inline Interrupt pending_signals() {
    return Interrupt([](void*) { return PyErr_CheckSignals() < 0; }, nullptr);
}

/// The look at the signals of a call running without the interpreter
/// lock, made on the calling thread: check(this) takes the lock back for
/// the look and releases it again (a core's poll or interrupt callback).
struct Released {
    PyThreadState* state;
    std::chrono::steady_clock::time_point looked{};
    static bool check(void* self) {
        auto* r = static_cast<Released*>(self);
        PyEval_RestoreThread(r->state);
        const bool stop = PyErr_CheckSignals() < 0;
        r->state = PyEval_SaveThread();
        r->looked = std::chrono::steady_clock::now();
        return stop;
    }
    /// check(), once 20 ms have passed since the last look: the interrupt
    /// of a core that asks every few tens of microseconds, which would
    /// otherwise wait for the interpreter lock as often (up to the switch
    /// interval each time, while another thread runs Python).
    static bool check_now_and_then(void* self) {
        const auto* r = static_cast<const Released*>(self);
        return std::chrono::steady_clock::now() - r->looked >= std::chrono::milliseconds(20) && check(self);
    }
    Interrupt interrupt() { return Interrupt(check_now_and_then, this); }
};

/// Runs body(released) with the interpreter lock released; `released` is
/// the body's look at the signals. Whatever the body throws is thrown again
/// once the lock is back (guarded() makes it a Python exception). `leaving`,
/// when given, is ended first: the body was the last to read what it
/// guards, and a writer waiting for it need not wait for this thread to get
/// the interpreter lock back.
void without_lock(CallableRef<void(Released&)> body, Pass* leaving = nullptr);

/// Releases the heap's free pages when it goes out of scope, if a batch of
/// at least 1 MiB was handled; declared first in a method, so that it runs
/// after the method's own buffers are gone.
class ReleaseAfterBatch {
  public:
    ReleaseAfterBatch() = default;
    ReleaseAfterBatch(const ReleaseAfterBatch&) = delete;
    ReleaseAfterBatch& operator=(const ReleaseAfterBatch&) = delete;
    ~ReleaseAfterBatch() {
        if (bytes_ >= (std::size_t{1} << 20)) release_free_memory();
    }
    void handled(std::size_t bytes) { bytes_ += bytes; }

  private:
    std::size_t bytes_ = 0;
};

}  // namespace orbisk
