#include "binding/errors.h"

#include <atomic>

namespace orbisk {

PyObject* cached_exception(std::atomic<PyObject*>& slot, const char* name, const char* doc, PyObject* base) {
    if (PyObject* t = slot.load(std::memory_order_acquire)) return t;
    PyObject* made = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;  // kept for the life of the process
}

PyObject* panic_type() {
    static std::atomic<PyObject*> slot{nullptr};
    return cached_exception(slot, "orbisk.PanicException",
                            "An internal failure of orbisk: a broken invariant, not bad input.", PyExc_BaseException);
}

PyObject* raise_panic(const char* text) {
    PyObject* type = panic_type();
    if (!type) return nullptr;
    PyErr_SetString(type, text);
    return nullptr;
}

PyObject* raise_runtime_error(const char* text) {
    PyErr_SetString(PyExc_RuntimeError, text);
    return nullptr;
}

PyObject* raise_value_error(std::string_view text) {
    PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!msg) return nullptr;
    PyErr_SetObject(PyExc_ValueError, msg);
    Py_DECREF(msg);
    return nullptr;
}

}  // namespace orbisk
