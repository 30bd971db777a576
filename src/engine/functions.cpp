// orbisk_engine's functions over buffers: crc32, zlib's CRC-32 with which
// the companion checksums its files; first_nonfinite, the check of rows and
// queries before they are taken; first_repeat, the check that keys are
// unique; and encode_texts, str keys as one UTF-8 text. The first three
// release the interpreter lock over large buffers.

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/buffers.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/ref.h"
#include "binding/results.h"
#include "common/crc32.h"
#include "common/repeats.h"
#include "common/row_store.h"
#include "engine/functions.h"

namespace orbisk::engine {

namespace {

// About 0.1-0.4 ms a MiB: from there, other threads run meanwhile.
constexpr std::size_t released_from = std::size_t{1} << 20;

/// A 1-D int64 array, C-contiguous: false with TypeError naming `what`.
bool take_int64(HeldBuffer& held, PyObject* obj, const char* what) {
    if (!held.take(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const std::optional<Item> item = held.item(Prefixes::Little);
    if (!item || !item->is(Item::Signed, 8) || held.view().ndim != 1) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D int64 array", what);
        return false;
    }
    return true;
}

}  // namespace

PyObject* first_repeat(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return engine_guarded([&]() -> PyObject* {
        if (nargs != 2)
            return PyErr_Format(PyExc_TypeError, "first_repeat() takes a text and its ends, got %zd", nargs);
        HeldBuffer text, ends;
        if (!text.take(args[0], PyBUF_SIMPLE) || !take_int64(ends, args[1], "ends")) return nullptr;
        const auto n = static_cast<std::size_t>(ends.view().shape[0]);
        if (n >= max_texts) return PyErr_Format(PyExc_ValueError, "first_repeat takes fewer than %zu texts", max_texts);
        // The ends are copied before they are checked: another thread may
        // write to the caller's array while the lock is released, and the
        // ends say where the texts are read (the text's own bytes may
        // change: they are only compared).
        const auto* given = static_cast<const std::int64_t*>(ends.view().buf);
        const std::vector<std::int64_t> own(given, given + n);
        const std::int64_t* end = own.data();
        // Every text inside the blob, none ending before it starts.
        std::int64_t at = 0;
        for (std::size_t i = 0; i < n; at = end[i++]) {
            if (end[i] < at || end[i] > text.view().len) {
                return PyErr_Format(PyExc_ValueError, "ends must rise from 0 to at most %zd, not %lld at %zu",
                                    text.view().len, static_cast<long long>(end[i]), i);
            }
        }
        const auto* blob = static_cast<const std::uint8_t*>(text.view().buf);
        std::size_t found = n;
        if (n >= (std::size_t{1} << 16)) {
            without_lock([&](Released& released) { found = orbisk::first_repeat(blob, end, n, released.interrupt()); });
        } else {
            found = orbisk::first_repeat(blob, end, n);
        }
        if (found == n) Py_RETURN_NONE;
        return PyLong_FromSize_t(found);
    });
}

PyObject* encode_texts(PyObject*, PyObject* keys) {
    return engine_guarded([&]() -> PyObject* {
        if (!PyList_CheckExact(keys)) return PyErr_Format(PyExc_TypeError, "encode_texts takes a list");
        const Py_ssize_t n = PyList_GET_SIZE(keys);
        std::string text;
        Ref ends = Ref::steal(PyBytes_FromStringAndSize(nullptr, n * static_cast<Py_ssize_t>(sizeof(std::int64_t))));
        if (!ends) return nullptr;
        auto* end = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(ends.get()));  // NOLINT: the bytes' own buffer
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyList_GET_ITEM(keys, i);
            if (!PyUnicode_CheckExact(key)) Py_RETURN_NONE;
            if (PyUnicode_IS_ASCII(key)) {
                text.append(static_cast<const char*>(PyUnicode_DATA(key)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
            } else {
                // Not cached in the key (PyUnicode_AsUTF8AndSize would be):
                // the caller's strings keep their size.
                const Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(key));
                if (!utf8) {
                    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
                    PyErr_Clear();
                    Py_RETURN_NONE;  // a lone surrogate: the caller encodes these keys itself
                }
                text.append(PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
            }
            end[i] = static_cast<std::int64_t>(text.size());
        }
        const Ref blob = Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        return blob ? PyTuple_Pack(2, blob.get(), ends.get()) : nullptr;
    });
}

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
