#pragma once
// The input of a batch: a 2-D array of real numbers (rows to add, queries),
// held for the call and read as float64.

#include <Python.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "binding/buffers.h"

namespace orbisk {

/// A held C-contiguous buffer of shape (n, dim) and the float64 values of
/// its rows: in place when it holds aligned float64 already, else converted
/// (all at once, or a chunk of rows at a time).
class Matrix {
  public:
    /// Takes `obj` as a 2-D array of `dim` columns (float64, float32, ints
    /// or bools); false with an exception set when it is not one, or when a
    /// value has no exact float64 (a 64-bit integer beyond 2^53 without one
    /// of its own), checked over the whole array. With `convert`, every
    /// value is converted at once (data() holds them); without, rows()
    /// converts them on demand. With `vector`, a 1-D array of `dim` values
    /// instead: one row.
    bool take(PyObject* obj, const char* what, std::size_t dim, bool convert = true, bool vector = false);

    std::size_t rows() const { return rows_; }
    std::size_t dim() const { return dim_; }
    /// Every value, after take(..., convert = true).
    const double* data() const { return in_place() ? doubles() : copy_.data(); }
    /// Rows [first, first + count) as float64: in place when they are, else
    /// converted into `buffer` (resized; std::bad_alloc when it cannot be).
    const double* rows(std::size_t first, std::size_t count, std::vector<double>& buffer) const;
    /// Whether the rows are read in place: aligned float64.
    bool in_place() const;
    /// The values in place when they are aligned float32 items; else null.
    const float* float32s() const;
    /// NonFiniteError naming the first row that holds NaN or an infinity
    /// (after take(..., convert = true)), as "row R of <what> holds NaN or
    /// infinity", R in its `row`.
    bool finite(const char* what) const;

  private:
    const double* doubles() const { return static_cast<const double*>(buffer_.view().buf); }
    bool exact(const char* what) const;
    void convert_rows(std::size_t first, std::size_t count, double* out) const;

    HeldBuffer buffer_;
    Item item_{Item::Float, 8};
    std::size_t rows_ = 0, dim_ = 0;
    std::vector<double> copy_;
};

/// orbisk_engine.NonFiniteError and orbisk_engine.InexactRowError,
/// ValueError subclasses naming a row in their `row`, created on first
/// request (borrowed; they live for the whole process). Null with an
/// exception set when creation fails.
PyObject* nonfinite_error();
PyObject* inexact_row_error();

/// Sets `type`("row R of <what> <says>") with R in its `row`; returns null.
PyObject* raise_row_error(PyObject* type, std::size_t row, const char* what, const char* says);

}  // namespace orbisk
