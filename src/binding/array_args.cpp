#include "binding/array_args.h"

#include <cstring>

namespace orbisk {

bool IdsArg::take(PyObject* obj) {
    if (!buffer_.take(obj, PyBUF_RECORDS_RO)) return false;
    item_ = buffer_.item(Prefixes::Little);
    if (buffer_.view().ndim == 1 && item_ && item_->integer()) return true;
    PyErr_SetString(PyExc_TypeError, "ids must be a 1-D array of integers");
    return false;
}

namespace {

template <class T>
T load(const unsigned char* at) {
    T x;
    std::memcpy(&x, at, sizeof(T));
    return x;
}

/// The integer item of `size` bytes at `at`, widened.
template <class I1, class I2, class I4, class I8>
I8 widened(std::size_t size, const unsigned char* at) {
    switch (size) {
        case 1: return load<I1>(at);
        case 2: return load<I2>(at);
        case 4: return load<I4>(at);
        default: return load<I8>(at);
    }
}

}  // namespace

bool IdsArg::resolve(std::size_t size, std::vector<std::uint32_t>& ids) const {
    const Py_buffer& view = buffer_.view();
    const bool is_signed = item_->kind == Item::Signed;
    ids.resize(static_cast<std::size_t>(view.shape[0]));
    for (Py_ssize_t i = 0; i < view.shape[0]; ++i) {
        const auto* at = static_cast<const unsigned char*>(view.buf) + i * view.strides[0];
        const std::int64_t v =
            is_signed ? widened<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(item_->size, at) : 0;
        const std::uint64_t u =
            is_signed ? (v < 0 ? UINT64_MAX : static_cast<std::uint64_t>(v))
                      : widened<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(item_->size, at);
        if (u >= size) {
            PyErr_Format(PyExc_IndexError, "row id %lld is out of range for %zu rows",
                         static_cast<long long>(is_signed ? v : static_cast<std::int64_t>(u)), size);
            return false;
        }
        ids[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(u);
    }
    return true;
}

namespace {

/// `obj` as a C-contiguous 1-D array whose item `fits`, into `buffer`: else
/// TypeError "`name` must be a 1-D array of `items`", or ValueError when it
/// is not contiguous.
bool take_vector(HeldBuffer& buffer, PyObject* obj, const char* name, const char* items, bool (*fits)(const Item&)) {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D array of %s, not %.200s", name, items, Py_TYPE(obj)->tp_name);
        return false;
    }
    if (!buffer.take(obj, PyBUF_RECORDS_RO)) return false;
    const std::optional<Item> item = buffer.item(Prefixes::Little);
    if (buffer.view().ndim != 1 || !item || !fits(*item)) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D array of %s", name, items);
        return false;
    }
    if (!PyBuffer_IsContiguous(&buffer.view(), 'C')) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous", name);
        return false;
    }
    return true;
}

}  // namespace

bool MaskArg::take(PyObject* obj) {
    return obj == Py_None || take_vector(buffer_, obj, "mask", "bools",
                                         [](const Item& item) { return item.size == 1 && item.kind != Item::Float; });
}

const std::uint8_t* MaskArg::resolve(std::size_t size) const {
    const Py_buffer& view = buffer_.view();
    if (view.shape[0] != static_cast<Py_ssize_t>(size)) {
        PyErr_Format(PyExc_ValueError, "mask must have one entry per row (%zu), got %zd", size, view.shape[0]);
        return nullptr;
    }
    return static_cast<const std::uint8_t*>(view.buf);
}

bool RowsArg::take(PyObject* obj, const MaskArg& mask) {
    if (obj == Py_None) return true;
    if (mask.given()) {
        PyErr_SetString(PyExc_TypeError, "give mask or rows, not both");
        return false;
    }
    return take_vector(buffer_, obj, "rows", "int64", [](const Item& item) { return item.is(Item::Signed, 8); });
}

bool RowsArg::resolve(std::size_t size, std::vector<std::uint32_t>& ids) const {
    const Py_buffer& view = buffer_.view();
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const auto* at = static_cast<const unsigned char*>(view.buf);
    ids.resize(n);
    std::int64_t before = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = load<std::int64_t>(at + i * 8);
        if (v < 0 || static_cast<std::uint64_t>(v) >= size) {
            PyErr_Format(PyExc_ValueError, "rows[%zu] = %lld is out of range for %zu rows", i,
                         static_cast<long long>(v), size);
            return false;
        }
        if (v <= before) {
            PyErr_Format(PyExc_ValueError,
                         "rows[%zu] = %lld is not above rows[%zu] = %lld: rows must be strictly ascending", i,
                         static_cast<long long>(v), i - 1, static_cast<long long>(before));
            return false;
        }
        ids[i] = static_cast<std::uint32_t>(v);
        before = v;
    }
    return true;
}

bool take_threads(PyObject* obj, unsigned& threads) {
    if (obj == Py_None) {
        threads = 0;
        return true;
    }
    const Py_ssize_t t = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (t == -1 && PyErr_Occurred()) return false;
    if (t < 1 || t > 4096) {
        PyErr_Format(PyExc_ValueError, "threads must be between 1 and 4096, got %zd", t);
        return false;
    }
    threads = static_cast<unsigned>(t);
    return true;
}

}  // namespace orbisk
