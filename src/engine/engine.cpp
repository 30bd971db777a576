// orbisk_engine: the exact flat index for numpy users. Rows and queries come
// in as 2-D buffers, results go out as 2-D buffers that numpy wraps without
// a copy, and a batch of queries runs on every core with the interpreter
// lock released. The index and its scan are orbisk's own (flat/), so every
// result row is bit for bit what orbisk.PyFlat.search gives for that query.

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "common/failure.h"
#include "common/interrupt.h"
#include "flat/batch.h"
#include "flat/flat_index.h"

namespace orbisk {

static_assert(std::endian::native == std::endian::little, "buffers are read as little-endian");

namespace {

// ---- results: a 2-D buffer of int64 or float64 --------------------------

struct ResultBuffer {
    PyObject_HEAD
    void* data;
    char format[2];
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyTypeObject* result_type = nullptr;

int result_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* r = reinterpret_cast<ResultBuffer*>(self);
    view->buf = r->data;
    view->obj = Py_NewRef(self);
    view->itemsize = 8;
    view->len = r->shape[0] * r->shape[1] * 8;
    view->readonly = 0;
    view->format = (flags & PyBUF_FORMAT) ? r->format : nullptr;
    view->ndim = 2;
    view->shape = (flags & PyBUF_ND) ? r->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) ? r->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void result_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(reinterpret_cast<ResultBuffer*>(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

/// A new rows x cols buffer of 8-byte items of `format` ('q' or 'd'),
/// uninitialised; null with MemoryError set when it cannot be had.
ResultBuffer* new_result(char format, std::size_t rows, std::size_t cols) {
    auto* r = PyObject_New(ResultBuffer, result_type);
    if (!r) return nullptr;
    r->data = std::malloc(std::max<std::size_t>(rows * cols * 8, 8));
    if (!r->data) {
        Py_DECREF(r);
        PyErr_NoMemory();
        return nullptr;
    }
    r->format[0] = format;
    r->format[1] = '\0';
    r->shape[0] = static_cast<Py_ssize_t>(rows);
    r->shape[1] = static_cast<Py_ssize_t>(cols);
    r->strides[0] = static_cast<Py_ssize_t>(cols * 8);
    r->strides[1] = 8;
    return r;
}

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_doc, const_cast<char*>("A 2-D array of int64 or float64 that numpy.asarray wraps without a copy.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(result_getbuffer)},
    {0, nullptr},
};

PyType_Spec result_spec = {"orbisk_engine.ResultBuffer", sizeof(ResultBuffer), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           result_slots};

// ---- input: a 2-D buffer of real numbers, as float64 ---------------------

/// A held buffer of shape (n, dim) and the float64 values of its rows:
/// its own memory when it already holds native float64, else a copy.
class Matrix {
  public:
    ~Matrix() {
        if (view_.obj) PyBuffer_Release(&view_);
    }

    /// Takes `obj` as a 2-D array of `dim` columns; false with an exception
    /// set when it is not one or a value has no exact float64.
    bool take(PyObject* obj, const char* what, std::size_t dim) {
        if (!PyObject_CheckBuffer(obj)) {
            PyErr_Format(PyExc_TypeError, "%s must be a 2-D array (numpy.ndarray or another buffer), not %.200s",
                         what, Py_TYPE(obj)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
        if (view_.ndim != 2 || view_.shape[1] != static_cast<Py_ssize_t>(dim)) {
            std::string got = "(";
            for (int i = 0; i < view_.ndim; ++i) got += (i ? ", " : "") + std::to_string(view_.shape[i]);
            got += view_.ndim == 1 ? ",)" : ")";
            PyErr_Format(PyExc_ValueError, "%s must have shape (n, %zu), got shape %s", what, dim, got.c_str());
            return false;
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s must be C-contiguous (numpy.ascontiguousarray makes it so)", what);
            return false;
        }
        rows_ = static_cast<std::size_t>(view_.shape[0]);
        return convert(what, dim);
    }

    std::size_t rows() const { return rows_; }
    const double* data() const { return data_; }

  private:
    /// Copies the items, each of type T, as float64; false with ValueError
    /// for a 64-bit integer beyond 2^53 that has no float64 of its own.
    template <class T>
    bool copy_exact(const char* what, std::size_t dim) {
        const auto* src = static_cast<const unsigned char*>(view_.buf);
        for (std::size_t i = 0; i < copy_.size(); ++i) {
            T v;
            std::memcpy(&v, src + i * sizeof(T), sizeof(T));
            const double d = static_cast<double>(v);
            if constexpr (sizeof(T) == 8 && std::is_integral_v<T>) {
                if (d >= 0x1p63 || static_cast<T>(d) != v) {
                    PyErr_Format(PyExc_ValueError, "%s[%zu, %zu] = %s has no exact float64 value", what, i / dim,
                                 i % dim, std::to_string(v).c_str());
                    return false;
                }
            }
            copy_[i] = d;
        }
        data_ = copy_.data();
        return true;
    }

    template <class Signed, class Unsigned>
    bool copy_int(bool is_signed, const char* what, std::size_t dim) {
        return is_signed ? copy_exact<Signed>(what, dim) : copy_exact<Unsigned>(what, dim);
    }

    bool convert(const char* what, std::size_t dim) {
        // One item code, native or little-endian (the byte order of every
        // machine this builds for); integers go by their item size.
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const char code = f[0] != '\0' && f[1] == '\0' ? f[0] : '\0';
        if (code == 'd') {
            data_ = static_cast<const double*>(view_.buf);
            return true;
        }
        const bool is_signed = code != '\0' && std::strchr("bhilq", code);
        if (code == '\0' || !(code == 'f' || is_signed || std::strchr("?BHILQ", code))) {
            PyErr_Format(PyExc_TypeError, "%s must hold real numbers (float64, float32, ints or bools), got format '%s'",
                         what, view_.format ? view_.format : "B");
            return false;
        }
        try {
            copy_.resize(rows_ * dim);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        if (code == 'f') return copy_exact<float>(what, dim);
        switch (view_.itemsize) {
            case 1: return copy_int<std::int8_t, std::uint8_t>(is_signed, what, dim);
            case 2: return copy_int<std::int16_t, std::uint16_t>(is_signed, what, dim);
            case 4: return copy_int<std::int32_t, std::uint32_t>(is_signed, what, dim);
            default: return copy_int<std::int64_t, std::uint64_t>(is_signed, what, dim);
        }
    }

    Py_buffer view_{};
    std::size_t rows_ = 0;
    const double* data_ = nullptr;
    std::vector<double> copy_;
};

// ---- the index -------------------------------------------------------------

struct MetricName {
    const char* name;
    MetricKind kind;
};
constexpr MetricName metric_names[] = {
    {"euclidean", MetricKind::Euclidean},
    {"cosine", MetricKind::Cosine},
    {"inner_product", MetricKind::Dot},
};

struct FlatIndex {
    PyObject_HEAD
    Flat* flat;
    const char* metric;
    /// Searches running with the interpreter lock released: rows cannot be
    /// added meanwhile.
    std::atomic<int> searching;
};

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dim", "metric", nullptr};
    Py_ssize_t dim = 0;
    const char* metric = "euclidean";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|s:FlatIndex", const_cast<char**>(keywords), &dim, &metric)) {
        return nullptr;
    }
    if (dim < 1 || dim > 0xFFFFFFFF) return PyErr_Format(PyExc_ValueError, "dim must be between 1 and 4294967295, got %zd", dim);
    const MetricName* chosen = nullptr;
    for (const auto& m : metric_names) {
        if (std::strcmp(m.name, metric) == 0) chosen = &m;
    }
    if (!chosen) {
        return PyErr_Format(PyExc_ValueError, "unknown metric '%s': expected 'euclidean', 'cosine' or 'inner_product'",
                            metric);
    }
    Flat* flat = new (std::nothrow) Flat(static_cast<std::uint32_t>(dim), chosen->kind);
    if (!flat) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete flat;
        return nullptr;
    }
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    ix->flat = flat;
    ix->metric = chosen->name;
    new (&ix->searching) std::atomic<int>(0);
    return self;
}

void flat_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<FlatIndex*>(self)->flat;
    type->tp_free(self);
    Py_DECREF(type);
}

bool check_signals(void*) { return PyErr_CheckSignals() < 0; }

PyObject* flat_add(PyObject* self, PyObject* rows_obj) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    if (ix->searching.load() > 0) {
        PyErr_SetString(PyExc_RuntimeError, "FlatIndex.add: the index is being searched by another thread");
        return nullptr;
    }
    Matrix rows;
    if (!rows.take(rows_obj, "rows", ix->flat->dim())) return nullptr;
    try {
        ix->flat->append_rows(rows.data(), rows.rows(), Interrupt(check_signals, nullptr));
    } catch (const Interrupted&) {
        return nullptr;  // the signal's exception is set; the rows before it stay
    } catch (const CapacityExceeded& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

/// Runs on the calling thread while the batch runs without the lock: takes
/// the lock back for a look at the signals.
struct Released {
    PyThreadState* state;
    static bool check(void* context) {
        auto* r = static_cast<Released*>(context);
        PyEval_RestoreThread(r->state);
        const bool stop = PyErr_CheckSignals() < 0;
        r->state = PyEval_SaveThread();
        return stop;
    }
};

PyObject* flat_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"queries", "k", "threads", nullptr};
    PyObject* queries_obj = nullptr;
    Py_ssize_t k = 0;
    PyObject* threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|$O:search", const_cast<char**>(keywords), &queries_obj, &k,
                                     &threads_obj)) {
        return nullptr;
    }
    if (k < 0) return PyErr_Format(PyExc_ValueError, "k must be at least 0, got %zd", k);
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    Matrix queries;
    if (!queries.take(queries_obj, "queries", ix->flat->dim())) return nullptr;
    const std::size_t m = queries.rows();
    unsigned threads = default_threads(m);
    if (threads_obj != Py_None) {
        const Py_ssize_t t = PyNumber_AsSsize_t(threads_obj, PyExc_OverflowError);
        if (t == -1 && PyErr_Occurred()) return nullptr;
        if (t < 1 || t > 4096) return PyErr_Format(PyExc_ValueError, "threads must be between 1 and 4096, got %zd", t);
        threads = static_cast<unsigned>(t);
    }
    const auto kk = static_cast<std::uint32_t>(std::min<Py_ssize_t>(k, 0xFFFFFFFF));
    const std::size_t width = batch_width(*ix->flat, kk);
    PyObject* ids = reinterpret_cast<PyObject*>(new_result('q', m, width));
    if (!ids) return nullptr;
    PyObject* distances = reinterpret_cast<PyObject*>(new_result('d', m, width));
    if (!distances) {
        Py_DECREF(ids);
        return nullptr;
    }
    auto* id_data = static_cast<std::int64_t*>(reinterpret_cast<ResultBuffer*>(ids)->data);
    auto* distance_data = static_cast<double*>(reinterpret_cast<ResultBuffer*>(distances)->data);

    ++ix->searching;
    Released released{PyEval_SaveThread()};
    enum { Done, Stopped, NoMemory } outcome = Done;
    try {
        search_batch(*ix->flat, queries.data(), m, kk, id_data, distance_data, threads, {Released::check, &released});
    } catch (const Interrupted&) {
        outcome = Stopped;
    } catch (const std::bad_alloc&) {
        outcome = NoMemory;
    }
    PyEval_RestoreThread(released.state);
    --ix->searching;
    if (outcome != Done) {
        Py_DECREF(ids);
        Py_DECREF(distances);
        return outcome == NoMemory ? PyErr_NoMemory() : nullptr;
    }
    return Py_BuildValue("(NN)", ids, distances);  // takes both references, also on failure
}

Py_ssize_t flat_len(PyObject* self) { return static_cast<Py_ssize_t>(reinterpret_cast<FlatIndex*>(self)->flat->size()); }

PyObject* flat_dim(PyObject* self, void*) { return PyLong_FromUnsignedLong(reinterpret_cast<FlatIndex*>(self)->flat->dim()); }

PyObject* flat_metric(PyObject* self, void*) { return PyUnicode_FromString(reinterpret_cast<FlatIndex*>(self)->metric); }

PyObject* flat_repr(PyObject* self) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    return PyUnicode_FromFormat("FlatIndex(dim=%u, metric='%s', rows=%zu)", ix->flat->dim(), ix->metric, ix->flat->size());
}

PyMethodDef flat_methods[] = {
    {"add", flat_add, METH_O,
     "add($self, rows, /)\n--\n\nAppends the rows of a 2-D array of shape (n, dim), in order; their ids continue from len(self)."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_search)), METH_VARARGS | METH_KEYWORDS,
     "search($self, /, queries, k, *, threads=None)\n--\n\n"
     "The first min(k, len(self)) rows for each query of a 2-D array: (ids, distances), buffers of shape\n"
     "(m, min(k, len(self))) of int64 and float64. Row i is bit for bit orbisk.PyFlat.search(queries[i], k)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef flat_getset[] = {
    {"dim", flat_dim, nullptr, "The length of every row.", nullptr},
    {"metric", flat_metric, nullptr, "'euclidean', 'cosine' or 'inner_product'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot flat_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(flat_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(flat_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(flat_repr)},
    {Py_tp_methods, flat_methods},
    {Py_tp_getset, flat_getset},
    {Py_sq_length, reinterpret_cast<void*>(flat_len)},
    {Py_tp_doc, const_cast<char*>("FlatIndex(dim, metric='euclidean')\n--\n\n"
                                  "An exact flat index: every search compares each query with every row.")},
    {0, nullptr},
};

PyType_Spec flat_spec = {"orbisk_engine.FlatIndex", sizeof(FlatIndex), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, flat_slots};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orbisk_engine",
    "The engine of orbisk's everyday path: exact batch search on every core.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init() {
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    if (!result_type) {
        result_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&result_spec));
        if (!result_type) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    PyObject* flat_type = PyType_FromSpec(&flat_spec);
    if (!flat_type || PyModule_Add(module, "FlatIndex", flat_type) < 0 ||
        PyModule_AddObjectRef(module, "ResultBuffer", reinterpret_cast<PyObject*>(result_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

}  // namespace orbisk

PyMODINIT_FUNC PyInit_orbisk_engine(void) { return orbisk::init(); }
