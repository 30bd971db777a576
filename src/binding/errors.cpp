#include "binding/errors.h"

#include <atomic>
#include <exception>
#include <new>

#include "common/failure.h"
#include "common/interrupt.h"

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

PyObject* guarded(CallableRef<PyObject*()> body, PyObject* (*internal)(const char*)) noexcept {
    try {
        return body();
    } catch (const Interrupted&) {
        // The check that stopped the batch has raised its exception.
        return PyErr_Occurred() ? nullptr : internal("interrupted without an exception");
    } catch (const CapacityExceeded& e) {
        return raise_value_error(e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return internal(e.what());
    } catch (...) {
        return internal("unexpected internal failure");
    }
}

}  // namespace orbisk
