#include "graph/parallel.h"

#include <algorithm>
#include <new>

#include "common/interrupt.h"
#include "common/pool.h"

namespace orbisk {

bool Items::next(std::size_t& item, bool caller) {
    if (stop_.load(std::memory_order_relaxed)) return false;
    if (caller && poll_.check) {
        const auto now = Clock::now();
        if (now - last_look_ >= std::chrono::milliseconds(poll_interval_ms)) {
            last_look_ = now;
            if (poll_.check(poll_.context)) {
                interrupted_ = true;
                stop();
                return false;
            }
        }
    }
    item = next_.fetch_add(1, std::memory_order_relaxed);
    return item < count_;
}

namespace {

struct Run {
    Items& items;
    void (*body)(void*, Items&, bool);
    void* context;
    std::atomic<bool> out_of_memory{false};

    void work(bool caller) {
        try {
            body(context, items, caller);
        } catch (const std::bad_alloc&) {
            out_of_memory.store(true);
            items.stop();
        }
    }
};

}  // namespace

void run_items(Items& items, unsigned threads, void (*body)(void*, Items&, bool), void* context) {
    Run run{items, body, context};
    {
        const Helpers helpers([](void* r) { static_cast<Run*>(r)->work(false); }, &run, std::max(threads, 1u) - 1);
        run.work(true);
    }
    if (run.out_of_memory.load()) throw std::bad_alloc();
    if (items.interrupted()) throw Interrupted{};
}

}  // namespace orbisk
