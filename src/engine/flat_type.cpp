// The FlatIndex class: construction, what it says of itself, and its
// method table.

#include <memory>
#include <string>

#include "binding/errors.h"
#include "binding/instance.h"
#include "engine/flat_object.h"

namespace orbisk::engine {

namespace {

/// ValueError for a name of no entry of `table` (each with a `name`).
template <class Table>
PyObject* unknown(const char* what, const char* name, const Table& table) {
    std::string known;
    for (const auto& entry : table) known += (known.empty() ? "'" : ", '") + std::string(entry.name) + "'";
    return PyErr_Format(PyExc_ValueError, "unknown %s '%s': expected one of %s", what, name, known.c_str());
}

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dim", "metric", "storage", nullptr};
        Py_ssize_t dim = 0;
        const char* metric = "euclidean";
        const char* storage = "float64";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|s$s:FlatIndex", const_cast<char**>(keywords), &dim, &metric,
                                         &storage)) {
            return nullptr;
        }
        if (dim < 1 || dim > 0xFFFFFFFF)
            return PyErr_Format(PyExc_ValueError, "dim must be between 1 and 4294967295, got %zd", dim);
        const std::optional<MetricKind> kind = metric_named(metric);
        if (!kind) return unknown("metric", metric, metric_names);
        const std::optional<Storage> kept = storage_named(storage);
        if (!kept) return unknown("storage", storage, storage_names);
        auto flat = std::make_unique<Flat>(static_cast<std::uint32_t>(dim), *kind, *kept);
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        FlatIndexObject& ix = flat_object(self);
        ix.flat = flat.release();
        ix.metric = metric_name(*kind).data();  // the table's texts end in a zero
        new (&ix.gate) Gate();
        return self;
    });
}

void flat_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    FlatIndexObject& ix = flat_object(self);
    delete ix.flat;
    ix.gate.~Gate();
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t flat_len(PyObject* self) {
    Py_ssize_t size = -1;  // with the exception set when the gate refused
    read_flat(self, "FlatIndex.__len__", [&](const Flat& flat) {
        size = static_cast<Py_ssize_t>(flat.size());
        return Py_None;  // borrowed, and dropped
    });
    return size;
}

PyObject* flat_dim(PyObject* self, void*) {
    return engine_guarded([&] { return PyLong_FromUnsignedLong(flat_object(self).flat->dim()); });
}

PyObject* flat_metric(PyObject* self, void*) {
    return engine_guarded([&] { return PyUnicode_FromString(flat_object(self).metric); });
}

PyObject* flat_storage(PyObject* self, void*) {
    return engine_guarded([&] {
        const std::string_view name = storage_name(flat_object(self).flat->storage());
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyObject* flat_removed(PyObject* self, void*) {
    return read_flat(self, "FlatIndex.removed", [](const Flat& flat) { return PyLong_FromSize_t(flat.removed()); });
}

PyObject* flat_is_removed(PyObject* self, PyObject* id_obj) {
    const Py_ssize_t id = PyNumber_AsSsize_t(id_obj, PyExc_IndexError);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    return read_flat(self, "FlatIndex.is_removed", [&](const Flat& flat) -> PyObject* {
        if (id < 0 || static_cast<std::size_t>(id) >= flat.size()) {
            return PyErr_Format(PyExc_IndexError, "row id %zd is out of range for %zu rows", id, flat.size());
        }
        return PyBool_FromLong(flat.is_removed(static_cast<std::size_t>(id)));
    });
}

PyObject* flat_repr(PyObject* self) {
    const char* metric = flat_object(self).metric;
    return read_flat(self, "FlatIndex.__repr__", [&](const Flat& flat) {
        // The storage is named when it is not the default.
        const std::string storage = flat.storage() == Storage::Float64
                                        ? std::string()
                                        : ", storage='" + std::string(storage_name(flat.storage())) + "'";
        return PyUnicode_FromFormat("FlatIndex(dim=%u, metric='%s'%s, rows=%zu)", flat.dim(), metric, storage.c_str(),
                                    flat.size());
    });
}

PyMethodDef flat_methods[] = {
    {"add", as_method(flat_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, rows, /, *, threads=None)\n--\n\nAppends the rows of a 2-D array of shape (n, dim), in order; their "
     "ids continue from len(self).\nTheir codes and norms are computed on `threads` threads (None: the cores the work "
     "pays for), the same bits\nfor any count. A failure or Ctrl-C leaves the index as it was."},
    {"search", as_method(flat_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, /, queries, k, *, mask=None, rows=None, threads=None, finite=False)\n--\n\n"
     "The first rows for each query of a 2-D array: (ids, distances), buffers of shape (m, c) of int64\n"
     "and float64, c = min(k, rows searched). Row i is bit for bit orbisk.PyFlat.search(queries[i], k)\n"
     "over the rows searched alone: those not removed, and with a mask, those whose entry is true,\n"
     "or with rows (strictly ascending int64 ids), those listed.\n"
     "With finite, a query holding NaN or an infinity raises NonFiniteError (a ValueError) naming its row in .row."},
    {"search_radius", as_method(flat_search_radius), METH_VARARGS | METH_KEYWORDS,
     "search_radius($self, /, queries, radius, *, mask=None, rows=None, threads=None, finite=False)\n--\n\n"
     "Every row searched at a distance of at most radius from each query: (offsets, ids, distances),\n"
     "the rows of query i at [offsets[i], offsets[i + 1]), in ranking order."},
    {"remove", flat_remove, METH_O,
     "remove($self, ids, /)\n--\n\nMarks the rows of a 1-D array of ids removed: no search returns them.\n"
     "IndexError for an id out of range, ValueError for one removed already; nothing changes then."},
    {"reserve", flat_reserve, METH_O,
     "reserve($self, rows, /)\n--\n\nRoom for `rows` more rows, so that adding them in several calls allocates nothing "
     "more."},
    {"compact", flat_compact, METH_NOARGS,
     "compact($self, /)\n--\n\nDrops the removed rows; the others keep their order and take the ids 0, 1, ..."},
    {"is_removed", flat_is_removed, METH_O, "is_removed($self, id, /)\n--\n\nWhether row `id` is removed."},
    {"parts", flat_parts, METH_NOARGS,
     "parts($self, /)\n--\n\nThe arrays that restore() takes: the rows (a read-only view) and their codes."},
    {"restore", as_method(flat_restore), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "restore(dim, metric, count, parts, *, verify=True, finite=False)\n--\n\n"
     "An index of `count` rows from the arrays parts() gave, nothing computed again: the rows and code\n"
     "blocks are read in place (a memory map stays mapped); float32 rows make a float32 index.\n"
     "With verify, every code is computed again and must match: ValueError when one does not; with\n"
     "finite too, a row holding NaN or an infinity raises NonFiniteError naming the first in .row."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef flat_getset[] = {
    {"dim", flat_dim, nullptr, "The length of every row.", nullptr},
    {"metric", flat_metric, nullptr, "'euclidean', 'cosine' or 'inner_product'.", nullptr},
    {"storage", flat_storage, nullptr, "'float64' or 'float32': the type the rows are kept as.", nullptr},
    {"rows", flat_rows, nullptr, "A read-only view of every row as stored (removed ones included), in id order.",
     nullptr},
    {"removed", flat_removed, nullptr, "The number of rows removed and not yet compacted away.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot flat_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(flat_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(flat_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(flat_repr)},
    {Py_tp_methods, flat_methods},
    {Py_tp_getset, flat_getset},
    {Py_sq_length, reinterpret_cast<void*>(flat_len)},
    {Py_tp_doc, const_cast<char*>("FlatIndex(dim, metric='euclidean', *, storage='float64')\n--\n\n"
                                  "An exact flat index: every search compares each query with every row.\n"
                                  "storage='float32' keeps float32 rows at half the bytes, with the same results.")},
    {0, nullptr},
};

PyType_Spec flat_spec = {"orbisk_engine.FlatIndex", sizeof(FlatIndexObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, flat_slots};

std::atomic<PyObject*> type_slot{nullptr};

}  // namespace

PyTypeObject* flat_index_type() { return cached_type(type_slot, flat_spec); }

}  // namespace orbisk::engine
