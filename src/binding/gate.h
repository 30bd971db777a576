#pragma once
// The reader-writer gate of an index that several threads share: searches
// pass together, a change passes alone. A change waits for the searches in
// progress, and searches that come meanwhile wait behind it, so a stream of
// searches cannot starve a writer; the searches that waited through a change
// pass before the next change, so a stream of changes cannot starve them
// either. Whoever waits waits with the interpreter lock released, so that
// the calls it waits for can end, and looks at the signals now and then.
//
// A change may write with the interpreter lock released (an add computes
// its rows' codes on several threads), so every read of what a change
// alters passes the gate, len and a view of the rows too. A signal handler
// that runs inside a change (between its pieces) and reads its index is
// refused rather than shown half a change.

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orbisk {

class Gate {
  public:
    Gate() noexcept;
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

  private:
    friend class Pass;
    /// Forgets the passes of the process this one was forked from, when
    /// they are still counted here.
    void renew();
    /// Starts over with no pass, in process generation `generation`.
    void reset(std::uint64_t generation);

    std::mutex mutex_;  ///< held for a few instructions at a time, never while taking the interpreter lock
    std::condition_variable changed_;
    /// The process generation (fork_generation) the state below belongs to.
    std::atomic<std::uint64_t> generation_;
    unsigned readers_ = 0;
    bool writing_ = false;
    unsigned writers_waiting_ = 0;
    unsigned readers_waiting_ = 0;
    /// Readers that waited through the last change and have not passed yet:
    /// no change passes before them. Never more than readers_waiting_.
    unsigned readers_first_ = 0;
};

/// One call's passage through a gate, from construction (with the
/// interpreter lock held) to destruction (with or without it).
class Pass {
  public:
    enum Mode { Read, Write };
    /// Passes, waiting when it must; false, with the exception set, when a
    /// signal's handler raised while it waited (KeyboardInterrupt), or when
    /// this thread is in the gate already in a way it would wait for (a
    /// signal handler changing the index that its own thread searches):
    /// RuntimeError naming `call`.
    Pass(Gate& gate, Mode mode, const char* call);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    explicit operator bool() const { return held_; }
    /// Leaves the gate now rather than at the end of the scope (a search
    /// leaves before it waits for the interpreter lock).
    void end();

  private:
    friend class Gate;
    /// In a forked child: the thread that forked is the only one, and its
    /// passes are the only ones held.
    static void after_fork();
    bool enter(const char* call);
    bool wait(std::unique_lock<std::mutex>& lock);
    bool open() const;
    void join_queue();
    /// Out of the waiting queue: `passing` the gate, or for a while.
    void leave_queue(bool passing);
    void take();

    Gate& gate_;
    Mode mode_;
    bool held_ = false;
    Pass* outer_;  ///< the pass this thread held before this one
};

}  // namespace orbisk
