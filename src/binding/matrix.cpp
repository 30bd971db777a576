#include "binding/matrix.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "binding/errors.h"
#include "binding/ref.h"

namespace orbisk {

bool Matrix::take(PyObject* obj, const char* what, std::size_t dim, bool convert, bool vector) {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a %s array (numpy.ndarray or another buffer), not %.200s", what,
                     vector ? "1-D" : "2-D", Py_TYPE(obj)->tp_name);
        return false;
    }
    if (!buffer_.take(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = buffer_.view();
    const int ndim = vector ? 1 : 2;
    if (view.ndim != ndim || view.shape[ndim - 1] != static_cast<Py_ssize_t>(dim)) {
        std::string got = "(";
        for (int i = 0; i < view.ndim; ++i) got += (i ? ", " : "") + std::to_string(view.shape[i]);
        got += view.ndim == 1 ? ",)" : ")";
        PyErr_Format(PyExc_ValueError, "%s must have shape (%s%zu%s), got shape %s", what, vector ? "" : "n, ", dim,
                     vector ? "," : "", got.c_str());
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous (numpy.ascontiguousarray makes it so)", what);
        return false;
    }
    const std::optional<Item> item = buffer_.item(Prefixes::Little);
    if (!item) {
        PyErr_Format(PyExc_TypeError, "%s must hold real numbers (float64, float32, ints or bools), got format '%s'",
                     what, view.format ? view.format : "B");
        return false;
    }
    item_ = *item;
    rows_ = vector ? 1 : static_cast<std::size_t>(view.shape[0]);
    dim_ = dim;
    if (!exact(what)) return false;
    if (!convert || in_place()) return true;
    copy_.resize(rows_ * dim);
    convert_rows(0, rows_, copy_.data());
    return true;
}

bool Matrix::in_place() const {
    return item_.is(Item::Float, sizeof(double)) &&
           reinterpret_cast<std::uintptr_t>(buffer_.view().buf) % alignof(double) == 0;
}

const double* Matrix::rows(std::size_t first, std::size_t count, std::vector<double>& buffer) const {
    if (in_place()) return doubles() + first * dim_;
    buffer.resize(count * dim_);
    convert_rows(first, count, buffer.data());
    return buffer.data();
}

void Matrix::convert_rows(std::size_t first, std::size_t count, double* out) const {
    read_items(item_, static_cast<const char*>(buffer_.view().buf) + first * dim_ * item_.size, count * dim_, out);
}

namespace {

/// The first of `n` 64-bit integers at `from` whose float64 is not its own
/// value (beyond 2^53), or n.
template <class T>
std::size_t first_inexact(const void* from, std::size_t n, T& value) {
    const auto* p = static_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(&value, p + i * sizeof(T), sizeof(T));
        const double d = static_cast<double>(value);
        if (d >= 0x1p63 || static_cast<T>(d) != value) return i;
    }
    return n;
}

}  // namespace

bool Matrix::exact(const char* what) const {
    if (!item_.integer() || item_.size != 8) return true;
    const std::size_t n = rows_ * dim_;
    auto refuse = [&](std::size_t at, const std::string& value) {
        PyErr_Format(PyExc_ValueError, "%s[%zu, %zu] = %s has no exact float64 value", what, at / dim_, at % dim_,
                     value.c_str());
        return false;
    };
    if (item_.kind == Item::Signed) {
        std::int64_t v = 0;
        const std::size_t at = first_inexact(buffer_.view().buf, n, v);
        return at == n || refuse(at, std::to_string(v));
    }
    std::uint64_t v = 0;
    const std::size_t at = first_inexact(buffer_.view().buf, n, v);
    return at == n || refuse(at, std::to_string(v));
}

bool Matrix::finite(const char* what) const {
    const double* q = data();
    for (std::size_t i = 0; i < rows_ * dim_; ++i) {
        if (std::isfinite(q[i])) continue;
        raise_row_error(nonfinite_error(), i / dim_, what, "holds NaN or infinity");
        return false;
    }
    return true;
}

const float* Matrix::float32s() const {
    const void* buf = buffer_.view().buf;
    return item_.is(Item::Float, sizeof(float)) && reinterpret_cast<std::uintptr_t>(buf) % alignof(float) == 0
               ? static_cast<const float*>(buf)
               : nullptr;
}

PyObject* raise_row_error(PyObject* type, std::size_t row, const char* what, const char* says) {
    Ref text = type ? Ref::steal(PyUnicode_FromFormat("row %zu of %s %s", row, what, says)) : Ref();
    Ref error = text ? Ref::steal(PyObject_CallOneArg(type, text.get())) : Ref();
    Ref number = error ? Ref::steal(PyLong_FromSize_t(row)) : Ref();
    if (number && PyObject_SetAttrString(error.get(), "row", number.get()) == 0) {
        PyErr_SetRaisedException(error.release());
    }
    return nullptr;
}

PyObject* nonfinite_error() {
    static std::atomic<PyObject*> slot{nullptr};
    return cached_exception(slot, "orbisk_engine.NonFiniteError",
                            "A query holds NaN or an infinity where finite ones were asked for (finite=True): a "
                            "ValueError whose `row` is the first such query's row.",
                            PyExc_ValueError);
}

PyObject* inexact_row_error() {
    static std::atomic<PyObject*> slot{nullptr};
    return cached_exception(slot, "orbisk_engine.InexactRowError",
                            "A row holds a value that float32 storage cannot keep exactly: a ValueError whose `row` "
                            "is the first such row.",
                            PyExc_ValueError);
}

}  // namespace orbisk
