// The GraphIndex class: construction, what it says of itself, and its
// method table.

#include <memory>
#include <stdexcept>
#include <string>

#include "binding/errors.h"
#include "binding/instance.h"
#include "engine/graph_object.h"

namespace orbisk::engine {

namespace {

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dim", "metric", "m", "ef_construction", "seed", nullptr};
        Py_ssize_t dim = 0, m = 16, ef_construction = 200;
        unsigned long long seed = 0;
        const char* metric = "euclidean";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|s$nnK:GraphIndex", const_cast<char**>(keywords), &dim,
                                         &metric, &m, &ef_construction, &seed)) {
            return nullptr;
        }
        if (dim < 1 || dim > 0xFFFFFFFF)
            return PyErr_Format(PyExc_ValueError, "dim must be between 1 and 4294967295, got %zd", dim);
        if (m < 2 || m > max_graph_m)
            return PyErr_Format(PyExc_ValueError, "m must be between 2 and %u, got %zd", max_graph_m, m);
        if (ef_construction < 1 || ef_construction > 0xFFFFFFFF)
            return PyErr_Format(PyExc_ValueError, "ef_construction must be between 1 and 4294967295, got %zd",
                                ef_construction);
        const std::optional<MetricKind> kind = metric_named(metric);
        if (!kind) {
            std::string known;
            for (const MetricName& n : metric_names) known += (known.empty() ? "'" : ", '") + std::string(n.name) + "'";
            return PyErr_Format(PyExc_ValueError, "unknown metric '%s': expected one of %s", metric, known.c_str());
        }
        GraphParams p;
        p.dim = static_cast<std::uint32_t>(dim);
        p.metric = *kind;
        p.m = static_cast<std::uint32_t>(m);
        p.ef_construction = static_cast<std::uint32_t>(ef_construction);
        p.seed = seed;
        auto graph = std::make_unique<Graph>(p);
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        GraphIndexObject& ix = graph_object(self);
        ix.graph = graph.release();
        ix.metric = metric_name(*kind).data();  // the table's texts end in a zero
        ix.shown = 0;
        new (&ix.gate) Gate();
        return self;
    });
}

void graph_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    GraphIndexObject& ix = graph_object(self);
    delete ix.graph;
    ix.gate.~Gate();
    type->tp_free(self);
    Py_DECREF(type);
}

// What the index says of itself is read with the interpreter lock held,
// from what no add in progress changes (graph_object.h).

Py_ssize_t graph_len(PyObject* self) { return static_cast<Py_ssize_t>(graph_object(self).shown); }

PyObject* graph_dim(PyObject* self, void*) {
    return engine_guarded([&] { return PyLong_FromUnsignedLong(graph_object(self).graph->dim()); });
}

PyObject* graph_metric(PyObject* self, void*) {
    return engine_guarded([&] { return PyUnicode_FromString(graph_object(self).metric); });
}

PyObject* graph_m(PyObject* self, void*) {
    return engine_guarded([&] { return PyLong_FromUnsignedLong(graph_object(self).graph->params().m); });
}

PyObject* graph_ef_construction(PyObject* self, void*) {
    return engine_guarded([&] { return PyLong_FromUnsignedLong(graph_object(self).graph->params().ef_construction); });
}

PyObject* graph_seed(PyObject* self, void*) {
    return engine_guarded([&] { return PyLong_FromUnsignedLongLong(graph_object(self).graph->params().seed); });
}

PyObject* graph_removed(PyObject* self, void*) {
    return engine_guarded([&] { return PyLong_FromSize_t(graph_object(self).graph->removed()); });
}

PyObject* graph_is_removed(PyObject* self, PyObject* id_obj) {
    return engine_guarded([&]() -> PyObject* {
        const Py_ssize_t id = PyNumber_AsSsize_t(id_obj, PyExc_IndexError);
        if (id == -1 && PyErr_Occurred()) return nullptr;
        const GraphIndexObject& ix = graph_object(self);  // after __index__, which may have changed it
        if (id < 0 || static_cast<std::size_t>(id) >= ix.shown) {
            return PyErr_Format(PyExc_IndexError, "row id %zd is out of range for %zu rows", id, ix.shown);
        }
        return PyBool_FromLong(ix.graph->is_removed(static_cast<std::size_t>(id)));
    });
}

PyObject* graph_repr(PyObject* self) {
    return engine_guarded([&] {
        const GraphIndexObject& ix = graph_object(self);
        return PyUnicode_FromFormat("GraphIndex(dim=%u, metric='%s', m=%u, rows=%zu)", ix.graph->dim(), ix.metric,
                                    ix.graph->params().m, ix.shown);
    });
}

PyMethodDef graph_methods[] = {
    {"add", as_method(graph_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, rows, /, *, threads=None)\n--\n\nAppends the rows of a 2-D array of shape (n, dim) and links them, "
     "on up to `threads` threads; their ids continue from len(self). Ctrl-C keeps the rows linked so far."},
    {"search", as_method(graph_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, /, query, k, *, ef=None, mask=None, finite=False)\n--\n\n"
     "The first rows the walk finds for a 1-D query: (ids, distances), 1-D buffers of int64 and float64 of\n"
     "min(k, rows searched) entries, each distance bit for bit the flat index's. The walk keeps max(ef, k)\n"
     "candidates (ef: None for 64); with a mask, only the rows whose entry is true are reported."},
    {"search_batch", as_method(graph_search_batch), METH_VARARGS | METH_KEYWORDS,
     "search_batch($self, /, queries, k, *, ef=None, mask=None, threads=None, finite=False)\n--\n\n"
     "search() for each query of a 2-D array, on up to `threads` threads: (ids, distances) of shape (m, c);\n"
     "row i is bit for bit search(queries[i], k)."},
    {"remove", graph_remove, METH_O,
     "remove($self, ids, /)\n--\n\nMarks the rows of a 1-D array of ids removed: no search returns them, walks\n"
     "still pass through them. IndexError for an id out of range, ValueError for one removed already."},
    {"compact", graph_compact, METH_NOARGS,
     "compact($self, /)\n--\n\nDrops the removed rows, linking their neighbours around them; the others keep\n"
     "their order and take the ids 0, 1, ..."},
    {"is_removed", graph_is_removed, METH_O, "is_removed($self, id, /)\n--\n\nWhether row `id` is removed."},
    {"parts", graph_parts, METH_NOARGS,
     "parts($self, /)\n--\n\nThe arrays that restore() takes: the rows (a read-only view), levels, lists, codes."},
    {"restore", as_method(graph_restore), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "restore(dim, metric, count, parts, *, m=16, ef_construction=200, seed=0, verify=True)\n--\n\n"
     "An index of `count` rows from the arrays parts() gave, without a build: the rows are read in place,\n"
     "every list is checked, and with verify every code is computed again. ValueError when one fails."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_getset[] = {
    {"dim", graph_dim, nullptr, "The length of every row.", nullptr},
    {"metric", graph_metric, nullptr, "'euclidean', 'cosine' or 'inner_product'.", nullptr},
    {"m", graph_m, nullptr, "Links per node on the upper layers; twice that on the bottom one.", nullptr},
    {"ef_construction", graph_ef_construction, nullptr, "Candidates an insertion keeps.", nullptr},
    {"seed", graph_seed, nullptr, "What the levels are drawn from, with each row's id.", nullptr},
    {"rows", graph_rows, nullptr, "A read-only view of every row stored (removed ones included), in id order.",
     nullptr},
    {"removed", graph_removed, nullptr, "The number of rows removed and not yet compacted away.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_tp_methods, graph_methods},
    {Py_tp_getset, graph_getset},
    {Py_sq_length, reinterpret_cast<void*>(graph_len)},
    {Py_tp_doc, const_cast<char*>("GraphIndex(dim, metric='euclidean', *, m=16, ef_construction=200, seed=0)\n--\n\n"
                                  "An approximate index: a layered graph walked on one-byte codes, every result "
                                  "scored exactly.")},
    {0, nullptr},
};

PyType_Spec graph_spec = {"orbisk_engine.GraphIndex", sizeof(GraphIndexObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, graph_slots};

std::atomic<PyObject*> type_slot{nullptr};

}  // namespace

PyTypeObject* graph_index_type() { return cached_type(type_slot, graph_spec); }

}  // namespace orbisk::engine
