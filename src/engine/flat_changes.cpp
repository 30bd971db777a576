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

namespace orbisk::engine {

PyObject* flat_add(PyObject* self, PyObject* rows_obj) {
    return engine_guarded([&]() -> PyObject* {
        FlatIndexObject& ix = flat_object(self);
        Matrix rows;
        if (!rows.take(rows_obj, "rows", ix.flat->dim(), false)) return nullptr;
        Pass changing(ix.gate, Pass::Write, "FlatIndex.add");
        if (!changing) return nullptr;
        // Rows of another type are converted a chunk at a time: the index's
        // memory grows by the rows, not by a second copy of them.
        // (At most 64 KiB of converted rows at a time: a buffer that small
        // stays in the allocator's cache, not beside the rows.)
        const std::size_t chunk = std::max<std::size_t>(16, (std::size_t{1} << 16) / (8 * std::size_t{ix.flat->dim()}));
        std::vector<double> buffer;
        ix.flat->reserve(rows.rows());  // all the room at once: no copy as the rows grow
        // A stop (a signal's exception, or an error) keeps the rows before it.
        for (std::size_t first = 0; first < rows.rows(); first += chunk) {
            const std::size_t count = std::min(chunk, rows.rows() - first);
            ix.flat->append_rows(rows.rows(first, count, buffer), count, pending_signals());
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
