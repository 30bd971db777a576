// PyFlat: the Python face of the exhaustive index.

#include <Python.h>

#include <string>
#include <vector>

#include "flat/flat_index.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/instance.h"

namespace orbisk {

namespace {

using FlatObject = Instance<Flat>;

constexpr const char* new_names[] = {"dim", "metric"};
constexpr const char* insert_names[] = {"vector"};
constexpr const char* search_names[] = {"query", "k"};
constexpr const char* create_names[] = {"vectors"};
const Signature new_sig{"PyFlat.__new__()", new_names, 2, 1};
const Signature insert_sig{"PyFlat.insert()", insert_names, 1, 1};
const Signature search_sig{"PyFlat.search()", search_names, 2, 1};
const Signature create_sig{"PyFlat.create()", create_names, 1, 1};

std::string length_message(const char* what, std::uint32_t dim, std::size_t got) {
    return std::string("Expected ") + what + " of length " + std::to_string(dim) + ", got " +
           std::to_string(got);
}

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(new_sig, args, kwargs, a)) return nullptr;
        std::uint32_t dim;
        if (!named("dim", to_u32(a[0], dim))) return nullptr;
        MetricFn metric = euclidean_distance;  // also for every unknown name
        if (given(a[1])) {
            std::string name;
            if (!named("metric", to_text(a[1], name))) return nullptr;
            if (name == "cosine") metric = cosine_similarity;
            if (name == "inner_product") metric = dot_product;
        }
        return wrap(type, Flat(dim, metric));
    });
}

// Binds, checks self and takes the borrow: the common head of every method.
FlatObject* enter(PyObject* self) {
    PyTypeObject* type = flat_type();
    if (!type || !check_self(self, type, "PyFlat")) return nullptr;
    return &instance<Flat>(self);
}

PyObject* flat_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(insert_sig, args, nargs, kwnames, a)) return nullptr;
        FlatObject* obj = enter(self);
        if (!obj) return nullptr;
        Borrow borrow(obj->borrow, true);
        if (!borrow) return nullptr;
        std::vector<double> vector;
        if (!named("vector", to_doubles(a[0], vector))) return nullptr;
        Flat& index = obj->index;
        if (vector.size() != index.dim()) {
            return raise_value_error(length_message("vector", index.dim(), vector.size()));
        }
        index.insert(vector);
        Py_RETURN_NONE;
    });
}

PyObject* flat_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(search_sig, args, nargs, kwnames, a)) return nullptr;
        FlatObject* obj = enter(self);
        if (!obj) return nullptr;
        Borrow borrow(obj->borrow, false);
        if (!borrow) return nullptr;
        std::vector<double> query;
        if (!named("query", to_doubles(a[0], query))) return nullptr;
        std::uint32_t k = 1;
        if (given(a[1]) && !named("k", to_u32(a[1], k))) return nullptr;
        const Flat& index = obj->index;
        if (query.size() != index.dim()) {
            return raise_value_error(length_message("query", index.dim(), query.size()));
        }
        std::vector<Candidate> found;
        if (auto e = index.search(query, k, found)) {
            return raise_value_error("Search error: " + std::string(name(*e)));
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < found.size(); ++i) {
            PyObject* pair = Py_BuildValue("(kd)", static_cast<unsigned long>(found[i].id),
                                           found[i].distance);
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

PyObject* flat_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReleaseAfterBatch release;
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(create_sig, args, nargs, kwnames, a)) return nullptr;
        FlatObject* obj = enter(self);
        if (!obj) return nullptr;
        Borrow borrow(obj->borrow, true);
        if (!borrow) return nullptr;
        Flat& index = obj->index;
        // A 2-D array of doubles goes straight into the store; it converts
        // without fail and its rows all have the same length.
        if (Buffer matrix{a[0], 2}; matrix && matrix.doubles()) {
            if (matrix.rows() == 0) return raise_value_error("Create error: EmptyVectors");
            if (matrix.columns() != index.dim()) index.insert(Vec(matrix.doubles(), matrix.columns()));
            index.append_rows(matrix.doubles(), matrix.rows(), pending_signals());
            Py_RETURN_NONE;
        }
        Rows vectors;
        if (!named("vectors", to_double_lists(a[0], vectors))) return nullptr;
        release.handled(vectors.bytes());
        if (auto e = index.create(vectors, pending_signals())) {
            return raise_value_error("Create error: " + std::string(name(*e)));
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef methods[] = {
    {"insert", as_method(flat_insert),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats whose length equals the index dimension."},
    {"search", as_method(flat_search),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(id, distance)`."},
    {"create", as_method(flat_create),
     METH_FASTCALL | METH_KEYWORDS,
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

PyType_Spec spec = {"builtins.PyFlat", sizeof(FlatObject), 0, Py_TPFLAGS_DEFAULT, slots};

std::atomic<PyObject*> type_slot{nullptr};

}  // namespace

PyTypeObject* flat_type() { return cached_type(type_slot, spec); }

}  // namespace orbisk
