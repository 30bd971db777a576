#pragma once
// How failures reach Python: reported errors as ValueError, broken invariants
// as PanicException (orbisk) or RuntimeError (orbisk_engine), allocation
// failures as MemoryError. No C++ exception leaves a function the
// interpreter calls.

#include <Python.h>

#include <atomic>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/failure.h"
#include "common/interrupt.h"

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
template <class Body>
PyObject* guarded(Body&& body, PyObject* (*internal)(const char*) = raise_panic) noexcept {
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

/// guarded() for orbisk_engine's methods, where an internal failure is a
/// RuntimeError.
template <class Body>
PyObject* engine_guarded(Body&& body) noexcept {
    return guarded(std::forward<Body>(body), raise_runtime_error);
}

}  // namespace orbisk
