#include "binding/signature.h"

#include <algorithm>

#include "binding/ref.h"

namespace orbisk {

namespace {

int find_param(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    }
    return -1;
}

bool too_many(const Signature& sig, Py_ssize_t n) {
    // n is above count, which is at least 1: always "were".
    if (sig.count == 1) {
        PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", sig.call_name, n);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from 1 to %d positional arguments but %zd were given", sig.call_name,
                     sig.count, n);
    }
    return false;
}

bool keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    const int i = find_param(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.call_name, key);
        return false;
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.call_name, sig.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_required(const Signature& sig, PyObject** out) {
    if (out[0]) return true;
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", sig.call_name, sig.names[0]);
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n > sig.count) return too_many(sig, n);
    std::fill(out, out + sig.count, nullptr);
    std::copy(args, args + n, out);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (!keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[n + j], out)) return false;
    }
    return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n > sig.count) return too_many(sig, n);
    std::fill(out, out + sig.count, nullptr);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!keyword(sig, key, value, out)) return false;
        }
    }
    return check_required(sig, out);
}

bool named(const char* param, bool ok) {
    if (ok || !PyErr_Occurred()) return ok;
    PyObject* exc = PyErr_GetRaisedException();
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exc);
        return false;
    }
    Ref old = Ref::steal(exc);
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) return false;
    Ref renamed = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!renamed) return false;
    Ref fresh = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, renamed.get()));
    if (!fresh) return false;
    if (PyObject* cause = PyException_GetCause(exc)) PyException_SetCause(fresh.get(), cause);
    PyErr_SetRaisedException(fresh.release());
    return false;
}

}  // namespace orbisk
