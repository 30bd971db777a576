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
#include "common/shared_array.h"
#include "flat/batch.h"
#include "flat/flat_index.h"

namespace orbisk {

static_assert(std::endian::native == std::endian::little, "buffers are read as little-endian");

namespace {

// ---- results: a 2-D buffer of int64 or float64 --------------------------

struct ResultBuffer {
    PyObject_HEAD
    void* data;
    /// The memory of data when the buffer does not own it (a view of an
    /// index's rows): held until the buffer goes.
    SharedArray<double>::Block held;
    int ndim;
    bool readonly;
    char format[2];
    Py_ssize_t itemsize;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyTypeObject* result_type = nullptr;

int result_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* r = reinterpret_cast<ResultBuffer*>(self);
    if (r->readonly && (flags & PyBUF_WRITABLE)) {
        PyErr_SetString(PyExc_BufferError, "a view of an index's rows is read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = r->data;
    view->obj = Py_NewRef(self);
    view->itemsize = r->itemsize;
    view->len = r->shape[0] * (r->ndim == 2 ? r->shape[1] : 1) * r->itemsize;
    view->readonly = r->readonly;
    view->format = (flags & PyBUF_FORMAT) ? r->format : nullptr;
    view->ndim = r->ndim;
    view->shape = (flags & PyBUF_ND) ? r->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) ? r->strides : nullptr;
    if (!(flags & PyBUF_ND)) {
        // Asked for no shape: the bytes as one run (a consumer reads ndim
        // shape entries, and without a format, items of one byte).
        view->ndim = 1;
        if (!(flags & PyBUF_FORMAT)) view->itemsize = 1;
    }
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void result_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* r = reinterpret_cast<ResultBuffer*>(self);
    if (r->held) {
        r->held.~shared_ptr();
    } else {
        std::free(r->data);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

std::size_t item_size(char format) { return format == 'f' ? 4 : format == 'B' ? 1 : 8; }

/// A buffer of shape (rows, cols), or (rows,) when cols is 0, of items of
/// `format` ('q', 'd', 'f' or 'B'), over `data` held by `held`, read-only;
/// or, with no data, over new uninitialised memory it owns. Null with an
/// exception set when it cannot be had.
ResultBuffer* new_result(char format, std::size_t rows, std::size_t cols, const void* data = nullptr,
                         SharedArray<double>::Block held = {}) {
    const std::size_t size = item_size(format);
    auto* r = PyObject_New(ResultBuffer, result_type);
    if (!r) return nullptr;
    new (&r->held) SharedArray<double>::Block(std::move(held));
    r->readonly = data != nullptr;
    r->data = const_cast<void*>(data);
    if (!data) {
        r->data = std::malloc(std::max<std::size_t>(rows * std::max<std::size_t>(cols, 1) * size, 8));
        if (!r->data) {
            Py_DECREF(r);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    r->ndim = cols ? 2 : 1;
    r->format[0] = format;
    r->format[1] = '\0';
    r->itemsize = static_cast<Py_ssize_t>(size);
    r->shape[0] = static_cast<Py_ssize_t>(rows);
    r->shape[1] = static_cast<Py_ssize_t>(cols);
    r->strides[0] = static_cast<Py_ssize_t>(std::max<std::size_t>(cols, 1) * size);
    r->strides[1] = static_cast<Py_ssize_t>(size);
    return r;
}

/// A new buffer holding a copy of `count` items of `format` at `from`.
PyObject* copied_result(char format, std::size_t count, const void* from) {
    ResultBuffer* r = new_result(format, count, 0);
    if (r && count) std::memcpy(r->data, from, count * item_size(format));
    return reinterpret_cast<PyObject*>(r);
}

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_doc, const_cast<char*>("An array (results, or a read-only view of an index's rows) that numpy.asarray "
                                  "wraps without a copy.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(result_getbuffer)},
    {0, nullptr},
};

PyType_Spec result_spec = {"orbisk_engine.ResultBuffer", sizeof(ResultBuffer), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           result_slots};

// ---- input: a 2-D buffer of real numbers, as float64 ---------------------

/// A held buffer of shape (n, dim) and the float64 values of its rows: its
/// own memory when it already holds native float64, else converted a chunk
/// of rows at a time (or all at once, for queries).
class Matrix {
  public:
    ~Matrix() {
        if (view_.obj) PyBuffer_Release(&view_);
    }

    /// Takes `obj` as a 2-D array of `dim` columns; false with an exception
    /// set when it is not one or a value has no exact float64. With
    /// `convert`, the values are converted at once (data() holds them all);
    /// without, rows() converts them on demand.
    bool take(PyObject* obj, const char* what, std::size_t dim, bool convert = true) {
        if (!PyObject_CheckBuffer(obj)) {
            PyErr_Format(PyExc_TypeError, "%s must be a 2-D array (numpy.ndarray or another buffer), not %.200s", what,
                         Py_TYPE(obj)->tp_name);
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
        dim_ = dim;
        if (!classify(what) || !check_exact(what)) return false;
        if (!convert || code_ == 'd') return true;
        try {
            copy_.resize(rows_ * dim);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        convert_rows(0, rows_, copy_.data());
        return true;
    }

    std::size_t rows() const { return rows_; }
    std::size_t dim() const { return dim_; }
    /// Every value, after take(..., convert = true).
    const double* data() const { return code_ == 'd' ? static_cast<const double*>(view_.buf) : copy_.data(); }
    /// Rows [first, first + count) as float64: in place when they are, else
    /// converted into `buffer` (resized; std::bad_alloc when it cannot be).
    const double* rows(std::size_t first, std::size_t count, std::vector<double>& buffer) const {
        if (code_ == 'd') return static_cast<const double*>(view_.buf) + first * dim_;
        buffer.resize(count * dim_);
        convert_rows(first, count, buffer.data());
        return buffer.data();
    }

  private:
    /// One item code, native or little-endian (the byte order of every
    /// machine this builds for); integers go by their item size.
    bool classify(const char* what) {
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const char code = f[0] != '\0' && f[1] == '\0' ? f[0] : '\0';
        signed_ = code != '\0' && std::strchr("bhilq", code);
        if (code == '\0' || !(code == 'd' || code == 'f' || signed_ || std::strchr("?BHILQ", code))) {
            PyErr_Format(PyExc_TypeError,
                         "%s must hold real numbers (float64, float32, ints or bools), got format '%s'", what,
                         view_.format ? view_.format : "B");
            return false;
        }
        code_ = code == 'd' || code == 'f' ? code : 'i';
        return true;
    }

    template <class T>
    static double value(const unsigned char* src, std::size_t i) {
        T v;
        std::memcpy(&v, src + i * sizeof(T), sizeof(T));
        return static_cast<double>(v);
    }

    /// ValueError for a 64-bit integer beyond 2^53 that has no float64 of
    /// its own: checked over the whole array before any row is used.
    template <class T>
    bool exact_ints(const char* what) const {
        const auto* src = static_cast<const unsigned char*>(view_.buf);
        for (std::size_t i = 0; i < rows_ * dim_; ++i) {
            T v;
            std::memcpy(&v, src + i * sizeof(T), sizeof(T));
            const double d = static_cast<double>(v);
            if (d >= 0x1p63 || static_cast<T>(d) != v) {
                PyErr_Format(PyExc_ValueError, "%s[%zu, %zu] = %s has no exact float64 value", what, i / dim_, i % dim_,
                             std::to_string(v).c_str());
                return false;
            }
        }
        return true;
    }

    bool check_exact(const char* what) const {
        if (code_ != 'i' || view_.itemsize != 8) return true;
        return signed_ ? exact_ints<std::int64_t>(what) : exact_ints<std::uint64_t>(what);
    }

    template <class T>
    void convert_as(std::size_t first, std::size_t count, double* out) const {
        const auto* src = static_cast<const unsigned char*>(view_.buf) + first * dim_ * sizeof(T);
        for (std::size_t i = 0; i < count * dim_; ++i) out[i] = value<T>(src, i);
    }

    template <class Signed, class Unsigned>
    void convert_int(std::size_t first, std::size_t count, double* out) const {
        if (signed_) {
            convert_as<Signed>(first, count, out);
        } else {
            convert_as<Unsigned>(first, count, out);
        }
    }

    /// Only for values that are not float64 already (those are read in place).
    void convert_rows(std::size_t first, std::size_t count, double* out) const {
        if (code_ == 'f') return convert_as<float>(first, count, out);
        switch (view_.itemsize) {
            case 1: return convert_int<std::int8_t, std::uint8_t>(first, count, out);
            case 2: return convert_int<std::int16_t, std::uint16_t>(first, count, out);
            case 4: return convert_int<std::int32_t, std::uint32_t>(first, count, out);
            default: return convert_int<std::int64_t, std::uint64_t>(first, count, out);
        }
    }

    Py_buffer view_{};
    std::size_t rows_ = 0, dim_ = 0;
    char code_ = 'd';
    bool signed_ = false;
    std::vector<double> copy_;
};

// ---- the index -------------------------------------------------------------

struct FlatIndex {
    PyObject_HEAD
    Flat* flat;
    const char* metric;  ///< its name in the metric table
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
    if (dim < 1 || dim > 0xFFFFFFFF)
        return PyErr_Format(PyExc_ValueError, "dim must be between 1 and 4294967295, got %zd", dim);
    const std::optional<MetricKind> kind = metric_named(metric);
    if (!kind) {
        std::string known;
        for (const MetricName& m : metric_names) known += (known.empty() ? "'" : ", '") + std::string(m.name) + "'";
        return PyErr_Format(PyExc_ValueError, "unknown metric '%s': expected one of %s", metric, known.c_str());
    }
    Flat* flat = new (std::nothrow) Flat(static_cast<std::uint32_t>(dim), *kind);
    if (!flat) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete flat;
        return nullptr;
    }
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    ix->flat = flat;
    ix->metric = metric_name(*kind).data();  // the table's texts end in a zero
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

/// Runs `grow` (an add or a reservation): false with the exception set when
/// it stopped: a signal's (its exception is set already), ValueError past
/// the capacity, MemoryError.
template <class F>
bool growing(F&& grow) {
    try {
        grow();
        return true;
    } catch (const Interrupted&) {
    } catch (const CapacityExceeded& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

/// A RuntimeError when searches of another thread run: the index may not
/// change meanwhile.
bool refuse_while_searched(FlatIndex* ix, const char* what) {
    if (ix->searching.load() == 0) return false;
    PyErr_Format(PyExc_RuntimeError, "FlatIndex.%s: the index is being searched by another thread", what);
    return true;
}

PyObject* flat_add(PyObject* self, PyObject* rows_obj) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    if (refuse_while_searched(ix, "add")) return nullptr;
    Matrix rows;
    if (!rows.take(rows_obj, "rows", ix->flat->dim(), false)) return nullptr;
    // Rows of another type are converted a chunk at a time: the index's
    // memory grows by the rows, not by a second copy of them.
    // (At most 64 KiB of converted rows at a time: a buffer that small stays
    // in the allocator's cache, not beside the rows.)
    const std::size_t chunk = std::max<std::size_t>(16, (std::size_t{1} << 16) / (8 * std::size_t{ix->flat->dim()}));
    std::vector<double> buffer;
    const bool done = growing([&] {
        ix->flat->reserve(rows.rows());  // all the room at once: no copy as the rows grow
        for (std::size_t first = 0; first < rows.rows(); first += chunk) {
            const std::size_t count = std::min(chunk, rows.rows() - first);
            ix->flat->append_rows(rows.rows(first, count, buffer), count, Interrupt(check_signals, nullptr));
        }
    });
    if (!done) return nullptr;  // a signal's exception, or the error; the rows before it stay
    Py_RETURN_NONE;
}

/// The row ids of a 1-D buffer of integers, each checked against `size`.
bool take_ids(PyObject* obj, std::size_t size, std::vector<std::uint32_t>& ids) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) return false;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const char* f = view.format ? view.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (view.ndim != 1 || !(f[0] != '\0' && f[1] == '\0' && std::strchr("bhilqBHILQ", f[0]))) {
        PyErr_SetString(PyExc_TypeError, "ids must be a 1-D array of integers");
        return false;
    }
    const bool is_signed = std::strchr("bhilq", f[0]) != nullptr;
    try {
        ids.resize(static_cast<std::size_t>(view.shape[0]));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < view.shape[0]; ++i) {
        const auto* at = static_cast<const unsigned char*>(view.buf) + i * view.strides[0];
        std::int64_t v = 0;
        std::uint64_t u = 0;
        // clang-format off: one width a line
        if (is_signed) {
            switch (view.itemsize) {
                case 1: v = *reinterpret_cast<const std::int8_t*>(at); break;
                case 2: { std::int16_t x; std::memcpy(&x, at, 2); v = x; break; }
                case 4: { std::int32_t x; std::memcpy(&x, at, 4); v = x; break; }
                default: std::memcpy(&v, at, 8);
            }
            u = v < 0 ? UINT64_MAX : static_cast<std::uint64_t>(v);
        } else {
            switch (view.itemsize) {
                case 1: u = *at; break;
                case 2: { std::uint16_t x; std::memcpy(&x, at, 2); u = x; break; }
                case 4: { std::uint32_t x; std::memcpy(&x, at, 4); u = x; break; }
                default: std::memcpy(&u, at, 8);
            }
            v = static_cast<std::int64_t>(u);
        }
        // clang-format on
        if (u >= size) {
            PyErr_Format(PyExc_IndexError, "row id %lld is out of range for %zu rows",
                         static_cast<long long>(is_signed ? v : static_cast<std::int64_t>(u)), size);
            return false;
        }
        ids[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(u);
    }
    return true;
}

PyObject* flat_remove(PyObject* self, PyObject* ids_obj) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    if (refuse_while_searched(ix, "remove")) return nullptr;
    std::vector<std::uint32_t> ids;
    if (!take_ids(ids_obj, ix->flat->size(), ids)) return nullptr;
    try {
        ix->flat->remove(ids);
    } catch (const std::out_of_range& e) {  // take_ids checked the range already
        PyErr_SetString(PyExc_IndexError, e.what());
        return nullptr;
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* flat_reserve(PyObject* self, PyObject* rows_obj) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    if (refuse_while_searched(ix, "reserve")) return nullptr;
    const Py_ssize_t rows = PyNumber_AsSsize_t(rows_obj, PyExc_OverflowError);
    if (rows == -1 && PyErr_Occurred()) return nullptr;
    if (rows < 0) return PyErr_Format(PyExc_ValueError, "rows must be at least 0, got %zd", rows);
    if (!growing([&] { ix->flat->reserve(static_cast<std::size_t>(rows)); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* flat_compact(PyObject* self, PyObject*) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    if (refuse_while_searched(ix, "compact")) return nullptr;
    try {
        ix->flat->compact();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

/// The rows a search may return: those not removed, and with a mask
/// (a 1-D array of bools or bytes over every row id), those it admits.
class Admitted {
  public:
    ~Admitted() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    bool take(const Flat& flat, PyObject* mask) {
        if (mask == Py_None) {
            set_ = flat.live_rows();
            return true;
        }
        if (!PyObject_CheckBuffer(mask)) {
            PyErr_Format(PyExc_TypeError, "mask must be a 1-D array of bools, not %.200s", Py_TYPE(mask)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(mask, &view_, PyBUF_RECORDS_RO) < 0) return false;
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        if (view_.ndim != 1 || view_.itemsize != 1 || !(f[0] == '?' || f[0] == 'B' || f[0] == 'b') || f[1] != '\0') {
            PyErr_SetString(PyExc_TypeError, "mask must be a 1-D array of bools");
            return false;
        }
        if (view_.shape[0] != static_cast<Py_ssize_t>(flat.size())) {
            PyErr_Format(PyExc_ValueError, "mask must have one entry per row (%zu), got %zd", flat.size(),
                         view_.shape[0]);
            return false;
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_SetString(PyExc_ValueError, "mask must be contiguous");
            return false;
        }
        try {
            set_ = flat.admitted_rows(static_cast<const std::uint8_t*>(view_.buf), words_);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    const RowSet& set() const { return set_; }

  private:
    Py_buffer view_{};
    std::vector<std::uint64_t> words_;
    RowSet set_;
};

/// The `threads` argument: None for every core (see default_threads).
bool take_threads(PyObject* obj, unsigned& threads, std::size_t m, const Flat& flat, const RowSet& set) {
    if (obj == Py_None) {
        threads = default_threads(m, flat.scan_bytes(set));  // asks the system for the cores: only when needed
        return true;
    }
    const Py_ssize_t t = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (t == -1 && PyErr_Occurred()) return false;
    if (t < 1 || t > 4096) {
        PyErr_Format(PyExc_ValueError, "threads must be between 1 and 4096, got %zd", t);
        return false;
    }
    threads = static_cast<unsigned>(t);
    return true;
}

/// Runs on the calling thread while a batch runs without the lock: takes
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

/// Runs `batch(poll)` with the interpreter lock released, the index marked
/// as searched meanwhile; false with the exception set when it stopped
/// (a signal's exception, or MemoryError).
template <class F>
bool without_lock(FlatIndex* ix, F&& batch) {
    ++ix->searching;
    Released released{PyEval_SaveThread()};
    enum { Done, Stopped, NoMemory, Failed } outcome = Done;
    std::string failure;
    try {
        batch(Poll{Released::check, &released});
    } catch (const Interrupted&) {
        outcome = Stopped;
    } catch (const std::bad_alloc&) {
        outcome = NoMemory;
    } catch (const std::exception& e) {  // none expected: reported, never thrown past the lock
        outcome = Failed;
        failure = e.what();
    }
    PyEval_RestoreThread(released.state);
    --ix->searching;
    if (outcome == NoMemory) PyErr_NoMemory();
    if (outcome == Failed) PyErr_SetString(PyExc_RuntimeError, failure.c_str());
    return outcome == Done;
}

/// What every batch call takes: the queries, the rows searched, the threads.
struct BatchArgs {
    Matrix queries;
    Admitted admitted;
    unsigned threads = 1;
    bool take(FlatIndex* ix, PyObject* queries_obj, PyObject* mask_obj, PyObject* threads_obj, int finite) {
        return queries.take(queries_obj, "queries", ix->flat->dim()) && (!finite || all_finite()) &&
               admitted.take(*ix->flat, mask_obj) &&
               take_threads(threads_obj, threads, queries.rows(), *ix->flat, admitted.set());
    }
    /// ValueError naming the first query that holds NaN or an infinity.
    bool all_finite() const {
        const std::size_t dim = queries.rows() ? queries.dim() : 0;
        const double* q = queries.data();
        for (std::size_t i = 0; i < queries.rows() * dim; ++i) {
            if (!std::isfinite(q[i])) {
                PyErr_Format(PyExc_ValueError, "row %zu of queries holds NaN or infinity", i / dim);
                return false;
            }
        }
        return true;
    }
};

PyObject* flat_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"queries", "k", "mask", "threads", "finite", nullptr};
    PyObject* queries_obj = nullptr;
    Py_ssize_t k = 0;
    PyObject* mask_obj = Py_None;
    PyObject* threads_obj = Py_None;
    int finite = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|$OOp:search", const_cast<char**>(keywords), &queries_obj, &k,
                                     &mask_obj, &threads_obj, &finite)) {
        return nullptr;
    }
    if (k < 0) return PyErr_Format(PyExc_ValueError, "k must be at least 0, got %zd", k);
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    BatchArgs b;
    if (!b.take(ix, queries_obj, mask_obj, threads_obj, finite)) return nullptr;
    const std::size_t m = b.queries.rows();
    const auto kk = static_cast<std::uint32_t>(std::min<Py_ssize_t>(k, 0xFFFFFFFF));
    const std::size_t width = batch_width(b.admitted.set(), kk);
    PyObject* ids = reinterpret_cast<PyObject*>(new_result('q', m, width));
    if (!ids) return nullptr;
    PyObject* distances = reinterpret_cast<PyObject*>(new_result('d', m, width));
    if (!distances) {
        Py_DECREF(ids);
        return nullptr;
    }
    // Results of width 0 are still 2-D.
    reinterpret_cast<ResultBuffer*>(ids)->ndim = reinterpret_cast<ResultBuffer*>(distances)->ndim = 2;
    auto* id_data = static_cast<std::int64_t*>(reinterpret_cast<ResultBuffer*>(ids)->data);
    auto* distance_data = static_cast<double*>(reinterpret_cast<ResultBuffer*>(distances)->data);
    const bool done = without_lock(ix, [&](Poll poll) {
        search_on_threads(*ix->flat, b.queries.data(), m, kk, b.admitted.set(), id_data, distance_data, b.threads,
                          poll);
    });
    if (!done) {
        Py_DECREF(ids);
        Py_DECREF(distances);
        return nullptr;
    }
    return Py_BuildValue("(NN)", ids, distances);  // takes both references, also on failure
}

PyObject* flat_search_radius(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"queries", "radius", "mask", "threads", "finite", nullptr};
    PyObject* queries_obj = nullptr;
    double radius = 0.0;
    PyObject* mask_obj = Py_None;
    PyObject* threads_obj = Py_None;
    int finite = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Od|$OOp:search_radius", const_cast<char**>(keywords), &queries_obj,
                                     &radius, &mask_obj, &threads_obj, &finite)) {
        return nullptr;
    }
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    BatchArgs b;
    if (!b.take(ix, queries_obj, mask_obj, threads_obj, finite)) return nullptr;
    const std::size_t m = b.queries.rows();
    std::vector<std::vector<Candidate>> found;
    try {
        found.resize(m);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const bool done = without_lock(ix, [&](Poll poll) {
        search_radius_on_threads(*ix->flat, b.queries.data(), m, radius, b.admitted.set(), found.data(), b.threads,
                                 poll);
    });
    if (!done) return nullptr;
    std::size_t total = 0;
    for (const auto& f : found) total += f.size();
    ResultBuffer* offsets = new_result('q', m + 1, 0);
    ResultBuffer* ids = offsets ? new_result('q', total, 0) : nullptr;
    ResultBuffer* distances = ids ? new_result('d', total, 0) : nullptr;
    if (!distances) {
        Py_XDECREF(offsets);
        Py_XDECREF(ids);
        return nullptr;
    }
    auto* o = static_cast<std::int64_t*>(offsets->data);
    auto* id = static_cast<std::int64_t*>(ids->data);
    auto* d = static_cast<double*>(distances->data);
    std::size_t at = 0;
    for (std::size_t i = 0; i < m; ++i) {
        o[i] = static_cast<std::int64_t>(at);
        for (const Candidate& c : found[i]) {
            id[at] = c.id;
            d[at++] = c.distance;
        }
    }
    o[m] = static_cast<std::int64_t>(at);
    return Py_BuildValue("(NNN)", offsets, ids, distances);
}

/// Where a view of no rows points (a buffer needs an address).
const double no_rows = 0.0;

PyObject* flat_rows(PyObject* self, void*) {
    const Flat& flat = *reinterpret_cast<FlatIndex*>(self)->flat;
    const RowStore& rows = flat.row_store();
    return reinterpret_cast<PyObject*>(new_result('d', flat.size(), flat.dim(), rows.size() ? rows.data() : &no_rows,
                                                  rows.block() ? rows.block() : std::make_shared<int>(0)));
}

PyObject* flat_removed(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<FlatIndex*>(self)->flat->removed());
}

PyObject* flat_is_removed(PyObject* self, PyObject* id_obj) {
    const Flat& flat = *reinterpret_cast<FlatIndex*>(self)->flat;
    const Py_ssize_t id = PyNumber_AsSsize_t(id_obj, PyExc_IndexError);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (id < 0 || static_cast<std::size_t>(id) >= flat.size()) {
        return PyErr_Format(PyExc_IndexError, "row id %zd is out of range for %zu rows", id, flat.size());
    }
    return PyBool_FromLong(flat.is_removed(static_cast<std::size_t>(id)));
}

/// The arrays a file keeps of the index (see restore).
PyObject* flat_parts(PyObject* self, PyObject*) {
    const Flat& flat = *reinterpret_cast<FlatIndex*>(self)->flat;
    if (flat.removed()) {
        PyErr_SetString(PyExc_ValueError, "FlatIndex.parts: the index holds removed rows; compact() it first");
        return nullptr;
    }
    const std::size_t n = flat.size();
    const FlatParts p = flat.parts();
    const bool codes = flat.coding();
    const bool norms = flat.metric().keeps_norms();
    const RowStore& rows = flat.row_store();
    auto keep = [](const SharedArray<double>::Block& b) { return b ? b : std::make_shared<int>(0); };
    PyObject* parts = PyDict_New();
    if (!parts) return nullptr;
    struct Item {
        const char* name;
        PyObject* value;
    } items[] = {
        {"rows",
         reinterpret_cast<PyObject*>(new_result('d', n, flat.dim(), n ? p.rows : &no_rows, keep(rows.block())))},
        {"code_blocks", codes ? copied_result('B', flat.code_block_bytes(n), p.code_blocks) : nullptr},
        {"code_open", codes ? copied_result('B', flat.code_open_bytes(n), p.code_open) : nullptr},
        {"scales", codes ? copied_result('f', n, p.scales) : nullptr},
        {"rhos", codes ? copied_result('f', n, p.rhos) : nullptr},
        {"extents", codes ? copied_result('d', n, p.extents) : nullptr},
        {"norms", norms ? copied_result('d', n, p.norms) : nullptr},
    };
    bool failed = false;
    for (const Item& item : items) {
        if (failed) {
            Py_XDECREF(item.value);
            continue;
        }
        const bool wanted =
            std::strcmp(item.name, "rows") == 0 || (std::strcmp(item.name, "norms") == 0 ? norms : codes);
        if (!wanted) continue;
        failed = !item.value || PyDict_SetItemString(parts, item.name, item.value) < 0;
        Py_XDECREF(item.value);
    }
    if (failed) {
        Py_DECREF(parts);
        return nullptr;
    }
    return parts;
}

/// One array of a restore: a C-contiguous buffer of `format` items, of
/// `count` items (shape (count / cols, cols) when cols is given), aligned
/// for its items.
struct Part {
    Py_buffer view{};
    ~Part() {
        if (view.obj) PyBuffer_Release(&view);
    }
    bool take(PyObject* parts, const char* name, char format, std::size_t count, std::size_t cols = 0) {
        PyObject* obj = PyDict_GetItemString(parts, name);  // borrowed
        if (!obj) {
            PyErr_Format(PyExc_ValueError, "parts lack '%s'", name);
            return false;
        }
        if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) return false;
        const char* f = view.format ? view.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool shape_ok = cols ? view.ndim == 2 && view.shape[1] == static_cast<Py_ssize_t>(cols) &&
                                         static_cast<std::size_t>(view.shape[0]) * cols == count
                                   : view.ndim == 1 && static_cast<std::size_t>(view.shape[0]) == count;
        if (f[0] != format || f[1] != '\0' || !shape_ok || !PyBuffer_IsContiguous(&view, 'C') ||
            reinterpret_cast<std::uintptr_t>(view.buf) % item_size(format) != 0) {
            PyErr_Format(PyExc_ValueError, "parts['%s'] must be a contiguous aligned array of %zu items of format '%c'",
                         name, count, format);
            return false;
        }
        return true;
    }
    template <class T>
    const T* data() const {
        return static_cast<const T*>(view.buf);
    }
};

/// Holds two buffers while an index reads them in place.
struct HeldViews {
    Py_buffer rows, codes;
    ~HeldViews() {
        // Let go where the index lets go: with the interpreter lock held
        // (indexes change and die only under it).
        PyBuffer_Release(&rows);
        if (codes.obj) PyBuffer_Release(&codes);
    }
};

PyObject* flat_restore(PyObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dim", "metric", "count", "parts", "verify", nullptr};
    Py_ssize_t dim = 0, count = 0;
    const char* metric = nullptr;
    PyObject* parts = nullptr;
    int verify = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nsnO!|$p:restore", const_cast<char**>(keywords), &dim, &metric,
                                     &count, &PyDict_Type, &parts, &verify)) {
        return nullptr;
    }
    if (count < 0) return PyErr_Format(PyExc_ValueError, "count must be at least 0, got %zd", count);
    PyObject* made = PyObject_CallFunction(cls, "ns", dim, metric);
    if (!made) return nullptr;
    auto* ix = reinterpret_cast<FlatIndex*>(made);
    Flat& flat = *ix->flat;
    const auto n = static_cast<std::size_t>(count);
    if (n == 0) return made;
    Part rows, blocks, open, scales, rhos, extents, norms;
    const bool codes = flat.coding();
    const bool ok = rows.take(parts, "rows", 'd', n * flat.dim(), flat.dim()) &&
                    (!codes || (blocks.take(parts, "code_blocks", 'B', flat.code_block_bytes(n)) &&
                                open.take(parts, "code_open", 'B', flat.code_open_bytes(n)) &&
                                scales.take(parts, "scales", 'f', n) && rhos.take(parts, "rhos", 'f', n) &&
                                extents.take(parts, "extents", 'd', n))) &&
                    (!flat.metric().keeps_norms() || norms.take(parts, "norms", 'd', n));
    if (!ok) {
        Py_DECREF(made);
        return nullptr;
    }
    FlatParts p{rows.data<double>(),
                codes ? blocks.data<std::uint8_t>() : nullptr,
                codes ? open.data<std::uint8_t>() : nullptr,
                codes ? scales.data<float>() : nullptr,
                codes ? rhos.data<float>() : nullptr,
                codes ? extents.data<double>() : nullptr,
                flat.metric().keeps_norms() ? norms.data<double>() : nullptr};
    try {
        auto held = std::make_shared<HeldViews>();
        enum { Matched, Mismatched, NoMemory, TooMany } outcome = Matched;
        {
            // The check computes every row's code again: without the lock,
            // and nothing thrown past the lock's return.
            Py_BEGIN_ALLOW_THREADS
            try {
                outcome = flat.restore(n, p, held, verify != 0) ? Matched : Mismatched;
            } catch (const std::bad_alloc&) {
                outcome = NoMemory;
            } catch (const InternalFailure&) {
                outcome = TooMany;  // count beyond what an index holds
            }
            Py_END_ALLOW_THREADS
        }
        if (outcome != Matched) {
            Py_DECREF(made);
            if (outcome == NoMemory) return PyErr_NoMemory();
            PyErr_SetString(PyExc_ValueError, outcome == TooMany ? "count is beyond what an index holds"
                                                                 : "the stored codes do not match the rows");
            return nullptr;
        }
        // The index reads the two big arrays in place from now on.
        held->rows = rows.view;
        rows.view.obj = nullptr;
        held->codes = blocks.view;
        blocks.view.obj = nullptr;
    } catch (const std::bad_alloc&) {
        Py_DECREF(made);
        return PyErr_NoMemory();
    }
    return made;
}

Py_ssize_t flat_len(PyObject* self) {
    return static_cast<Py_ssize_t>(reinterpret_cast<FlatIndex*>(self)->flat->size());
}

PyObject* flat_dim(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(reinterpret_cast<FlatIndex*>(self)->flat->dim());
}

PyObject* flat_metric(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FlatIndex*>(self)->metric);
}

PyObject* flat_repr(PyObject* self) {
    auto* ix = reinterpret_cast<FlatIndex*>(self);
    return PyUnicode_FromFormat("FlatIndex(dim=%u, metric='%s', rows=%zu)", ix->flat->dim(), ix->metric,
                                ix->flat->size());
}

PyMethodDef flat_methods[] = {
    {"add", flat_add, METH_O,
     "add($self, rows, /)\n--\n\nAppends the rows of a 2-D array of shape (n, dim), in order; their ids continue from "
     "len(self)."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_search)), METH_VARARGS | METH_KEYWORDS,
     "search($self, /, queries, k, *, mask=None, threads=None, finite=False)\n--\n\n"
     "The first rows for each query of a 2-D array: (ids, distances), buffers of shape (m, c) of int64\n"
     "and float64, c = min(k, rows searched). Row i is bit for bit orbisk.PyFlat.search(queries[i], k)\n"
     "over the rows searched alone: those not removed, and with a mask, those whose entry is true.\n"
     "With finite, a query holding NaN or an infinity is a ValueError naming its row."},
    {"search_radius", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_search_radius)),
     METH_VARARGS | METH_KEYWORDS,
     "search_radius($self, /, queries, radius, *, mask=None, threads=None, finite=False)\n--\n\n"
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
    {"restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_restore)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "restore(dim, metric, count, parts, *, verify=True)\n--\n\n"
     "An index of `count` rows from the arrays parts() gave, nothing computed again: the rows and code\n"
     "blocks are read in place (a memory map stays mapped). With verify, every code is computed again\n"
     "and must match: ValueError when one does not."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef flat_getset[] = {
    {"dim", flat_dim, nullptr, "The length of every row.", nullptr},
    {"metric", flat_metric, nullptr, "'euclidean', 'cosine' or 'inner_product'.", nullptr},
    {"rows", flat_rows, nullptr, "A read-only view of every row stored (removed ones included), in id order.", nullptr},
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
    {Py_tp_doc, const_cast<char*>("FlatIndex(dim, metric='euclidean')\n--\n\n"
                                  "An exact flat index: every search compares each query with every row.")},
    {0, nullptr},
};

PyType_Spec flat_spec = {"orbisk_engine.FlatIndex", sizeof(FlatIndex), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                         flat_slots};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orbisk_engine",
    "The engine of orbisk's everyday path: exact batch search on every core.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
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
