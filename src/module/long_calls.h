#pragma once
// What a long call needs: a say for Ctrl-C between its steps, and the heap's
// free pages handed back after a big batch.

#include <Python.h>

#include <cstddef>

#include "common/interrupt.h"
#include "common/memory.h"

namespace orbisk {

/// Asks the interpreter between the steps of a long call whether a signal
/// handler raised (KeyboardInterrupt, for Ctrl-C): its exception then ends
/// the call.
inline Interrupt pending_signals() {
    return Interrupt([](void*) { return PyErr_CheckSignals() < 0; }, nullptr);
}

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
