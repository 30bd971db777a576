#pragma once
// How failures reach Python: reported errors as ValueError, broken invariants
// as PanicException (orbisk) or RuntimeError (orbisk_engine), allocation
// failures as MemoryError. No C++ exception leaves a function the
// interpreter calls.

#include <Python.h>

#include <atomic>
#include <string>
#include <string_view>

#include "binding/callable.h"

namespace orbisk {

/// The exception class `name` deriving from `base`, made on first use and
/// kept in `slot` for the life of the process (borrowed). Null with an
/// exception set when it cannot be made.
PyObject* cached_exception(std::atomic<PyObject*>& slot, const char* name, const char* doc, PyObject* base);

/// The exception class for internal failures, derived from BaseException.
/// Created on first use; null (with an exception set) if that fails.
PyObject* panic_type();

/// Sets PanicException(text) and returns null.
PyObject* raise_panic(const char* text);

/// Sets ValueError(text) and returns null.
PyObject* raise_value_error(std::string_view text);

/// Sets ValueError "<op> error: <name>" for an error a core returned (op is
/// "Insert", "Search" or "Create") and returns null.
template <class CoreError>
PyObject* raise_core_error(std::string_view op, CoreError e) {
    return raise_value_error(std::string(op) + " error: " + std::string(name(e)));
}

/// Sets RuntimeError(text) and returns null.
PyObject* raise_runtime_error(const char* text);

/// Runs a method body, turning escaping C++ exceptions into Python ones; an
/// internal failure (a broken invariant) raises through `internal`.
PyObject* guarded(CallableRef<PyObject*()> body, PyObject* (*internal)(const char*) = raise_panic) noexcept;

/// guarded() for orbisk_engine's methods, where an internal failure is a
/// RuntimeError.
inline PyObject* engine_guarded(CallableRef<PyObject*()> body) noexcept { return guarded(body, raise_runtime_error); }

}  // namespace orbisk
