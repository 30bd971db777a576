// orbisk_engine's functions over buffers: crc32, zlib's CRC-32 with which
// the companion checksums its files, and first_nonfinite, the check of rows
// and queries before they are taken. Both release the interpreter lock over
// large buffers.

#include <Python.h>

#include <cstdint>

#include "binding/buffers.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "common/crc32.h"
#include "common/row_store.h"
#include "engine/functions.h"

namespace orbisk::engine {

namespace {

// About 0.1-0.4 ms a MiB: from there, other threads run meanwhile.
constexpr std::size_t released_from = std::size_t{1} << 20;

}  // namespace

PyObject* checksum(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return engine_guarded([&]() -> PyObject* {
        if (nargs < 1 || nargs > 2) {
            return PyErr_Format(PyExc_TypeError,
                                "crc32() takes a buffer and an optional start value, got %zd arguments", nargs);
        }
        std::uint32_t start = 0;
        if (nargs == 2) {
            const unsigned long value = PyLong_AsUnsignedLongMask(args[1]);
            if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
            start = static_cast<std::uint32_t>(value);
        }
        HeldBuffer data;
        if (!data.take(args[0], PyBUF_SIMPLE)) return nullptr;
        const void* bytes = data.view().buf;
        const auto n = static_cast<std::size_t>(data.view().len);
        std::uint32_t crc = 0;
        if (n >= released_from) {
            without_lock([&](Released&) { crc = crc32(bytes, n, start); });
        } else {
            crc = crc32(bytes, n, start);
        }
        return PyLong_FromUnsignedLong(crc);
    });
}

PyObject* first_nonfinite(PyObject*, PyObject* rows) {
    return engine_guarded([&]() -> PyObject* {
        HeldBuffer held;
        if (!held.take(rows, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
        const Py_buffer& view = held.view();
        const std::optional<Item> item = held.item(Prefixes::Little);
        if (!item || item->kind != Item::Float || (item->size != 4 && item->size != 8) || view.ndim < 1 ||
            view.ndim > 2) {
            return PyErr_Format(PyExc_TypeError, "first_nonfinite takes a 1-D or 2-D array of float32 or float64");
        }
        const auto n = static_cast<std::size_t>(view.ndim == 2 ? view.shape[0] : 1);
        const auto dim = static_cast<std::size_t>(view.ndim == 2 ? view.shape[1] : view.shape[0]);
        std::size_t row = n;
        auto find = [&] {
            row = item->size == 8 ? first_nonfinite_row(static_cast<const double*>(view.buf), n, dim)
                                  : first_nonfinite_row(static_cast<const float*>(view.buf), n, dim);
        };
        if (static_cast<std::size_t>(view.len) >= released_from) {
            without_lock([&](Released&) { find(); });
        } else {
            find();
        }
        if (row == n || dim == 0) Py_RETURN_NONE;
        return PyLong_FromSize_t(row);
    });
}

}  // namespace orbisk::engine
