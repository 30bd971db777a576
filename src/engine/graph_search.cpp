// GraphIndex's searches: the arguments are read first, then the search
// passes the gate beside other searches, picks the rows it may report, and
// walks with the interpreter lock released.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "binding/array_args.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/matrix.h"
#include "binding/results.h"
#include "engine/graph_object.h"
#include "flat/batch.h"

namespace orbisk::engine {

namespace {

/// Candidates a walk keeps when the call does not say.
constexpr std::uint32_t default_ef = 64;

/// What both searches take: the queries, k, ef, the rows reported, the threads.
struct Walks {
    Matrix queries;
    std::uint32_t k = 0, ef = default_ef;
    MaskArg mask;
    unsigned threads = 1;
    std::vector<std::uint64_t> words;  ///< the mask's rows, a bit each
    RowSet rows;

    /// The arguments alone, before the gate.
    bool take(const GraphIndexObject& ix, PyObject* queries_obj, bool one, Py_ssize_t k_arg, PyObject* ef_obj,
              PyObject* mask_obj, int finite) {
        if (k_arg < 0) {
            PyErr_Format(PyExc_ValueError, "k must be at least 0, got %zd", k_arg);
            return false;
        }
        k = static_cast<std::uint32_t>(std::min<Py_ssize_t>(k_arg, 0xFFFFFFFF));
        if (ef_obj != Py_None) {
            const Py_ssize_t ef_arg = PyNumber_AsSsize_t(ef_obj, PyExc_OverflowError);
            if (ef_arg == -1 && PyErr_Occurred()) return false;
            if (ef_arg < 1) {
                PyErr_Format(PyExc_ValueError, "ef must be at least 1, got %zd", ef_arg);
                return false;
            }
            ef = static_cast<std::uint32_t>(std::min<Py_ssize_t>(ef_arg, 0xFFFFFFFF));
        }
        const char* what = one ? "query" : "queries";
        return queries.take(queries_obj, what, ix.graph->dim(), true, one) && (!finite || queries.finite(what)) &&
               mask.take(mask_obj);
    }

    /// Inside the gate: the rows not removed and, with a mask, those it admits.
    bool select(const Graph& graph) {
        if (!mask.given()) {
            rows = graph.live_rows();
            return true;
        }
        const std::uint8_t* admit = mask.resolve(graph.size());
        if (!admit) return false;
        rows = graph.admitted_rows(admit, words);
        return true;
    }

    /// The walks, the interpreter lock released, into `ids` and `distances`.
    void run(const Graph& graph, Pass& reading, std::int64_t* ids, double* distances) {
        without_lock(
            [&](Released& released) {
                graph.search_batch(queries.data(), queries.rows(), k, ef, &rows, ids, distances, threads,
                                   Poll{Released::check, &released});
            },
            &reading);
    }
};

}  // namespace

PyObject* graph_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"query", "k", "ef", "mask", "finite", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t k = 0;
        PyObject* ef_obj = Py_None;
        PyObject* mask_obj = Py_None;
        int finite = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|$OOp:search", const_cast<char**>(keywords), &query_obj, &k,
                                         &ef_obj, &mask_obj, &finite)) {
            return nullptr;
        }
        GraphIndexObject& ix = graph_object(self);
        Walks w;
        if (!w.take(ix, query_obj, true, k, ef_obj, mask_obj, finite)) return nullptr;
        Pass reading(ix.gate, Pass::Read, "GraphIndex.search");
        if (!reading || !w.select(*ix.graph)) return nullptr;
        const std::size_t width = batch_width(w.rows, w.k);
        Ref ids = new_vector('q', width);
        Ref distances = ids ? new_vector('d', width) : Ref();
        if (!distances) return nullptr;
        w.run(*ix.graph, reading, result_items<std::int64_t>(ids), result_items<double>(distances));
        return PyTuple_Pack(2, ids.get(), distances.get());
    });
}

PyObject* graph_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"queries", "k", "ef", "mask", "threads", "finite", nullptr};
        PyObject* queries_obj = nullptr;
        Py_ssize_t k = 0;
        PyObject* ef_obj = Py_None;
        PyObject* mask_obj = Py_None;
        PyObject* threads_obj = Py_None;
        int finite = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|$OOOp:search_batch", const_cast<char**>(keywords),
                                         &queries_obj, &k, &ef_obj, &mask_obj, &threads_obj, &finite)) {
            return nullptr;
        }
        GraphIndexObject& ix = graph_object(self);
        Walks w;
        if (!w.take(ix, queries_obj, false, k, ef_obj, mask_obj, finite) || !take_threads(threads_obj, w.threads)) {
            return nullptr;
        }
        // A walk costs about a scan of 1 MiB: a thread pays for itself per query.
        if (w.threads == 0) w.threads = default_threads(w.queries.rows(), std::size_t{1} << 20);
        Pass reading(ix.gate, Pass::Read, "GraphIndex.search_batch");
        if (!reading || !w.select(*ix.graph)) return nullptr;
        const std::size_t m = w.queries.rows(), width = batch_width(w.rows, w.k);
        Ref ids = new_matrix('q', m, width);
        Ref distances = ids ? new_matrix('d', m, width) : Ref();
        if (!distances) return nullptr;
        w.run(*ix.graph, reading, result_items<std::int64_t>(ids), result_items<double>(distances));
        return PyTuple_Pack(2, ids.get(), distances.get());
    });
}

}  // namespace orbisk::engine
