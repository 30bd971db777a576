#include "binding/results.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "binding/instance.h"

namespace orbisk {

namespace {

struct ResultBuffer {
    PyObject_HEAD
    void* data;
    /// The memory of data when the buffer does not own it (a view of an
    /// index's rows): held until the buffer goes.
    SharedArray<double>::Block held;
    bool owned;
    int ndim;
    char format[2];
    Py_ssize_t itemsize;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

int result_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* r = reinterpret_cast<ResultBuffer*>(self);
    const bool readonly = !r->owned;
    if (readonly && (flags & PyBUF_WRITABLE)) {
        PyErr_SetString(PyExc_BufferError, "a view of an index's rows is read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = r->data;
    view->obj = Py_NewRef(self);
    view->itemsize = r->itemsize;
    view->len = r->shape[0] * (r->ndim == 2 ? r->shape[1] : 1) * r->itemsize;
    view->readonly = readonly;
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
    if (r->owned) std::free(r->data);
    r->held.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
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

std::atomic<PyObject*> type_slot{nullptr};

std::size_t item_size(char format) { return format == 'f' || format == 'I' ? 4 : format == 'B' ? 1 : 8; }

/// An array of `ndim` dimensions over `data` held by `held`, read-only; or,
/// with no data, over new memory it owns.
Ref make(char format, int ndim, std::size_t rows, std::size_t cols, const void* data, SharedArray<double>::Block held) {
    PyTypeObject* type = result_type();
    if (!type) return Ref();
    auto* r = PyObject_New(ResultBuffer, type);
    if (!r) return Ref();
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(r));
    const std::size_t size = item_size(format);
    new (&r->held) SharedArray<double>::Block(std::move(held));
    r->owned = data == nullptr;
    r->data = const_cast<void*>(data);
    if (r->owned) {
        r->data = std::malloc(std::max<std::size_t>(rows * std::max<std::size_t>(cols, 1) * size, 8));
        if (!r->data) {
            PyErr_NoMemory();
            return Ref();
        }
    }
    r->ndim = ndim;
    r->format[0] = format;
    r->format[1] = '\0';
    r->itemsize = static_cast<Py_ssize_t>(size);
    r->shape[0] = static_cast<Py_ssize_t>(rows);
    r->shape[1] = static_cast<Py_ssize_t>(cols);
    r->strides[0] = static_cast<Py_ssize_t>(std::max<std::size_t>(cols, 1) * size);
    r->strides[1] = static_cast<Py_ssize_t>(size);
    return made;
}

}  // namespace

PyTypeObject* result_type() { return cached_type(type_slot, result_spec); }

Ref new_matrix(char format, std::size_t rows, std::size_t cols) { return make(format, 2, rows, cols, nullptr, {}); }

Ref new_vector(char format, std::size_t count) { return make(format, 1, count, 0, nullptr, {}); }

Ref copied_vector(char format, std::size_t count, const void* from) {
    Ref r = new_vector(format, count);
    if (r && count) std::memcpy(result_data(r), from, count * item_size(format));
    return r;
}

Ref shared_matrix(char format, std::size_t rows, std::size_t cols, const void* data, SharedArray<double>::Block held) {
    // A buffer needs an address, also over no items.
    static const double nothing = 0.0;
    return make(format, 2, rows, cols, data ? data : &nothing, std::move(held));
}

void* result_data(const Ref& result) { return reinterpret_cast<ResultBuffer*>(result.get())->data; }

}  // namespace orbisk
