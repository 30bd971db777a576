#include "binding/convert.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "binding/long_calls.h"

namespace orbisk {

namespace {

Ref qualname(PyObject* o) { return Ref::steal(PyType_GetQualName(Py_TYPE(o))); }

bool cannot_convert(PyObject* o, const char* target) {
    Ref name = qualname(o);
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return false;
}

// Room reserved up front: the true size of a list or tuple; what any other
// object reports, within reason, since a __len__ may claim anything.
std::size_t reserve_hint(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return static_cast<std::size_t>(Py_SIZE(o));
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min<Py_ssize_t>(n, Py_ssize_t{1} << 16));
}

// The list rule: str refused, then the sequence protocol, then iteration
// with each item converted in order.
template <class Each, class Reserve>
bool walk_list(PyObject* o, Each&& each, Reserve&& reserve) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) return cannot_convert(o, "Sequence");
    reserve(reserve_hint(o));
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref next = Ref::steal(PyIter_Next(it.get()))) {
        if (!each(next.get())) return false;
    }
    return !PyErr_Occurred();
}

template <class T, class Item>
bool to_list(PyObject* o, std::vector<T>& out, Item&& item) {
    out.clear();
    return walk_list(
        o,
        [&](PyObject* next) {
            out.emplace_back();
            return item(next, out.back());
        },
        [&](std::size_t n) { out.reserve(n); });
}

}  // namespace

bool to_text(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return cannot_convert(o, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_u32(PyObject* o, std::uint32_t& out) {
    Ref index = Ref::borrow(o);
    if (!PyLong_Check(o)) {
        index = Ref::steal(PyNumber_Index(o));
        if (!index) return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (v > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_pair(PyObject* o, Pair& out) {
    if (!PyTuple_Check(o)) return cannot_convert(o, "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
        return false;
    }
    if (!to_text(PyTuple_GET_ITEM(o, 0), out.name)) return false;
    out.value = Ref::borrow(PyTuple_GET_ITEM(o, 1));
    return true;
}

namespace {

// The class `module.name` once its module is loaded, or null. Only an
// immutable type is taken: no class written in Python is one, so no class
// can pass for it by choosing its name. Nothing is imported: an object of
// the class exists only once its module has been.
PyTypeObject* loaded_type(const char* module, const char* name, std::atomic<PyObject*>& cache) {
    if (PyObject* t = cache.load(std::memory_order_acquire)) return reinterpret_cast<PyTypeObject*>(t);
    Ref key = Ref::steal(PyUnicode_FromString(module));
    Ref mod = key ? Ref::steal(PyImport_GetModule(key.get())) : Ref();
    Ref found = mod ? Ref::steal(PyObject_GetAttrString(mod.get(), name)) : Ref();
    PyErr_Clear();
    if (!found || !PyType_Check(found.get()) ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(found.get()), Py_TPFLAGS_IMMUTABLETYPE)) {
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (cache.compare_exchange_strong(expected, found.get(), std::memory_order_acq_rel)) {
        return reinterpret_cast<PyTypeObject*>(found.release());  // kept for the life of the process
    }
    return reinterpret_cast<PyTypeObject*>(expected);
}

std::atomic<PyObject*> array_type{nullptr};
std::atomic<PyObject*> ndarray_type{nullptr};

bool is_ndarray(PyTypeObject* t) {
    return std::strcmp(t->tp_name, "numpy.ndarray") == 0 && t == loaded_type("numpy", "ndarray", ndarray_type);
}

// Objects of these exact types iterate as their elements: each item converts
// to the same double as the element read directly, as long as the format is
// one that `item_of` accepts. Subclasses may iterate otherwise, so they take
// the iteration path.
bool plain_buffer_type(PyTypeObject* t) {
    if (t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type) return true;
    if (std::strcmp(t->tp_name, "array.array") == 0) return t == loaded_type("array", "array", array_type);
    return is_ndarray(t);
}

}  // namespace

Buffer::Buffer(PyObject* o, int ndim) {
    PyTypeObject* t = Py_TYPE(o);
    if (!PyObject_CheckBuffer(o) || !plain_buffer_type(t)) return;
    const bool numpy = is_ndarray(t);
    // Iterating a 2-D memoryview fails, so only arrays are read as rows.
    if (ndim == 2 && !numpy) return;
    if (!buffer_.take(o, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        PyErr_Clear();
        return;
    }
    // A numpy array iterates as its scalars whatever the byte-order mark,
    // so '<' and '=' are native for it too; a memoryview refuses to iterate
    // any prefix but '@': those are left to iteration, which decides.
    item_ = buffer_.item(numpy ? Prefixes::Little : Prefixes::Native);
    ok_ = buffer_.view().ndim == ndim && item_;
}

void Buffer::read(std::size_t first, std::size_t n, double* out) const {
    read_items(*item_, static_cast<const char*>(buffer_.view().buf) + first * item_->size, n, out);
}

const double* Buffer::doubles() const {
    const void* data = buffer_.view().buf;
    const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0;
    return item_->is(Item::Float, sizeof(double)) && aligned ? static_cast<const double*>(data) : nullptr;
}

bool to_doubles(PyObject* o, std::vector<double>& out) {
    out.clear();
    if (Buffer buffer{o, 1}) {
        out.resize(buffer.rows());
        buffer.read(0, out.size(), out.data());
        return true;
    }
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return to_list(o, out, to_double);
    // Exact lists and tuples are read in place, as their iterators would read
    // them: a list is re-measured after every item, whose conversion may run
    // code that changes it.
    const bool list = PyList_CheckExact(o);
    out.reserve(static_cast<std::size_t>(Py_SIZE(o)));
    for (Py_ssize_t i = 0; i < Py_SIZE(o); ++i) {
        PyObject* item = list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
        if (PyFloat_CheckExact(item)) {
            out.push_back(PyFloat_AS_DOUBLE(item));
            continue;
        }
        Ref held = Ref::borrow(item);
        double v;
        if (!to_double(held.get(), v)) return false;
        out.push_back(v);
    }
    return true;
}

bool to_double_lists(PyObject* o, Rows& out) {
    out.clear();
    if (Buffer buffer{o, 2}) {
        const std::size_t rows = buffer.rows(), columns = buffer.columns();
        out.reserve(rows);
        out.reserve_values(rows * columns);
        for (std::size_t r = 0; r < rows; ++r) buffer.read(r * columns, columns, out.add_row(columns));
        return true;
    }
    std::vector<double> row;
    std::size_t expected = 0;
    Interrupt signals = pending_signals();
    return walk_list(
        o,
        [&](PyObject* item) {
            signals.step(row.size() + 1);
            if (!to_doubles(item, row)) return false;
            // Room for as many rows like the first as a list or tuple holds,
            // so that large batches are not copied over and over as they
            // grow. Only a hint: rows may differ, so a refusal is ignored.
            if (out.empty() && (PyList_CheckExact(o) || PyTuple_CheckExact(o))) {
                try {
                    out.reserve_values(expected * row.size());
                } catch (const std::bad_alloc&) {
                }
            }
            out.append(row);
            return true;
        },
        [&](std::size_t n) {
            expected = n;
            out.reserve(n);
        });
}

bool to_texts(PyObject* o, std::vector<std::string>& out) { return to_list(o, out, to_text); }

bool to_pairs(PyObject* o, std::vector<Pair>& out) { return to_list(o, out, to_pair); }

bool to_pair_lists(PyObject* o, std::vector<std::vector<Pair>>& out) { return to_list(o, out, to_pairs); }

}  // namespace orbisk
