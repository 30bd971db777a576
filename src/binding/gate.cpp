#include "binding/gate.h"

#include <pthread.h>

#include <chrono>
#include <new>
#include <thread>

namespace orbisk {

namespace {

/// Bumped in every forked child. A gate whose state belongs to an older
/// generation was last passed in the parent, by threads the child has not.
std::atomic<std::uint64_t> fork_generation{0};

/// A gate's generation while one thread renews it.
constexpr std::uint64_t renewing = ~std::uint64_t{0};

/// How long a waiting call sleeps before it looks at the signals: Ctrl-C
/// ends a wait well within a second.
constexpr auto look_every = std::chrono::milliseconds(100);

/// The innermost pass this thread holds.
thread_local Pass* innermost = nullptr;

}  // namespace

Gate::Gate() noexcept : generation_(fork_generation.load(std::memory_order_relaxed)) {
    // Registered once, by the first gate. (It fails only without memory;
    // the gates of a forked child then keep their parent's passes.)
    [[maybe_unused]] static const bool watching = pthread_atfork(nullptr, nullptr, Pass::after_fork) == 0;
}

void Gate::reset(std::uint64_t generation) {
    // The parent's threads may have held the mutex or waited on the
    // condition when it forked: both start over (neither holds a resource).
    new (&mutex_) std::mutex;
    new (&changed_) std::condition_variable;
    readers_ = writers_waiting_ = readers_waiting_ = readers_first_ = 0;
    writing_ = false;
    generation_.store(generation, std::memory_order_release);
}

void Gate::renew() {
    const std::uint64_t now = fork_generation.load(std::memory_order_relaxed);
    for (std::uint64_t seen = generation_.load(std::memory_order_acquire); seen != now;
         seen = generation_.load(std::memory_order_acquire)) {
        // One thread renews the gate; any other waits until it has.
        if (seen != renewing && generation_.compare_exchange_strong(seen, renewing, std::memory_order_acquire)) {
            reset(now);
            return;
        }
        std::this_thread::yield();
    }
}

void Pass::after_fork() {
    const std::uint64_t now = fork_generation.fetch_add(1, std::memory_order_relaxed) + 1;
    // The passes this thread holds (it forked from inside a call, from a
    // signal handler) go on in the child: their gates start over holding
    // them alone. Any other gate starts over when it is next passed.
    for (Pass* p = innermost; p; p = p->outer_) {
        Gate& g = p->gate_;
        if (g.generation_.load(std::memory_order_relaxed) != now) g.reset(now);
        if (p->mode_ == Read) {
            ++g.readers_;
        } else {
            g.writing_ = true;
        }
    }
}

Pass::Pass(Gate& gate, Mode mode, const char* call) : gate_(gate), mode_(mode), outer_(innermost) {
    gate.renew();
    held_ = enter(call);
    if (held_) innermost = this;
}

Pass::~Pass() { end(); }

void Pass::end() {
    if (!held_) return;
    held_ = false;
    for (Pass** at = &innermost; *at; at = &(*at)->outer_) {
        if (*at == this) {
            *at = outer_;
            break;
        }
    }
    std::lock_guard lock(gate_.mutex_);
    if (mode_ == Read) {
        if (--gate_.readers_ == 0) gate_.changed_.notify_all();
        return;
    }
    gate_.writing_ = false;
    // The readers that waited through this change pass before the next one.
    gate_.readers_first_ = gate_.readers_waiting_;
    gate_.changed_.notify_all();
}

bool Pass::open() const {
    const Gate& g = gate_;
    if (mode_ == Read) return !g.writing_ && (g.writers_waiting_ == 0 || g.readers_first_ > 0);
    return !g.writing_ && g.readers_ == 0 && g.readers_first_ == 0;
}

bool Pass::enter(const char* call) {
    for (const Pass* p = innermost; p; p = p->outer_) {
        if (&p->gate_ != &gate_) continue;
        // This thread is in the gate already: a signal handler's call inside
        // a call of its own. A read joins its read at once (waiting behind a
        // writer that waits for this very thread would never end); anything
        // else would wait for itself.
        if (mode_ == Read && p->mode_ == Read) {
            std::lock_guard lock(gate_.mutex_);
            ++gate_.readers_;
            return true;
        }
        PyErr_Format(PyExc_RuntimeError, "%s: this thread is %s the index already", call,
                     p->mode_ == Read ? "searching" : "changing");
        return false;
    }
    std::unique_lock lock(gate_.mutex_);
    // First with the interpreter lock held: when nothing stands in the way
    // (nearly always), no thread switch.
    if (open()) {
        take();
        return true;
    }
    return wait(lock);
}

bool Pass::wait(std::unique_lock<std::mutex>& lock) {
    join_queue();
    // The mutex stays held while the interpreter lock goes: releasing it
    // never blocks.
    PyThreadState* state = PyEval_SaveThread();
    while (!gate_.changed_.wait_for(lock, look_every, [this] { return open(); })) {
        // A look at the signals. Out of the queue meanwhile: a handler may
        // pass this gate itself. The interpreter lock is taken without the
        // gate's mutex, which its holder may be waiting for.
        leave_queue(false);
        // Either may open the gate to others: to readers when no writer
        // waits, to a writer when the readers' turn ends.
        gate_.changed_.notify_all();
        lock.unlock();
        PyEval_RestoreThread(state);
        if (PyErr_CheckSignals() < 0) return false;
        state = PyEval_SaveThread();
        lock.lock();
        join_queue();
    }
    leave_queue(true);
    take();
    // Passed: the interpreter lock is taken back without the gate's mutex.
    lock.unlock();
    PyEval_RestoreThread(state);
    return true;
}

void Pass::join_queue() { ++(mode_ == Read ? gate_.readers_waiting_ : gate_.writers_waiting_); }

void Pass::leave_queue(bool passing) {
    if (mode_ == Write) {
        --gate_.writers_waiting_;
        return;
    }
    --gate_.readers_waiting_;
    if (passing && gate_.readers_first_ > 0) --gate_.readers_first_;
    if (gate_.readers_first_ > gate_.readers_waiting_) gate_.readers_first_ = gate_.readers_waiting_;
}

void Pass::take() {
    if (mode_ == Read) {
        ++gate_.readers_;
    } else {
        gate_.writing_ = true;
    }
}

}  // namespace orbisk
