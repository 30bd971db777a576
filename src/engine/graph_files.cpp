// GraphIndex's rows and parts as arrays, and an index restored from them
// without a build: what the companion's files keep, the rows read in place
// when they are mapped.

#include <cstdint>
#include <memory>
#include <string>

#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/parts.h"
#include "binding/ref.h"
#include "binding/results.h"
#include "common/failure.h"
#include "engine/graph_object.h"

namespace orbisk::engine {

PyObject* graph_rows(PyObject* self, void*) {
    return engine_guarded([&]() -> PyObject* {
        const GraphIndexObject& ix = graph_object(self);
        const SharedArray<double>& rows = ix.graph->row_store();
        return shared_matrix('d', ix.shown, ix.graph->dim(), ix.shown ? rows.data() : nullptr, rows.block()).release();
    });
}

PyObject* graph_parts(PyObject* self, PyObject*) {
    return engine_guarded([&]() -> PyObject* {
        const Graph& graph = *graph_object(self).graph;
        if (graph.removed()) {
            PyErr_SetString(PyExc_ValueError, "GraphIndex.parts: the index holds removed rows; compact() it first");
            return nullptr;
        }
        const std::size_t n = graph.size();
        const GraphParts p = graph.parts();
        Ref parts = Ref::steal(PyDict_New());
        if (!parts) return nullptr;
        auto put = [&](const char* name, const Ref& value) {
            return value && PyDict_SetItemString(parts.get(), name, value.get()) == 0;
        };
        const bool ok =
            put("rows", shared_matrix('d', n, graph.dim(), n ? p.rows : nullptr, graph.row_store().block())) &&
            put("levels", copied_vector('B', n, p.levels)) &&
            put("bottom", copied_vector('I', n * graph.capacity(0), p.bottom)) &&
            put("upper", copied_vector('I', p.upper_size, p.upper)) && put("entry", copied_vector('I', 1, &p.entry)) &&
            put("records", copied_vector('B', n * graph.record_bytes(), p.records));
        return ok ? parts.release() : nullptr;
    });
}

PyObject* graph_restore(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dim",  "metric", "count", "parts", "m", "ef_construction",
                                         "seed", "verify", nullptr};
        Py_ssize_t dim = 0, count = 0, m = 16, ef_construction = 200;
        unsigned long long seed = 0;
        const char* metric = nullptr;
        PyObject* parts = nullptr;
        int verify = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nsnO!|$nnKp:restore", const_cast<char**>(keywords), &dim,
                                         &metric, &count, &PyDict_Type, &parts, &m, &ef_construction, &seed, &verify)) {
            return nullptr;
        }
        if (count < 0) return PyErr_Format(PyExc_ValueError, "count must be at least 0, got %zd", count);
        // A new index: no other thread has it, so no gate to pass.
        Ref options =
            Ref::steal(Py_BuildValue("{s:n,s:n,s:K}", "m", m, "ef_construction", ef_construction, "seed", seed));
        Ref positional = options ? Ref::steal(Py_BuildValue("(ns)", dim, metric)) : Ref();
        Ref made = positional ? Ref::steal(PyObject_Call(cls, positional.get(), options.get())) : Ref();
        if (!made) return nullptr;
        GraphIndexObject& ix = graph_object(made.get());
        Graph& graph = *ix.graph;
        const auto n = static_cast<std::size_t>(count);
        if (!only_parts(parts, {"rows", "levels", "bottom", "upper", "entry", "records"})) return nullptr;
        if (n == 0) return made.release();
        PartArg rows, levels, bottom, upper, entry, records;
        if (!rows.take(parts, "rows", 'd', n * graph.dim(), graph.dim()) || !levels.take(parts, "levels", 'B', n)) {
            return nullptr;
        }
        std::size_t upper_size = 0;
        for (std::size_t i = 0; i < n; ++i)
            upper_size += std::size_t{levels.data<std::uint8_t>()[i]} * graph.params().m;
        if (!bottom.take(parts, "bottom", 'I', n * graph.capacity(0)) || !upper.take(parts, "upper", 'I', upper_size) ||
            !entry.take(parts, "entry", 'I', 1) || !records.take(parts, "records", 'B', n * graph.record_bytes())) {
            return nullptr;
        }
        const GraphParts p{rows.data<double>(),
                           levels.data<std::uint8_t>(),
                           bottom.data<std::uint32_t>(),
                           upper.data<std::uint32_t>(),
                           upper_size,
                           entry.data<std::uint32_t>()[0],
                           records.data<std::uint8_t>()};
        auto held = std::make_shared<HeldBuffer>();
        std::string reason;
        try {
            // The check computes every row's code again: without the lock.
            without_lock([&](Released&) { reason = graph.restore(n, p, held, verify != 0); });
        } catch (const InternalFailure&) {
            PyErr_SetString(PyExc_ValueError, "count is beyond what an index holds");
            return nullptr;
        }
        if (!reason.empty()) return raise_value_error("the parts are not a graph: " + reason);
        *held = std::move(rows.buffer);  // the index reads the rows in place from now on
        ix.shown = n;
        return made.release();
    });
}

}  // namespace orbisk::engine
