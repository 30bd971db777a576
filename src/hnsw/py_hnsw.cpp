// PyHNSW: the Python face of the graph index.

#include <Python.h>

#include <random>
#include <string>
#include <sys/random.h>
#include <vector>

#include "filter/py_filter.h"
#include "hnsw/graph.h"
#include "metadata/py_metadata.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/instance.h"

namespace orbisk {

namespace {

using HNSWObject = Instance<HNSW>;

constexpr const char* new_names[] = {"dim",       "layers", "m",     "ef_construction",
                                     "ef_search", "metric", "schema"};
constexpr const char* insert_names[] = {"vector", "metadata"};
constexpr const char* search_names[] = {"query", "k", "filter"};
constexpr const char* create_names[] = {"vectors", "metadata"};
const Signature new_sig{"PyHNSW.__new__()", new_names, 7, 1};
const Signature insert_sig{"PyHNSW.insert()", insert_names, 2, 1};
const Signature search_sig{"PyHNSW.search()", search_names, 3, 1};
const Signature create_sig{"PyHNSW.create()", create_names, 2, 1};

const char* const no_schema = "No schema provided in HNSW instance; cannot use metadata";

/// The calling thread's generator, seeded from the operating system.
Rng& thread_rng() {
    thread_local Rng rng = [] {
        std::uint32_t words[8];
        if (getrandom(words, sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
            std::random_device device;
            for (auto& w : words) w = device();
        }
        std::seed_seq seq(std::begin(words), std::end(words));
        return Rng(seq);
    }();
    return rng;
}

std::string length_message(std::uint32_t dim, std::size_t got) {
    return "Expected vector of length " + std::to_string(dim) + ", got " + std::to_string(got);
}

/// The first vector whose length is not dim, reported as ValueError.
bool check_lengths(const Rows& vectors, std::uint32_t dim) {
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (vectors[i].size() != dim) {
            raise_value_error(length_message(dim, vectors[i].size()));
            return false;
        }
    }
    return true;
}

bool optional_u32(const char* param, PyObject* arg, std::uint32_t& out) {
    return !given(arg) || named(param, to_u32(arg, out));
}

PyObject* hnsw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!bind(new_sig, args, kwargs, a)) return nullptr;
        HNSWParams p;
        if (!named("dim", to_u32(a[0], p.dim))) return nullptr;
        if (!optional_u32("layers", a[1], p.layers)) return nullptr;
        if (!optional_u32("m", a[2], p.m)) return nullptr;
        if (!optional_u32("ef_construction", a[3], p.ef_construction)) return nullptr;
        if (!optional_u32("ef_search", a[4], p.ef_search)) return nullptr;
        std::string metric;
        const bool has_metric = given(a[5]);
        if (has_metric && !named("metric", to_text(a[5], metric))) return nullptr;
        if (given(a[6])) {
            p.schema.emplace();
            if (!named("schema", to_texts(a[6], *p.schema))) return nullptr;
        }
        if (has_metric && metric == "euclidean") {
            p.metric = euclidean_distance;
        } else if (has_metric && metric == "angular") {
            p.metric = cosine_similarity;
        } else if (has_metric && metric == "inner_product") {
            p.metric = dot_product;
        } else {
            return raise_value_error("Unsupported metric");
        }
        if (p.dim == 0) return raise_value_error("dim must be at least 1");
        return wrap(type, HNSW(std::move(p)));
    });
}

HNSWObject* enter(PyObject* self) {
    PyTypeObject* type = hnsw_type();
    if (!type || !check_self(self, type, "PyHNSW")) return nullptr;
    return &instance<HNSW>(self);
}

PyObject* hnsw_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(insert_sig, args, nargs, kwnames, a)) return nullptr;
        HNSWObject* obj = enter(self);
        if (!obj) return nullptr;
        Borrow borrow(obj->borrow, true);
        if (!borrow) return nullptr;
        std::vector<double> vector;
        if (!named("vector", to_doubles(a[0], vector))) return nullptr;
        HNSW& index = obj->index;
        MetadataRecord record;
        const bool has_metadata = given(a[1]);
        if (has_metadata) {
            std::vector<Pair> pairs;
            if (!named("metadata", to_pairs(a[1], pairs))) return nullptr;
            const Schema& schema = index.params().schema;
            if (!schema) return raise_value_error(no_schema);
            if (!convert_metadata(pairs, *schema, record)) return nullptr;
        }
        if (vector.size() != index.dim()) {
            return raise_value_error(length_message(index.dim(), vector.size()));
        }
        if (auto e = index.insert(vector, has_metadata ? &record : nullptr, thread_rng())) {
            return raise_value_error("Insert error: " + std::string(name(*e)));
        }
        Py_RETURN_NONE;
    });
}

PyObject* hnsw_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind(search_sig, args, nargs, kwnames, a)) return nullptr;
        HNSWObject* obj = enter(self);
        if (!obj) return nullptr;
        Borrow borrow(obj->borrow, false);
        if (!borrow) return nullptr;
        std::vector<double> query;
        if (!named("query", to_doubles(a[0], query))) return nullptr;
        std::uint32_t k = 1;
        if (given(a[1]) && !named("k", to_u32(a[1], k))) return nullptr;
        const HNSW& index = obj->index;
        Filter filter;
        const bool filtered = given(a[2]);
        if (filtered) {
            Pair pair;
            if (!named("filter", to_pair(a[2], pair))) return nullptr;
            if (!index.params().schema) {
                return raise_value_error("No schema provided in HNSW instance; cannot use metadata filtering");
            }
            if (!make_python_filter(pair.name, pair.value.get(), filter)) return nullptr;
        }
        std::vector<Candidate> found;
        if (auto e = index.search(query, k, filtered ? &filter : nullptr, found)) {
            return raise_value_error("Search error: " + std::string(name(*e)));
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < found.size(); ++i) {
            const Vec stored = index.vector(found[i].id);
            Ref vector = Ref::steal(float_list(stored.data(), stored.size()));
            if (!vector) return nullptr;
            PyObject* pair = Py_BuildValue("(dN)", found[i].distance, vector.release());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

PyObject* hnsw_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReleaseAfterBatch release;
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(create_sig, args, nargs, kwnames, a)) return nullptr;
        HNSWObject* obj = enter(self);
        if (!obj) return nullptr;
        Borrow borrow(obj->borrow, true);
        if (!borrow) return nullptr;
        Rows vectors;
        if (!named("vectors", to_double_lists(a[0], vectors))) return nullptr;
        release.handled(vectors.bytes());
        std::vector<std::vector<Pair>> lists;
        const bool has_metadata = given(a[1]);
        if (has_metadata && !named("metadata", to_pair_lists(a[1], lists))) return nullptr;
        HNSW& index = obj->index;
        Rng& rng = thread_rng();
        if (!has_metadata) {
            if (vectors.empty()) return raise_value_error("Create error: EmptyVectors");
            if (!check_lengths(vectors, index.dim())) return nullptr;
            index.reserve(vectors.size());
            Interrupt signals = pending_signals();
            for (std::size_t i = 0; i < vectors.size(); ++i) {
                signals.step(index.size() * index.dim());
                if (auto e = index.insert(vectors[i], nullptr, rng)) {
                    return raise_value_error("Create error: " + std::string(name(*e)));
                }
            }
            Py_RETURN_NONE;
        }
        if (lists.size() != vectors.size()) {
            return raise_value_error("Length of metadata list must match number of vectors");
        }
        const Schema& schema = index.params().schema;
        if (!schema) return raise_value_error(no_schema);
        std::vector<MetadataRecord> records(lists.size());
        for (std::size_t i = 0; i < lists.size(); ++i) {
            if (!convert_metadata(lists[i], *schema, records[i])) return nullptr;
        }
        if (!check_lengths(vectors, index.dim())) return nullptr;
        if (auto e = index.create(vectors, records, rng, pending_signals())) {
            return raise_value_error("Create error: " + std::string(name(*e)));
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef methods[] = {
    {"insert", as_method(hnsw_insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats.\n"
     "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
     "`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search", as_method(hnsw_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create", as_method(hnsw_create), METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors, metadata=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hnsw_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<HNSW>)},
    {Py_tp_doc, const_cast<char*>("PyHNSW(dim, layers=None, m=None, ef_construction=None, "
                                  "ef_search=None, metric=None, schema=None)\n--\n\n")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyHNSW", sizeof(HNSWObject), 0, Py_TPFLAGS_DEFAULT, slots};

std::atomic<PyObject*> type_slot{nullptr};

}  // namespace

PyTypeObject* hnsw_type() { return cached_type(type_slot, spec); }

}  // namespace orbisk
