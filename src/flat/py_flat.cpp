// PyFlat: the Python face of the exhaustive index.

#include <Python.h>

#include <string>
#include <vector>

#include "flat/py_flat.h"

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/instance.h"
#include "binding/long_calls.h"
#include "binding/method.h"
#include "flat/flat_index.h"

namespace orbisk {

namespace {

using FlatObject = Instance<Flat>;

constexpr const char* new_names[] = {"dim", "metric"};
constexpr const char* insert_names[] = {"vector"};
constexpr const char* search_names[] = {"query", "k"};
constexpr const char* create_names[] = {"vectors"};
const Signature new_sig{"PyFlat.__new__()", new_names, 2};
const Signature insert_sig{"PyFlat.insert()", insert_names, 1};
const Signature search_sig{"PyFlat.search()", search_names, 2};
const Signature create_sig{"PyFlat.create()", create_names, 1};

std::string length_message(const char* what, std::uint32_t dim, std::size_t got) {
    return std::string("Expected ") + what + " of length " + std::to_string(dim) + ", got " + std::to_string(got);
}

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return enter_new(new_sig, args, kwargs, [&](PyObject* const* a) -> PyObject* {
        std::uint32_t dim;
        if (!named("dim", to_u32(a[0], dim))) return nullptr;
        MetricKind metric = MetricKind::Euclidean;  // also for every unknown name
        if (given(a[1])) {
            std::string name;
            if (!named("metric", to_text(a[1], name))) return nullptr;
            metric = metric_named(name).value_or(MetricKind::Euclidean);
        }
        return wrap(type, Flat(dim, metric));
    });
}

PyObject* flat_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter_method<Flat, Access::Exclusive>(
        insert_sig, self, args, nargs, kwnames, [&](Flat& index, PyObject* const* a) -> PyObject* {
            std::vector<double> vector;
            if (!named("vector", to_doubles(a[0], vector))) return nullptr;
            if (vector.size() != index.dim()) {
                return raise_value_error(length_message("vector", index.dim(), vector.size()));
            }
            index.insert(vector);
            Py_RETURN_NONE;
        });
}

PyObject* flat_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter_method<Flat, Access::Shared>(
        search_sig, self, args, nargs, kwnames, [&](const Flat& index, PyObject* const* a) -> PyObject* {
            std::vector<double> query;
            if (!named("query", to_doubles(a[0], query))) return nullptr;
            std::uint32_t k = 1;
            if (!optional_u32("k", a[1], k)) return nullptr;
            if (query.size() != index.dim()) {
                return raise_value_error(length_message("query", index.dim(), query.size()));
            }
            std::vector<Candidate> found;
            if (auto e = index.search(query, k, found)) return raise_core_error("Search", *e);
            return new_list(found.size(), [&](std::size_t i) {
                return Py_BuildValue("(kd)", static_cast<unsigned long>(found[i].id), found[i].distance);
            });
        });
}

PyObject* flat_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReleaseAfterBatch release;
    return enter_method<Flat, Access::Exclusive>(
        create_sig, self, args, nargs, kwnames, [&](Flat& index, PyObject* const* a) -> PyObject* {
            // A 2-D array of doubles goes straight into the store; it converts
            // without fail and its rows all have the same length.
            if (Buffer matrix{a[0], 2}; matrix && matrix.doubles()) {
                if (matrix.rows() == 0) return raise_core_error("Create", FlatError::EmptyVectors);
                // Rows of the wrong length: the batch stops at its first row,
                // with the failure (and message) a wrong-length row gets from
                // the core's insert, which stores nothing.
                if (matrix.columns() != index.dim()) index.insert(Vec(matrix.doubles(), matrix.columns()));
                index.append_rows(matrix.doubles(), matrix.rows(), pending_signals());
                Py_RETURN_NONE;
            }
            Rows vectors;
            if (!named("vectors", to_double_lists(a[0], vectors))) return nullptr;
            release.handled(vectors.bytes());
            if (auto e = index.create(vectors, pending_signals())) return raise_core_error("Create", *e);
            Py_RETURN_NONE;
        });
}

PyMethodDef methods[] = {
    {"insert", as_method(flat_insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats whose length equals the index dimension."},
    {"search", as_method(flat_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(id, distance)`."},
    {"create", as_method(flat_create), METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors)\n--\n\nCreate an index from a list of vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(flat_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Flat>)},
    {Py_tp_doc, const_cast<char*>("PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// Immutable: a class changed from Python (a replaced __new__ above all) could
// hand the methods an instance whose index was never made.
PyType_Spec description = {"builtins.PyFlat", sizeof(FlatObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                           slots};

std::atomic<PyObject*> type_slot{nullptr};

}  // namespace

PyTypeObject* flat_type() { return cached_type(type_slot, description); }

}  // namespace orbisk
