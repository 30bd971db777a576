#pragma once
// Results as buffers numpy wraps without a copy: arrays of int64, float64,
// float32 or bytes, each the owner of its memory, or a read-only view of
// memory an index shares (its rows), holding that memory while it lives.

#include <Python.h>

#include <cstddef>

#include "binding/ref.h"
#include "common/shared_array.h"

namespace orbisk {

/// The class of results (orbisk_engine.ResultBuffer), created on first
/// request (borrowed; it lives for the whole process). Null with an
/// exception set when creation fails.
PyTypeObject* result_type();

/// A new array of `format` items ('q', 'd', 'f', 'I' or 'B'), shape (rows, cols)
/// (2-D, also of no columns), uninitialised. Null with an exception set
/// when it cannot be had.
Ref new_matrix(char format, std::size_t rows, std::size_t cols);
/// The same of shape (count,).
Ref new_vector(char format, std::size_t count);
/// A new array of shape (count,) holding a copy of the items at `from`.
Ref copied_vector(char format, std::size_t count, const void* from);
/// A read-only array of shape (rows, cols) over `data`, which `held`
/// keeps alive (null: memory that lives for the whole process).
Ref shared_matrix(char format, std::size_t rows, std::size_t cols, const void* data, SharedArray<double>::Block held);

/// The items of an array made above.
void* result_data(const Ref& result);
template <class T>
T* result_items(const Ref& result) {
    return static_cast<T*>(result_data(result));
}

}  // namespace orbisk
