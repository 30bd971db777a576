#pragma once
// orbisk_engine.FlatIndex: the Python object around a flat index, and its
// methods, by concern: the class (flat_type.cpp), changes
// (flat_changes.cpp), searches (flat_search.cpp), views and files
// (flat_files.cpp).

#include <Python.h>

#include "binding/errors.h"
#include "binding/gate.h"
#include "flat/flat_index.h"

namespace orbisk::engine {

/// The object behind an orbisk_engine.FlatIndex.
struct FlatIndexObject {
    PyObject_HEAD
    Flat* flat;
    const char* metric;  ///< its name in the metric table
    /// Searches and reads pass together, changes alone (gate.h).
    Gate gate;
};

inline FlatIndexObject& flat_object(PyObject* self) { return *reinterpret_cast<FlatIndexObject*>(self); }

/// f(flat) for what the index says of itself that a change alters, read as
/// a search reads: through the gate, beside other readers (an add writes
/// with the interpreter lock released).
template <class F>
PyObject* read_flat(PyObject* self, const char* call, F&& f) {
    return engine_guarded([&]() -> PyObject* {
        FlatIndexObject& ix = flat_object(self);
        Pass reading(ix.gate, Pass::Read, call);
        return reading ? f(static_cast<const Flat&>(*ix.flat)) : nullptr;
    });
}

/// The class, created on first request (borrowed; it lives for the whole
/// process). Null with an exception set when creation fails.
PyTypeObject* flat_index_type();

PyObject* flat_add(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* flat_remove(PyObject* self, PyObject* ids);
PyObject* flat_reserve(PyObject* self, PyObject* rows);
PyObject* flat_compact(PyObject* self, PyObject*);

PyObject* flat_search(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* flat_search_radius(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* flat_rows(PyObject* self, void*);
PyObject* flat_parts(PyObject* self, PyObject*);
PyObject* flat_restore(PyObject* cls, PyObject* args, PyObject* kwargs);

}  // namespace orbisk::engine
