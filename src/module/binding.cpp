#include "module/binding.h"

#include <algorithm>
#include <string>

#include "module/ref.h"

namespace orbisk {

namespace {

int find_param(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    }
    return -1;
}

bool too_many(const Signature& sig, Py_ssize_t n) {
    const char* verb = n == 1 ? "was" : "were";
    if (sig.required == sig.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                     sig.call_name, sig.count, n, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                     sig.call_name, sig.required, sig.count, n, verb);
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
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.call_name,
                     sig.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_required(const Signature& sig, PyObject** out) {
    std::string missing;
    int count = 0;
    for (int i = 0; i < sig.required; ++i) {
        if (!out[i]) ++count;
    }
    if (count == 0) return true;
    int seen = 0;
    for (int i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        ++seen;
        missing.append(1, '\'').append(sig.names[i]).append(1, '\'');
        if (seen < count - 1) missing += ", ";
        if (seen == count - 1) missing += count > 2 ? ", and " : " and ";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", sig.call_name, count,
                 count == 1 ? "argument" : "arguments", missing.c_str());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) {
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
