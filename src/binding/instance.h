#pragma once
// The Python object around a native index: header, index, borrow word.

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

#include "binding/borrow.h"

namespace orbisk {

template <class Index>
struct Instance {
    PyObject_HEAD
    Index index;
    BorrowWord borrow;
};

/// Allocates an instance of `type` and moves `index` into it. On failure the
/// caller's `index` is released by its own destructor.
template <class Index>
PyObject* wrap(PyTypeObject* type, Index&& index) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* inst = reinterpret_cast<Instance<Index>*>(self);
    new (&inst->index) Index(std::move(index));
    new (&inst->borrow) BorrowWord(0);
    return self;
}

template <class Index>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* inst = reinterpret_cast<Instance<Index>*>(self);
    inst->index.~Index();
    inst->borrow.~BorrowWord();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class Index>
Instance<Index>& instance(PyObject* self) {
    return *reinterpret_cast<Instance<Index>*>(self);
}

/// Creates the class from its `description` on first request and returns the same
/// object afterwards (borrowed; it lives for the whole process). Null with an
/// exception set when creation fails.
inline PyTypeObject* cached_type(std::atomic<PyObject*>& slot, PyType_Spec& description) {
    if (PyObject* t = slot.load(std::memory_order_acquire)) return reinterpret_cast<PyTypeObject*>(t);
    PyObject* made = PyType_FromSpec(&description);
    if (!made) {
        // The class description is fixed and sound, so only memory can run
        // out; and the interpreter's type creation can fail so without
        // saying why.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return reinterpret_cast<PyTypeObject*>(expected);
    }
    return reinterpret_cast<PyTypeObject*>(made);
}

/// A method with keywords as a method-table entry: fast-call
/// (METH_FASTCALL | METH_KEYWORDS), or with a tuple and a dict
/// (METH_VARARGS | METH_KEYWORDS).
inline PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace orbisk
