#pragma once
// The borrow word of an instance: many readers or one writer, a conflicting
// borrow refused at once.

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace orbisk {

/// One word of borrow state per instance: 0 free, n readers, all ones a writer.
using BorrowWord = std::atomic<std::uintptr_t>;

/// Holds a shared or exclusive borrow for one call; refusal sets RuntimeError.
class Borrow {
  public:
    Borrow(BorrowWord& word, bool exclusive);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const { return held_; }

  private:
    BorrowWord& word_;
    bool exclusive_;
    bool held_ = false;
};

}  // namespace orbisk
