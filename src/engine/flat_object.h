#pragma once
// orbisk_engine.FlatIndex: the Python object around a flat index, and its
// methods, by concern: the class (flat_type.cpp), changes
// (flat_changes.cpp), searches (flat_search.cpp), views and files
// (flat_files.cpp).

#include <Python.h>

#include "binding/gate.h"
#include "flat/flat_index.h"

namespace orbisk::engine {

/// The object behind an orbisk_engine.FlatIndex.
struct FlatIndexObject {
    PyObject_HEAD
    Flat* flat;
    const char* metric;  ///< its name in the metric table
    /// Searches pass together, changes alone (gate.h says what a reader
    /// holding the interpreter lock may read without passing).
    Gate gate;
};

inline FlatIndexObject& flat_object(PyObject* self) { return *reinterpret_cast<FlatIndexObject*>(self); }

/// The class, created on first request (borrowed; it lives for the whole
/// process). Null with an exception set when creation fails.
PyTypeObject* flat_index_type();

PyObject* flat_add(PyObject* self, PyObject* rows);
PyObject* flat_remove(PyObject* self, PyObject* ids);
PyObject* flat_reserve(PyObject* self, PyObject* rows);
PyObject* flat_compact(PyObject* self, PyObject*);

PyObject* flat_search(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* flat_search_radius(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* flat_rows(PyObject* self, void*);
PyObject* flat_parts(PyObject* self, PyObject*);
PyObject* flat_restore(PyObject* cls, PyObject* args, PyObject* kwargs);

}  // namespace orbisk::engine
