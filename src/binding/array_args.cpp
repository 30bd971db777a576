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

bool MaskArg::take(PyObject* obj) {
    if (obj == Py_None) return true;
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "mask must be a 1-D array of bools, not %.200s", Py_TYPE(obj)->tp_name);
        return false;
    }
    if (!buffer_.take(obj, PyBUF_RECORDS_RO)) return false;
    const std::optional<Item> item = buffer_.item(Prefixes::Little);
    if (buffer_.view().ndim != 1 || !item || item->size != 1 || item->kind == Item::Float) {
        PyErr_SetString(PyExc_TypeError, "mask must be a 1-D array of bools");
        return false;
    }
    if (!PyBuffer_IsContiguous(&buffer_.view(), 'C')) {
        PyErr_SetString(PyExc_ValueError, "mask must be contiguous");
        return false;
    }
    return true;
}

const std::uint8_t* MaskArg::resolve(std::size_t size) const {
    const Py_buffer& view = buffer_.view();
    if (view.shape[0] != static_cast<Py_ssize_t>(size)) {
        PyErr_Format(PyExc_ValueError, "mask must have one entry per row (%zu), got %zd", size, view.shape[0]);
        return nullptr;
    }
    return static_cast<const std::uint8_t*>(view.buf);
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
