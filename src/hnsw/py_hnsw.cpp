// PyHNSW: the Python face of the graph index.

#include <Python.h>

#include <sys/random.h>
#include <random>
#include <string>
#include <vector>

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/instance.h"
#include "binding/long_calls.h"
#include "binding/method.h"
#include "filter/py_filter.h"
#include "hnsw/graph.h"
#include "hnsw/py_hnsw.h"
#include "metadata/py_metadata.h"

namespace orbisk {

namespace {

using HNSWObject = Instance<HNSW>;

constexpr const char* new_names[] = {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"};
constexpr const char* insert_names[] = {"vector", "metadata"};
constexpr const char* search_names[] = {"query", "k", "filter"};
constexpr const char* create_names[] = {"vectors", "metadata"};
const Signature new_sig{"PyHNSW.__new__()", new_names, 7};
const Signature insert_sig{"PyHNSW.insert()", insert_names, 2};
const Signature search_sig{"PyHNSW.search()", search_names, 3};
const Signature create_sig{"PyHNSW.create()", create_names, 2};

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

PyObject* hnsw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return enter_new(new_sig, args, kwargs, [&](PyObject* const* a) -> PyObject* {
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
        // The graph calls cosine "angular", and knows no "cosine".
        const auto kind = !has_metric || metric == "cosine" ? std::nullopt
                          : metric == "angular"             ? std::optional(MetricKind::Cosine)
                                                            : metric_named(metric);
        if (!kind) return raise_value_error("Unsupported metric");
        p.metric = *kind;
        if (p.dim == 0) return raise_value_error("dim must be at least 1");
        return wrap(type, HNSW(std::move(p)));
    });
}

PyObject* hnsw_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter_method<HNSW, Access::Exclusive>(
        insert_sig, self, args, nargs, kwnames, [&](HNSW& index, PyObject* const* a) -> PyObject* {
            std::vector<double> vector;
            if (!named("vector", to_doubles(a[0], vector))) return nullptr;
            MetadataRecord record;
            const bool has_metadata = given(a[1]);
            if (has_metadata) {
                std::vector<Pair> pairs;
                if (!named("metadata", to_pairs(a[1], pairs))) return nullptr;
                const Schema& schema = index.params().schema;
                if (!schema) return raise_value_error(no_schema);
                if (!convert_metadata(pairs, *schema, record)) return nullptr;
            }
            if (vector.size() != index.dim()) return raise_value_error(length_message(index.dim(), vector.size()));
            if (auto e = index.insert(vector, has_metadata ? &record : nullptr, thread_rng())) {
                return raise_core_error("Insert", *e);
            }
            Py_RETURN_NONE;
        });
}

PyObject* hnsw_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter_method<HNSW, Access::Shared>(
        search_sig, self, args, nargs, kwnames, [&](const HNSW& index, PyObject* const* a) -> PyObject* {
            std::vector<double> query;
            if (!named("query", to_doubles(a[0], query))) return nullptr;
            std::uint32_t k = 1;
            if (!optional_u32("k", a[1], k)) return nullptr;
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
                return raise_core_error("Search", *e);
            }
            return new_list(found.size(), [&](std::size_t i) -> PyObject* {
                const Vec stored = index.vector(found[i].id);
                Ref vector = Ref::steal(float_list(stored.data(), stored.size()));
                if (!vector) return nullptr;
                return Py_BuildValue("(dN)", found[i].distance, vector.release());
            });
        });
}

PyObject* hnsw_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReleaseAfterBatch release;
    return enter_method<HNSW, Access::Exclusive>(
        create_sig, self, args, nargs, kwnames, [&](HNSW& index, PyObject* const* a) -> PyObject* {
            Rows vectors;
            if (!named("vectors", to_double_lists(a[0], vectors))) return nullptr;
            release.handled(vectors.bytes());
            std::vector<std::vector<Pair>> lists;
            const bool has_metadata = given(a[1]);
            if (has_metadata && !named("metadata", to_pair_lists(a[1], lists))) return nullptr;
            // Without metadata the nodes get no records, schema or not. An
            // empty batch passes the length check and the core refuses it.
            std::vector<MetadataRecord> records;
            if (has_metadata) {
                if (lists.size() != vectors.size()) {
                    return raise_value_error("Length of metadata list must match number of vectors");
                }
                const Schema& schema = index.params().schema;
                if (!schema) return raise_value_error(no_schema);
                records.resize(lists.size());
                for (std::size_t i = 0; i < lists.size(); ++i) {
                    if (!convert_metadata(lists[i], *schema, records[i])) return nullptr;
                }
            }
            if (!check_lengths(vectors, index.dim())) return nullptr;
            std::optional<std::span<const MetadataRecord>> given_records;
            if (has_metadata) given_records = records;
            if (auto e = index.create(vectors, given_records, thread_rng(), pending_signals())) {
                return raise_core_error("Create", *e);
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
    {"create", as_method(hnsw_create), METH_FASTCALL | METH_KEYWORDS, "create($self, vectors, metadata=None)\n--\n\n"},
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

// Immutable, as PyFlat is.
PyType_Spec description = {"builtins.PyHNSW", sizeof(HNSWObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                           slots};

std::atomic<PyObject*> type_slot{nullptr};

}  // namespace

PyTypeObject* hnsw_type() { return cached_type(type_slot, description); }

}  // namespace orbisk
