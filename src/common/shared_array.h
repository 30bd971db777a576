#pragma once
// A growable array whose memory can outlive it: readers (a read-only view
// handed to a caller) hold the block they read, so a later append that moves
// the array, or a compaction that rewrites it, leaves their block as it was.
// The block may also be memory the array does not own (a file mapped
// read-only): the first write then copies it.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "common/memory.h"

namespace orbisk {

template <class T>
class SharedArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    /// The block readers hold: released when the array and every reader
    /// have let go of it.
    using Block = std::shared_ptr<const void>;

    SharedArray() = default;

    /// An array over `size` elements at `data` that it does not own and
    /// never writes; `keep` holds that memory alive.
    static SharedArray adopt(const T* data, std::size_t size, Block keep) {
        SharedArray a;
        a.block_ = std::move(keep);
        a.pages_.reset();
        a.data_ = const_cast<T*>(data);
        a.size_ = a.capacity_ = size;
        a.owned_ = false;
        return a;
    }

    std::size_t size() const { return size_; }
    const T* data() const { return data_; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    /// The block that holds data(): what a reader keeps.
    Block block() const { return pages_ ? Block(pages_, data_) : block_; }
    /// Bytes of memory this array holds (its capacity, or the adopted size).
    std::size_t bytes() const { return capacity_ * sizeof(T); }

    /// Room for `extra` more elements, and the block made writable (its own,
    /// and held by no reader, when `rewrite` says that elements already
    /// stored will change). Grows by an eighth at least, so that many small
    /// appends stay amortised without holding much slack. Throws
    /// std::bad_alloc with the array unchanged.
    void reserve_more(std::size_t extra, bool rewrite = false) {
        if (extra > max_elements - size_) throw std::bad_alloc();
        const bool shared = rewrite && readers();
        if (owned_ && !shared && size_ + extra <= capacity_) return;
        std::size_t want = size_ + extra;
        if (owned_ && want > capacity_) want = std::max(want, std::min(max_elements, capacity_ + capacity_ / 8));
        move_to(want);
    }

    /// Frees the slack beyond size() (after a compaction).
    void shrink() {
        if (owned_ && capacity_ > size_ && !readers()) move_to(size_);
    }

    /// Appends `count` elements; the room must be reserved (reserve_more).
    void append(const T* from, std::size_t count) {
        if (count) std::memcpy(data_ + size_, from, count * sizeof(T));
        size_ += count;
    }
    /// The reserved room past the elements: written before grow() takes it in.
    T* tail() { return data_ + size_; }
    /// The next `count` elements, to be written by the caller; reserved.
    T* grow(std::size_t count) {
        T* at = data_ + size_;
        size_ += count;
        return at;
    }
    /// Writable elements, after reserve_more(0, true).
    T* writable() { return data_; }
    void resize_down(std::size_t size) { size_ = std::min(size, size_); }
    void clear() { size_ = 0; }

  private:
    static constexpr std::size_t max_elements = (std::size_t{1} << 62) / sizeof(T);

    /// Stores this big take whole pages of their own.
    static constexpr std::size_t page_bytes = std::size_t{1} << 20;

    bool readers() const { return pages_ ? pages_.use_count() > 1 : block_.use_count() > 1; }

    void move_to(std::size_t capacity) {
        const std::size_t bytes = std::max<std::size_t>(capacity, 1) * sizeof(T);
        // Pages held by no reader move without a copy (and without a second
        // block alive meanwhile).
        if (owned_ && pages_ && !readers() && bytes >= page_bytes && pages_->resize(bytes)) {
            data_ = static_cast<T*>(pages_->data());
            capacity_ = capacity;
            advise_huge_pages(data_, bytes);
            return;
        }
        if (bytes >= page_bytes) {
            auto fresh = std::make_shared<Pages>(bytes);
            auto* to = static_cast<T*>(fresh->data());
            if (size_) std::memcpy(to, data_, size_ * sizeof(T));
            advise_huge_pages(to, bytes);
            data_ = to;
            pages_ = std::move(fresh);
            block_.reset();
        } else {
            std::shared_ptr<T[]> fresh(new T[std::max<std::size_t>(capacity, 1)]);
            if (size_) std::memcpy(fresh.get(), data_, size_ * sizeof(T));
            data_ = fresh.get();
            block_ = std::move(fresh);
            pages_.reset();
        }
        capacity_ = capacity;
        owned_ = true;
    }

    Block block_;
    std::shared_ptr<Pages> pages_;  ///< the block, when it is pages of its own
    T* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
    bool owned_ = true;
};

}  // namespace orbisk
