#pragma once
// Binding a call's arguments to a callable's parameters, with the binding
// errors' texts, and the rule that names the parameter in a failed
// conversion's TypeError. Every function returning bool sets a Python
// exception when it returns false.

#include <Python.h>

namespace orbisk {

/// A callable's parameter list: every parameter by position or keyword, the
/// first one required and the others optional (as every method here has it).
struct Signature {
    const char* call_name;  ///< "PyFlat.search()", used in binding messages
    const char* const* names;
    int count;
};

/// Binds a fast call's arguments into `out` (borrowed; null when absent).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
/// Binds a constructor call's tuple and dict into `out`.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

/// True when an optional argument was given and is not None.
inline bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

/// Applies the parameter-naming rule to a failed conversion: a pending
/// exception of exactly TypeError is replaced by one whose text starts with
/// "argument 'NAME': ". Returns `ok` unchanged.
bool named(const char* param, bool ok);

}  // namespace orbisk
