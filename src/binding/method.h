#pragma once
// The way into every constructor and method: arguments bound to the
// parameters, then (methods) the instance borrowed, then
// the body, all inside guarded() so that no C++ exception reaches the
// interpreter. The body converts its arguments in parameter order, calls the
// core and builds the result.

#include <Python.h>

#include <utility>

#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/instance.h"
#include "binding/signature.h"

namespace orbisk {

/// Parameters of the longest parameter list (PyHNSW's constructor).
inline constexpr int max_params = 7;

/// A constructor: body(args) with the arguments bound, absent ones null.
template <class Body>
PyObject* enter_new(const Signature& sig, PyObject* args, PyObject* kwargs, Body&& body) {
    return guarded([&]() -> PyObject* {
        PyObject* a[max_params];
        if (!bind(sig, args, kwargs, a)) return nullptr;
        return body(static_cast<PyObject* const*>(a));
    });
}

enum class Access {
    Shared,     ///< search: the body gets the index read-only
    Exclusive,  ///< insert, create
};

/// A method of the class owning an `Index`: body(index, args). `self` is an
/// instance of that class: the method's descriptor checks it before the call
/// and refuses any other object (the classes cannot be subclassed).
template <class Index, Access access, class Body>
PyObject* enter_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       Body&& body) {
    return guarded([&]() -> PyObject* {
        PyObject* a[max_params];
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        Instance<Index>& obj = instance<Index>(self);
        Borrow borrow(obj.borrow, access == Access::Exclusive);
        if (!borrow) return nullptr;
        if constexpr (access == Access::Shared) {
            return body(std::as_const(obj.index), static_cast<PyObject* const*>(a));
        } else {
            return body(obj.index, static_cast<PyObject* const*>(a));
        }
    });
}

}  // namespace orbisk
