#pragma once
// Rows of one length stored one after another at the precision they come
// in: float64, or float32 for rows whose values are float32 values (as
// embeddings mostly are), at half the bytes. A float32 widened to float64 is
// exact, so everything computed from the widened values (every distance,
// code and norm) has the bits that float64 storage of the same values
// gives. The loops that read rows are templates over the stored type
// (visit), and widen in registers; nothing else sees which type is stored.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/shared_array.h"

namespace orbisk {

/// The type rows are stored as, chosen when an index is made.
enum class Storage : std::uint8_t {
    Float64,
    Float32,
};

/// Every storage's name: the one table the bindings read names from.
struct StorageName {
    std::string_view name;
    Storage storage;
};
inline constexpr StorageName storage_names[] = {
    {"float64", Storage::Float64},
    {"float32", Storage::Float32},
};

inline std::optional<Storage> storage_named(std::string_view name) {
    for (const StorageName& s : storage_names) {
        if (s.name == name) return s.storage;
    }
    return std::nullopt;
}

inline std::string_view storage_name(Storage storage) {
    return storage == Storage::Float32 ? storage_names[1].name : storage_names[0].name;
}

/// Bytes of one stored value.
inline std::size_t value_bytes(Storage storage) { return storage == Storage::Float32 ? 4 : 8; }

/// Whether float32 storage keeps `x` exactly: a float32 value, NaN or an
/// infinity. (Beyond float32's range the cast itself would be undefined.)
inline bool is_float32(double x) {
    if (!(std::fabs(x) <= std::numeric_limits<float>::max())) return !std::isfinite(x);
    return static_cast<double>(static_cast<float>(x)) == x;
}

/// The first of `rows` rows of `dim` values (one after another) holding a
/// value float32 storage cannot keep exactly; `rows` when there is none.
inline std::size_t first_inexact_row(const double* data, std::size_t rows, std::size_t dim) {
    for (std::size_t r = 0; r < rows; ++r) {
        bool exact = true;
        for (std::size_t i = 0; i < dim; ++i) exact &= is_float32(data[r * dim + i]);
        if (!exact) return r;
    }
    return rows;
}

class RowStore {
  public:
    using Block = std::shared_ptr<const void>;

    explicit RowStore(std::size_t dim = 0, Storage storage = Storage::Float64) : dim_(dim) {
        if (storage == Storage::Float32) values_.template emplace<SharedArray<float>>();
    }

    /// A store over `rows` rows at `data` that it does not own and never
    /// writes (a mapped file's); `keep` holds that memory alive.
    static RowStore adopt(std::size_t dim, Storage storage, const void* data, std::size_t rows, Block keep) {
        RowStore s(dim, storage);
        s.values_ =
            storage == Storage::Float32
                ? Values(SharedArray<float>::adopt(static_cast<const float*>(data), rows * dim, std::move(keep)))
                : Values(SharedArray<double>::adopt(static_cast<const double*>(data), rows * dim, std::move(keep)));
        return s;
    }

    Storage storage() const { return values_.index() == 1 ? Storage::Float32 : Storage::Float64; }
    std::size_t dim() const { return dim_; }
    /// Values stored (rows times dim).
    std::size_t size() const {
        return std::visit([](const auto& a) { return a.size(); }, values_);
    }
    /// The stored values in place, of the stored type.
    const void* data() const {
        return std::visit([](const auto& a) -> const void* { return a.data(); }, values_);
    }
    /// The block that holds data(): what a reader of it keeps.
    Block block() const {
        return std::visit([](const auto& a) { return a.block(); }, values_);
    }
    /// Bytes of memory held.
    std::size_t bytes() const {
        return std::visit([](const auto& a) { return a.bytes(); }, values_);
    }

    /// f(values) with the stored values as `const double*` or `const float*`:
    /// the one place a loop over rows learns their type.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit([&](const auto& a) -> decltype(auto) { return f(a.data()); }, values_);
    }

    /// Room for `rows` more rows. Throws std::bad_alloc with nothing changed.
    void reserve_more(std::size_t rows) {
        std::visit([&](auto& a) { a.reserve_more(rows * dim_); }, values_);
    }

    /// Writes `n` rows into the reserved room, `ahead` rows past the stored
    /// ones: pieces of an append are written so, each on its own thread,
    /// before grow() takes them in. Values stored as float32 must be float32
    /// values (first_inexact_row): they are narrowed exactly.
    template <class T>
    void write_ahead(std::size_t ahead, const T* rows, std::size_t n) {
        std::visit(
            [&](auto& a) {
                auto* to = a.tail() + ahead * dim_;
                using U = std::remove_pointer_t<decltype(to)>;
                if constexpr (std::is_same_v<T, U>) {
                    if (n) std::memcpy(to, rows, n * dim_ * sizeof(T));
                } else {
                    for (std::size_t i = 0; i < n * dim_; ++i) to[i] = static_cast<U>(rows[i]);
                }
            },
            values_);
    }
    /// Takes in the next `n` rows written ahead.
    void grow(std::size_t n) {
        std::visit([&](auto& a) { a.grow(n * dim_); }, values_);
    }
    /// Appends `n` rows, room reserved; as write_ahead.
    template <class T>
    void append(const T* rows, std::size_t n) {
        write_ahead(0, rows, n);
        grow(n);
    }
    /// Drops the rows from `rows` on; their room stays reserved.
    void truncate(std::size_t rows) {
        std::visit([&](auto& a) { a.resize_down(rows * dim_); }, values_);
    }
    /// Appends row `id` of `from`, a store of the same type and length.
    void append_row_of(const RowStore& from, std::size_t id) {
        std::visit(
            [&](auto& a) { a.append(std::get<std::decay_t<decltype(a)>>(from.values_).data() + id * dim_, dim_); },
            values_);
    }

  private:
    using Values = std::variant<SharedArray<double>, SharedArray<float>>;
    std::size_t dim_;
    Values values_;
};

}  // namespace orbisk
