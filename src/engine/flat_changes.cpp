// FlatIndex's changes: each reads its arguments, then passes the gate alone
// (after the searches in progress), then changes the index.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "binding/array_args.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/matrix.h"
#include "engine/flat_object.h"
#include "flat/batch.h"

namespace orbisk::engine {

namespace {

/// Appends every row of `rows`: float64 and float32 rows as they are, rows
/// of any other type a chunk at a time, converted (the index grows by the
/// rows, not by a second copy of them). InexactRow counts from the first.
void append(Flat& flat, const Matrix& rows, unsigned threads, Interrupt stop) {
    flat.reserve(rows.rows());  // all the room at once: no copy as the rows grow
    if (const float* values = rows.float32s()) return flat.append_rows(values, rows.rows(), stop, threads);
    // A chunk of 64 Ki converted values a thread: a piece of work each.
    const std::size_t chunk =
        rows.in_place() ? rows.rows() : std::max<std::size_t>(16, (std::size_t{threads} << 16) / flat.dim());
    std::vector<double> buffer;
    for (std::size_t first = 0; first < rows.rows(); first += chunk) {
        const std::size_t count = std::min(chunk, rows.rows() - first);
        try {
            flat.append_rows(rows.rows(first, count, buffer), count, stop, threads);
        } catch (const InexactRow& e) {
            throw InexactRow(first + e.row);
        }
    }
}

}  // namespace

PyObject* flat_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"", "threads", nullptr};
        PyObject* rows_obj = nullptr;
        PyObject* threads_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:add", const_cast<char**>(keywords), &rows_obj,
                                         &threads_obj)) {
            return nullptr;
        }
        FlatIndexObject& ix = flat_object(self);
        Matrix rows;
        unsigned threads = 0;
        if (!rows.take(rows_obj, "rows", ix.flat->dim(), false) || !take_threads(threads_obj, threads)) return nullptr;
        Pass changing(ix.gate, Pass::Write, "FlatIndex.add");
        if (!changing) return nullptr;
        Flat& flat = *ix.flat;
        if (threads == 0) threads = default_threads(1, rows.rows() * flat.dim() * sizeof(double));
        // Codes and norms are computed with the interpreter lock released;
        // whatever stops the append (Ctrl-C, memory, a row float32 storage
        // cannot keep) undoes it whole.
        const std::size_t before = flat.size();
        try {
            without_lock([&](Released& released) { append(flat, rows, threads, released.interrupt()); });
        } catch (const InexactRow& e) {
            flat.truncate(before);
            return raise_row_error(inexact_row_error(), e.row, "rows",
                                   "holds a value that float32 storage cannot keep exactly");
        } catch (...) {
            flat.truncate(before);
            throw;
        }
        Py_RETURN_NONE;
    });
}

PyObject* flat_remove(PyObject* self, PyObject* ids_obj) {
    return engine_guarded([&]() -> PyObject* {
        FlatIndexObject& ix = flat_object(self);
        IdsArg given;
        if (!given.take(ids_obj)) return nullptr;
        Pass changing(ix.gate, Pass::Write, "FlatIndex.remove");
        if (!changing) return nullptr;
        std::vector<std::uint32_t> ids;
        if (!given.resolve(ix.flat->size(), ids)) return nullptr;
        try {
            ix.flat->remove(ids);
        } catch (const std::out_of_range& e) {  // resolve() checked the range already
            PyErr_SetString(PyExc_IndexError, e.what());
            return nullptr;
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* flat_reserve(PyObject* self, PyObject* rows_obj) {
    return engine_guarded([&]() -> PyObject* {
        FlatIndexObject& ix = flat_object(self);
        const Py_ssize_t rows = PyNumber_AsSsize_t(rows_obj, PyExc_OverflowError);
        if (rows == -1 && PyErr_Occurred()) return nullptr;
        if (rows < 0) return PyErr_Format(PyExc_ValueError, "rows must be at least 0, got %zd", rows);
        Pass changing(ix.gate, Pass::Write, "FlatIndex.reserve");
        if (!changing) return nullptr;
        ix.flat->reserve(static_cast<std::size_t>(rows));
        Py_RETURN_NONE;
    });
}

PyObject* flat_compact(PyObject* self, PyObject*) {
    return engine_guarded([&]() -> PyObject* {
        FlatIndexObject& ix = flat_object(self);
        Pass changing(ix.gate, Pass::Write, "FlatIndex.compact");
        if (!changing) return nullptr;
        ix.flat->compact();
        Py_RETURN_NONE;
    });
}

}  // namespace orbisk::engine
