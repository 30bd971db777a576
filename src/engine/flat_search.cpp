// FlatIndex's searches: the arguments are read first, then the search
// passes the gate beside other searches, picks the rows it searches, and
// runs the batch with the interpreter lock released.

#include <cstdint>
#include <vector>

#include "binding/array_args.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/matrix.h"
#include "binding/results.h"
#include "engine/flat_object.h"
#include "flat/batch.h"

namespace orbisk::engine {

namespace {

/// What every batch call takes: the queries, the rows searched, the threads.
struct Batch {
    Matrix queries;
    MaskArg mask;
    RowsArg listed;
    unsigned threads = 0;
    std::vector<std::uint64_t> words;  ///< the mask's rows, a bit each
    std::vector<std::uint32_t> ids;    ///< the listed rows
    RowSet rows;

    /// The arguments alone, before the gate.
    bool take(const FlatIndexObject& ix, PyObject* queries_obj, PyObject* mask_obj, PyObject* rows_obj,
              PyObject* threads_obj, int finite) {
        return queries.take(queries_obj, "queries", ix.flat->dim()) && (!finite || queries.finite("queries")) &&
               mask.take(mask_obj) && listed.take(rows_obj, mask) && take_threads(threads_obj, threads);
    }

    /// What depends on the rows, inside the gate: the rows not removed,
    /// and with a mask or a row list, those it admits; the threads their
    /// scan pays for.
    bool select(const Flat& flat) {
        if (mask.given()) {
            const std::uint8_t* admit = mask.resolve(flat.size());
            if (!admit) return false;
            rows = flat.admitted_rows(admit, words);
        } else if (listed.given()) {
            if (!listed.resolve(flat.size(), ids)) return false;
            rows = flat.listed_rows(ids, words);
        } else {
            rows = flat.live_rows();
        }
        // Asks the system for the cores: only when needed.
        if (threads == 0) threads = default_threads(queries.rows(), flat.scan_bytes(rows));
        return true;
    }
};

/// The poll of a batch: a look at the signals now and then.
Poll poll_of(Released& released) { return Poll{Released::check, &released}; }

}  // namespace

PyObject* flat_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"queries", "k", "mask", "rows", "threads", "finite", nullptr};
        PyObject* queries_obj = nullptr;
        Py_ssize_t k = 0;
        PyObject* mask_obj = Py_None;
        PyObject* rows_obj = Py_None;
        PyObject* threads_obj = Py_None;
        int finite = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|$OOOp:search", const_cast<char**>(keywords), &queries_obj,
                                         &k, &mask_obj, &rows_obj, &threads_obj, &finite)) {
            return nullptr;
        }
        if (k < 0) return PyErr_Format(PyExc_ValueError, "k must be at least 0, got %zd", k);
        FlatIndexObject& ix = flat_object(self);
        Batch b;
        if (!b.take(ix, queries_obj, mask_obj, rows_obj, threads_obj, finite)) return nullptr;
        Pass reading(ix.gate, Pass::Read, "FlatIndex.search");
        if (!reading || !b.select(*ix.flat)) return nullptr;
        const std::size_t m = b.queries.rows();
        const auto kk = static_cast<std::uint32_t>(std::min<Py_ssize_t>(k, 0xFFFFFFFF));
        const std::size_t width = batch_width(b.rows, kk);
        Ref ids = new_matrix('q', m, width);
        Ref distances = ids ? new_matrix('d', m, width) : Ref();
        if (!distances) return nullptr;
        without_lock(
            [&](Released& released) {
                search_on_threads(*ix.flat, b.queries.data(), m, kk, b.rows, result_items<std::int64_t>(ids),
                                  result_items<double>(distances), b.threads, poll_of(released));
            },
            &reading);
        return PyTuple_Pack(2, ids.get(), distances.get());
    });
}

PyObject* flat_search_radius(PyObject* self, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"queries", "radius", "mask", "rows", "threads", "finite", nullptr};
        PyObject* queries_obj = nullptr;
        double radius = 0.0;
        PyObject* mask_obj = Py_None;
        PyObject* rows_obj = Py_None;
        PyObject* threads_obj = Py_None;
        int finite = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Od|$OOOp:search_radius", const_cast<char**>(keywords),
                                         &queries_obj, &radius, &mask_obj, &rows_obj, &threads_obj, &finite)) {
            return nullptr;
        }
        FlatIndexObject& ix = flat_object(self);
        Batch b;
        if (!b.take(ix, queries_obj, mask_obj, rows_obj, threads_obj, finite)) return nullptr;
        Pass reading(ix.gate, Pass::Read, "FlatIndex.search_radius");
        if (!reading || !b.select(*ix.flat)) return nullptr;
        const std::size_t m = b.queries.rows();
        std::vector<std::vector<Candidate>> found(m);
        without_lock(
            [&](Released& released) {
                search_radius_on_threads(*ix.flat, b.queries.data(), m, radius, b.rows, found.data(), b.threads,
                                         poll_of(released));
            },
            &reading);
        std::size_t total = 0;
        for (const auto& f : found) total += f.size();
        Ref offsets = new_vector('q', m + 1);
        Ref ids = offsets ? new_vector('q', total) : Ref();
        Ref distances = ids ? new_vector('d', total) : Ref();
        if (!distances) return nullptr;
        auto* o = result_items<std::int64_t>(offsets);
        auto* id = result_items<std::int64_t>(ids);
        auto* d = result_items<double>(distances);
        std::size_t at = 0;
        for (std::size_t i = 0; i < m; ++i) {
            o[i] = static_cast<std::int64_t>(at);
            for (const Candidate& c : found[i]) {
                id[at] = c.id;
                d[at++] = c.distance;
            }
        }
        o[m] = static_cast<std::int64_t>(at);
        return PyTuple_Pack(3, offsets.get(), ids.get(), distances.get());
    });
}

}  // namespace orbisk::engine
