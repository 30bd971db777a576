#pragma once
// A say for the caller between the steps of a long operation (a batch of
// insertions): now and then the operation asks whether to stop, and stops
// before its next step when told to. The steps done before stay done.

#include <cstddef>

namespace orbisk {

/// Thrown by an operation that stopped because its caller asked it to. The
/// caller knows why (its check said so); nothing else is carried.
struct Interrupted {};

class Interrupt {
  public:
    /// True: stop. May run anything of the caller's, but not on the index.
    using Check = bool (*)(void* context);

    Interrupt() = default;  ///< never stops
    Interrupt(Check check, void* context) : check_(check), context_(context) {}

    /// Whether there is a caller to ask.
    bool asks() const { return check_ != nullptr; }
    /// Asks the caller now, whatever was counted: true to stop.
    bool stop_now() const { return check_ && check_(context_); }

    /// Counts `work` (values handled since the last call) and, once about
    /// 64 Ki values have been handled (well under a millisecond), asks the
    /// caller. Throws Interrupted when the caller says stop.
    void step(std::size_t work) {
        if (!check_) return;
        done_ += work;
        if (done_ < every) return;
        done_ = 0;
        if (check_(context_)) throw Interrupted{};
    }

  private:
    static constexpr std::size_t every = std::size_t{1} << 16;
    Check check_ = nullptr;
    void* context_ = nullptr;
    std::size_t done_ = 0;
};

}  // namespace orbisk
