#pragma once
// The arguments of a batch beside its queries: row ids, a mask over the
// rows, a number of threads. Each is read before the call passes its
// index's gate (reading may run Python code: an exporter, an __index__) and
// checked against the rows inside it, where their number holds still.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "binding/buffers.h"

namespace orbisk {

/// A 1-D array of row ids, integers of any width.
class IdsArg {
  public:
    /// TypeError when `obj` is not a 1-D array of integers.
    bool take(PyObject* obj);
    /// The ids, IndexError for the first one not below `size`.
    bool resolve(std::size_t size, std::vector<std::uint32_t>& ids) const;

  private:
    HeldBuffer buffer_;
    std::optional<Item> item_;
};

/// An optional 1-D array of bools (or bytes), an entry per row: nonzero
/// admits the row.
class MaskArg {
  public:
    /// None, or a mask: TypeError or ValueError otherwise.
    bool take(PyObject* obj);
    bool given() const { return buffer_.held(); }
    /// The entries, ValueError when there is not one per row of `size`.
    const std::uint8_t* resolve(std::size_t size) const;

  private:
    HeldBuffer buffer_;
};

/// An optional 1-D C-contiguous int64 array of row ids, strictly
/// ascending: the rows a search may return, instead of a mask.
class RowsArg {
  public:
    /// None, or such an array: TypeError or ValueError otherwise; and
    /// TypeError when `mask` was given too.
    bool take(PyObject* obj, const MaskArg& mask);
    bool given() const { return buffer_.held(); }
    /// The ids, ValueError naming the first one out of range for `size`
    /// rows or not above the one before it.
    bool resolve(std::size_t size, std::vector<std::uint32_t>& ids) const;

  private:
    HeldBuffer buffer_;
};

/// The `threads` argument: None (0: as many as the work pays for, decided
/// by the index), or a count from 1 to 4096.
bool take_threads(PyObject* obj, unsigned& threads);

}  // namespace orbisk
