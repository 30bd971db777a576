#pragma once
// Conversions between Python objects and native values: one entry point per
// native type, buffers read in place, and lists of floats made. Every
// function returning bool sets a Python exception when it returns false.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffers.h"
#include "binding/ref.h"
#include "binding/signature.h"
#include "common/rows.h"

namespace orbisk {

struct Pair {
    std::string name;
    Ref value;
};

bool to_text(PyObject* o, std::string& out);
bool to_u32(PyObject* o, std::uint32_t& out);
bool to_double(PyObject* o, double& out);
bool to_pair(PyObject* o, Pair& out);

/// An optional count: `out` keeps its default when `arg` is absent or None.
inline bool optional_u32(const char* param, PyObject* arg, std::uint32_t& out) {
    return !given(arg) || named(param, to_u32(arg, out));
}

bool to_doubles(PyObject* o, std::vector<double>& out);
bool to_double_lists(PyObject* o, Rows& out);
bool to_texts(PyObject* o, std::vector<std::string>& out);
bool to_pairs(PyObject* o, std::vector<Pair>& out);
bool to_pair_lists(PyObject* o, std::vector<std::vector<Pair>>& out);

/// A C-contiguous buffer of `ndim` dimensions and a known numeric element
/// format, from an object whose items read the same as its elements (bytes,
/// bytearray, memoryview, array.array, numpy arrays; not their subclasses),
/// taken only where the elements read give exactly what iterating the object
/// gives. False, with no exception, for anything else. Released on scope exit.
class Buffer {
  public:
    Buffer(PyObject* o, int ndim);
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    explicit operator bool() const { return ok_; }
    std::size_t rows() const { return static_cast<std::size_t>(buffer_.view().shape[0]); }
    std::size_t columns() const { return static_cast<std::size_t>(buffer_.view().shape[1]); }
    /// Converts elements [first, first + n) into out.
    void read(std::size_t first, std::size_t n, double* out) const;
    /// The elements in place when they are aligned native doubles, else null.
    const double* doubles() const;

  private:
    HeldBuffer buffer_;
    std::optional<Item> item_;
    bool ok_ = false;
};

/// A new list of `n` items, item i being make(i): a new reference, or null
/// with an exception set, which ends the list (null returned).
template <class Make>
PyObject* new_list(std::size_t n, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

/// A new list of floats copied from `values`.
inline PyObject* float_list(const double* values, std::size_t n) {
    return new_list(n, [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

}  // namespace orbisk
