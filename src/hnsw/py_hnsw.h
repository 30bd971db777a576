#pragma once
// PyHNSW, the Python class around the graph index (py_hnsw.cpp).

#include <Python.h>

namespace orbisk {

/// The class object, created on first request (borrowed; it lives for the
/// whole process). Null with an exception set when creation fails.
PyTypeObject* hnsw_type();

}  // namespace orbisk
