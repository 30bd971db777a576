#pragma once
// PyFlat, the Python class around the exhaustive index (py_flat.cpp).

#include <Python.h>

namespace orbisk {

/// The class object, created on first request (borrowed; it lives for the
/// whole process). Null with an exception set when creation fails.
PyTypeObject* flat_type();

}  // namespace orbisk
