#pragma once
// orbisk_engine.GraphIndex: the Python object around an approximate graph
// index, and its methods, by concern: the class (graph_type.cpp), changes
// (graph_changes.cpp), searches (graph_search.cpp), views and files
// (graph_files.cpp).

#include <Python.h>

#include <cstddef>

#include "binding/gate.h"
#include "graph/graph.h"

namespace orbisk::engine {

/// The object behind an orbisk_engine.GraphIndex.
struct GraphIndexObject {
    PyObject_HEAD
    Graph* graph;
    const char* metric;  ///< its name in the metric table
    /// Rows readers holding the interpreter lock see (len, rows): an add
    /// links its rows with the lock released, and they count once it ends.
    std::size_t shown;
    Gate gate;
};

inline GraphIndexObject& graph_object(PyObject* self) { return *reinterpret_cast<GraphIndexObject*>(self); }

/// The class, created on first request (borrowed; it lives for the whole
/// process). Null with an exception set when creation fails.
PyTypeObject* graph_index_type();

PyObject* graph_add(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* graph_remove(PyObject* self, PyObject* ids);
PyObject* graph_compact(PyObject* self, PyObject*);

PyObject* graph_search(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* graph_search_batch(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* graph_rows(PyObject* self, void*);
PyObject* graph_parts(PyObject* self, PyObject*);
PyObject* graph_restore(PyObject* cls, PyObject* args, PyObject* kwargs);

}  // namespace orbisk::engine
