// GraphIndex's changes: each reads its arguments, then passes the gate alone
// (after the searches in progress), then changes the index. An add stores
// its rows with the interpreter lock held and links them with it released:
// readers that hold the lock and pass no gate (len, rows) read only what
// linking leaves alone, and count the new rows once they are linked.

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "binding/array_args.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/matrix.h"
#include "engine/graph_object.h"
#include "flat/batch.h"

namespace orbisk::engine {

PyObject* graph_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"rows", "threads", nullptr};
        PyObject* rows_obj = nullptr;
        PyObject* threads_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:add", const_cast<char**>(keywords), &rows_obj,
                                         &threads_obj)) {
            return nullptr;
        }
        GraphIndexObject& ix = graph_object(self);
        Matrix rows;
        unsigned threads = 0;
        if (!rows.take(rows_obj, "rows", ix.graph->dim()) || !take_threads(threads_obj, threads)) {
            return nullptr;
        }
        if (threads == 0) threads = default_threads(rows.rows(), std::size_t{1} << 20);
        Pass changing(ix.gate, Pass::Write, "GraphIndex.add");
        if (!changing) return nullptr;
        Graph& graph = *ix.graph;
        const std::size_t first = graph.append_unlinked(rows.data(), rows.rows());
        std::exception_ptr stop;
        std::size_t linked = first;
        without_lock(
            [&](Released& released) { linked = graph.link(first, threads, Poll{Released::check, &released}, stop); });
        graph.truncate(linked);
        ix.shown = graph.size();
        if (stop) std::rethrow_exception(stop);
        Py_RETURN_NONE;
    });
}

PyObject* graph_remove(PyObject* self, PyObject* ids_obj) {
    return engine_guarded([&]() -> PyObject* {
        GraphIndexObject& ix = graph_object(self);
        IdsArg given;
        if (!given.take(ids_obj)) return nullptr;
        Pass changing(ix.gate, Pass::Write, "GraphIndex.remove");
        if (!changing) return nullptr;
        std::vector<std::uint32_t> ids;
        if (!given.resolve(ix.graph->size(), ids)) return nullptr;
        try {
            ix.graph->remove(ids);
        } catch (const std::invalid_argument& e) {  // resolve() checked the range already
            PyErr_SetString(PyExc_ValueError, e.what());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* graph_compact(PyObject* self, PyObject*) {
    return engine_guarded([&]() -> PyObject* {
        GraphIndexObject& ix = graph_object(self);
        Pass changing(ix.gate, Pass::Write, "GraphIndex.compact");
        if (!changing) return nullptr;
        ix.graph->compact();
        ix.shown = ix.graph->size();
        Py_RETURN_NONE;
    });
}

}  // namespace orbisk::engine
