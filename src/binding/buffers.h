#pragma once
// Buffers: what an item of a buffer is, read from its format, and its items
// as doubles; and a buffer held for the length of a call. Every buffer of
// numbers either module takes is read through here.

#include <Python.h>

#include <cstddef>
#include <optional>

namespace orbisk {

/// One item of a buffer that holds real numbers, in this machine's byte
/// order: its kind and its size in bytes.
struct Item {
    enum Kind : char { Float, Signed, Unsigned, Bool };
    Kind kind;
    std::size_t size;
    bool is(Kind k, std::size_t s) const { return kind == k && size == s; }
    bool integer() const { return kind == Signed || kind == Unsigned; }
};

/// Which format prefixes read in this machine's byte order. A bare code
/// and '@' always do, at native sizes. '<' and '=' do too (this machine is
/// little-endian), at the standard sizes; a consumer that must read exactly
/// what iterating the object gives takes them only where the object
/// iterates them as their values (numpy arrays, not memoryviews).
enum class Prefixes { Native, Little };

/// The item of a format of one code ('d', 'f', 'b', 'B', '?', 'h', 'H',
/// 'i', 'I', 'l', 'L', 'q', 'Q', after a prefix `prefixes` accepts), when
/// `itemsize` is that code's size under that prefix; nothing otherwise
/// (another code, a structure, another byte order, a size that disagrees).
/// A null format is 'B'.
std::optional<Item> item_of(const char* format, Py_ssize_t itemsize, Prefixes prefixes);

/// Reads `n` items one after another at `from` (aligned or not) as doubles:
/// each the exact value of its number, a bool as 0 or 1.
void read_items(Item item, const void* from, std::size_t n, double* out);

/// A buffer held from take() to the end of its scope (or of its new
/// owner's, when moved).
class HeldBuffer {
  public:
    HeldBuffer() = default;
    ~HeldBuffer() { release(); }
    HeldBuffer(HeldBuffer&& other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }
    HeldBuffer& operator=(HeldBuffer&& other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            other.view_.obj = nullptr;
        }
        return *this;
    }

    /// PyObject_GetBuffer with `flags`: false with the exception set.
    bool take(PyObject* obj, int flags);
    void release() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    bool held() const { return view_.obj != nullptr; }
    const Py_buffer& view() const { return view_; }
    /// The item its format names, under `prefixes` (see item_of).
    std::optional<Item> item(Prefixes prefixes) const { return item_of(view_.format, view_.itemsize, prefixes); }

  private:
    Py_buffer view_{};
};

}  // namespace orbisk
