#include "binding/borrow.h"

namespace orbisk {

Borrow::Borrow(BorrowWord& word, bool exclusive) : word_(word), exclusive_(exclusive) {
    constexpr std::uintptr_t writer = ~std::uintptr_t{0};
    if (exclusive) {
        std::uintptr_t expected = 0;
        held_ = word.compare_exchange_strong(expected, writer, std::memory_order_acquire, std::memory_order_relaxed);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
    }
    std::uintptr_t current = word.load(std::memory_order_relaxed);
    while (current != writer) {
        if (word.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            held_ = true;
            return;
        }
    }
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

Borrow::~Borrow() {
    if (!held_) return;
    if (exclusive_) {
        word_.store(0, std::memory_order_release);
    } else {
        word_.fetch_sub(1, std::memory_order_release);
    }
}

}  // namespace orbisk
